"""pyscard client of the VX710RD reader through pcscd.

Usage: exchange.py FRIENDLYNAME
Connects to the card slot (the simulator's default T=1 card) and to the SAM
slot (its T=0 SAM), reads each ATR, checks it against the simulator's card
(its historical bytes "SIM T1" / "SIM SAM") and sends GET CHALLENGE 00 84 00 00 08,
which must answer 8 bytes and 90 00. Exit status 0 when everything held.
"""
import sys

from smartcard.System import readers
from smartcard.CardConnection import CardConnection


def check(condition, message):
    if not condition:
        print("FAIL:", message)
        sys.exit(1)


def exchange(reader, protocol, historical):
    connection = reader.createConnection()
    connection.connect(protocol)
    atr = connection.getATR()
    print(f"{reader}: ATR {' '.join(f'{b:02X}' for b in atr)}")
    check(atr and atr[0] in (0x3B, 0x3F), f"{reader}: not an answer-to-reset: {atr}")
    check(historical in bytes(atr), f"{reader}: ATR does not hold the historical bytes {historical!r}")
    check(connection.getProtocol() == protocol, f"{reader}: protocol {connection.getProtocol()} instead of {protocol}")
    for _ in range(2):
        data, sw1, sw2 = connection.transmit([0x00, 0x84, 0x00, 0x00, 0x08])
        print(f"{reader}: GET CHALLENGE -> {' '.join(f'{b:02X}' for b in data)} SW {sw1:02X}{sw2:02X}")
        check(len(data) == 8 and (sw1, sw2) == (0x90, 0x00), f"{reader}: unexpected reply")
    connection.disconnect()


def main():
    name = sys.argv[1]
    found = {str(r): r for r in readers()}
    print("readers:", sorted(found))
    card, sam = found.get(name + " 00 00"), found.get(name + " 00 01")
    check(card is not None and sam is not None, f"both slots of {name!r} expected")
    exchange(card, CardConnection.T1_protocol, b"SIM T1")
    exchange(sam, CardConnection.T0_protocol, b"SIM SAM")
    print("PASS")


if __name__ == "__main__":
    main()
