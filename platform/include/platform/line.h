// The serial wire between a host port and the device on its far end.
//
// The host side is the serial port driver of the emulated kernel. The far end
// (the reader simulator, or a scripted peer in tests) sees only this header:
// it receives characters and the host's control lines, sends characters back
// at its own line rate and drives the modem lines. It never sees kernel
// objects, so the same far end can also run on a real pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vk {

// Time in nanoseconds. In the emulated system this is virtual time; on a
// real-time line it is the monotonic clock since the line was opened.
using Nanos = std::int64_t;

constexpr Nanos kMicrosecond = 1000;
constexpr Nanos kMillisecond = 1000 * kMicrosecond;
constexpr Nanos kSecond = 1000 * kMillisecond;

// A clock with one-shot callbacks. Callbacks run one at a time, never
// re-entrantly, in time order; a callback scheduled for the past runs next.
class EventQueue {
 public:
  using Handle = std::uint64_t;
  virtual ~EventQueue() = default;
  virtual Nanos Now() const = 0;
  virtual Handle Schedule(Nanos at, std::function<void()> fn) = 0;
  // Cancelling a handle that already ran or was cancelled does nothing.
  virtual void Cancel(Handle handle) = 0;
};

// Time on the wire of one character: start bit, data bits, parity, stop bits.
constexpr Nanos CharacterTime(std::uint32_t bitsPerSecond, unsigned bitsPerCharacter = 10) {
  return bitsPerSecond == 0 ? 0 : (Nanos(bitsPerCharacter) * kSecond + bitsPerSecond / 2) / bitsPerSecond;
}

// What the far end is told by the line.
class FarEndListener {
 public:
  virtual ~FarEndListener() = default;
  // One character has been fully received from the host. `garbled` is set when
  // the host sent it at a rate other than the far end's: the byte is then the
  // garbage a UART would sample.
  virtual void OnReceive(std::uint8_t byte, bool garbled) = 0;
  // The host changed DTR or RTS.
  virtual void OnHostLines(bool dtr, bool rts) = 0;
  // The host started or ended a break condition.
  virtual void OnHostBreak(bool on) { (void)on; }
};

// What the far end can do on the line.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  virtual void Attach(FarEndListener* listener) = 0;
  // Queues bytes behind the ones not yet sent; they leave one character time
  // apart at the far end's current rate.
  virtual void Send(const std::uint8_t* data, std::size_t length) = 0;
  // Bytes queued and not yet on the wire.
  virtual std::size_t Unsent() const = 0;
  // Drops the bytes not yet on the wire.
  virtual void DropUnsent() = 0;
  // The far end's UART rate. Characters are only understood by a receiver
  // running at the same rate.
  virtual void SetRate(std::uint32_t bitsPerSecond) = 0;
  virtual std::uint32_t Rate() const = 0;
  // Modem lines the far end drives towards the host.
  virtual void SetModemLines(bool cts, bool dsr, bool ring = false, bool dcd = false) = 0;
  // The host's control lines as the far end sees them.
  virtual bool HostDtr() const = 0;
  virtual bool HostRts() const = 0;
  // The clock of the line, for the far end's own delays.
  virtual EventQueue& Clock() = 0;
};

}  // namespace vk
