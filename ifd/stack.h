// The driver stack as the IFD handler uses it: one emulated system in real
// time with vx7rd and vx7sam on a serial port backed by a device path.
//
// This header deliberately names no type of the emulated kernel nor of
// pcsc-lite: both define the same Windows-style names (DWORD, LPSTR, ...),
// so the handler's entry points (ifdhandler.cpp) and the code that drives the
// kernel (stack.cpp) live in separate translation units joined by this.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vx7ifd {

using Bytes = std::vector<std::uint8_t>;

// The requests the handler makes; stack.cpp maps them to the device controls.
enum class Op { Power, SetProtocol, Transmit, GetAttribute, GetState, Vendor };

// Power actions and card states in the driver's own numbering.
constexpr std::uint32_t kPowerDown = 0, kColdReset = 1, kWarmReset = 2;
constexpr std::uint32_t kStateAbsent = 1, kStatePresent = 2;

struct Reply {
  enum class Kind {
    Ok,         // the request completed with a success status
    Failed,     // the driver completed it with an error status (see status)
    Refused,    // the driver refused the request as not supported / invalid
    Gone,       // the reader is gone: removed device, closed port, no system
    TimedOut,   // not completed within the bounded wait, even after a cancel
  };
  Kind kind = Kind::Gone;
  std::int32_t status = 0;  // the NTSTATUS, for the log
  Bytes output;
};

class Stack {
 public:
  // Boots the system, opens `device` as the far end of serial port 1, loads
  // both drivers and opens the two slots. Blocks until the reader answered
  // (about 3 s on a real line) or failed; nullptr with `error` set on failure.
  static std::unique_ptr<Stack> Start(const std::string& device, std::string* error);
  virtual ~Stack() = default;

  // One device control on `slot` (0: the card slot, 1: the SAM), waited for
  // at most `timeoutMs` before it is cancelled. `code` is only used by
  // Op::Vendor (the driver's own control code).
  virtual Reply Control(int slot, Op op, const Bytes& input, std::uint32_t outputLength, int timeoutMs,
                        std::uint32_t code = 0) = 0;
  // True once the reader stopped answering for good (device gone).
  virtual bool Gone() const = 0;

  // Converts a pcsc-lite control code (0x42000000 + n) to the driver's own
  // code for the same function n; other codes are returned unchanged.
  static std::uint32_t DriverControlCode(std::uint32_t pcscCode);
  // True when the driver code is one of the reader's vendor controls.
  static bool IsVendorControl(std::uint32_t driverCode);
};

}  // namespace vx7ifd
