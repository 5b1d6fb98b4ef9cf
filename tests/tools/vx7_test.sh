#!/usr/bin/env bash
# The command-line program: the demo to the end, apdu on simulated cards,
# its usage errors, and the real-time mode against vx7-readersim on a pty.
# Usage: vx7_test.sh VX7 READERSIM
set -u
vx7=$1
readersim=$2
fail=0
check() {  # check NAME EXPECTED-EXIT PATTERN COMMAND...
  local name=$1 want=$2 pattern=$3
  shift 3
  local out
  out=$(timeout 120 "$@" 2>&1)
  local got=$?
  if [ "$got" != "$want" ] || ! grep -q -- "$pattern" <<<"$out"; then
    echo "FAIL $name: exit $got (wanted $want), pattern '$pattern'"
    echo "$out" | tail -n 20
    fail=1
  else
    echo "ok   $name"
  fi
}

check demo 0 "demo finished: every request succeeded" "$vx7" demo
check "apdu T=1" 0 "SW 9000" "$vx7" apdu 0084000008
check "apdu T=0" 0 "SW 9000" "$vx7" apdu --card t0 --protocol t0 0084000008
check "apdu SAM" 0 "SW 9000" "$vx7" apdu --slot sam 0084000008
check "apdu wrong protocol" 1 "STATUS_" "$vx7" apdu --card t0 --protocol t1 0084000008
check "atr json" 0 '"protocols": \[1\], "Fi": 372, "Di": 4' "$vx7" atr 3B 96 13 81 71 20 4D 00 53 49 4D 20 54 31 0A --json
check "atr json inverse T=0" 0 '"convention": "inverse", "protocols": \[0\]' "$vx7" atr 3F 16 13 53 49 4D 20 54 30 --json
check "atr json cut short" 1 '"valid": false' "$vx7" atr 3B 96 --json
check "malformed hex" 2 "malformed hex" "$vx7" apdu 0G
check "no such port" 1 "No such file" "$vx7" apdu --port /nonexistent/tty 0084000008

out=$(mktemp)
"$readersim" --pty >"$out" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q '^pty: ' "$out" && break; sleep 0.1; done
pty=$(sed -n 's/^pty: //p' "$out" | head -n 1)
if [ -z "$pty" ]; then
  echo "FAIL readersim did not start"
  fail=1
else
  check "real time T=1" 0 "SW 9000" "$vx7" apdu --port "$pty" 0084000008
  check "real time T=0 (SAM)" 0 "SW 9000" "$vx7" apdu --port "$pty" --slot sam 0084000008
fi
kill "$sim" 2>/dev/null
wait "$sim" 2>/dev/null
rm -f "$out"
exit $fail
