// The reader's line framing: DLE STX payload check DLE ETX, every 0x10 of the
// payload and of the check doubled, check = XOR of the payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/bytes.h"

namespace sim {

constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kNakLetter = 0x15;

// The most payload bytes the reader keeps of one incoming frame. A longer
// frame is answered with a NAK when its DLE ETX arrives.
constexpr std::size_t kMaxCommandPayload = 2048;

std::uint8_t XorCheck(const Bytes& payload);

// Frames a payload. With corruptCheck the check byte is sent wrong (XOR 0x01).
Bytes EncodeFrame(const Bytes& payload, bool corruptCheck = false);

// The NAK frame 10 02 15 15 10 03.
Bytes NakFrame();

// Byte-at-a-time decoder of incoming frames.
class FrameDecoder {
 public:
  enum class Event {
    kNone,       // byte taken, nothing complete yet
    kFrame,      // good frame: Payload() holds it (check byte removed)
    kBadCheck,   // DLE ETX reached, XOR of payload and check not zero
    kBrokenDle,  // inside a frame a DLE was followed by a byte other than 10, 02, 03
    kOverflow,   // DLE ETX reached after more than kMaxCommandPayload bytes
  };

  Event Feed(std::uint8_t byte);
  void Reset();

  // The last complete frame's payload (valid after kFrame).
  const Bytes& Payload() const { return payload_; }
  // The raw bytes of the frame being or last decoded, from its DLE STX on
  // (at most kMaxCommandPayload * 2 + 8 of them are kept).
  const Bytes& Raw() const { return raw_; }
  // True while a frame has been opened and not yet ended.
  bool InFrame() const { return state_ == State::kData || state_ == State::kDataDle; }

 private:
  enum class State { kHunt, kHuntDle, kData, kDataDle };
  void Keep(std::uint8_t byte);
  void Open();

  State state_ = State::kHunt;
  Bytes body_;      // payload plus check byte, undoubled
  Bytes payload_;
  Bytes raw_;
  bool overflow_ = false;
};

}  // namespace sim
