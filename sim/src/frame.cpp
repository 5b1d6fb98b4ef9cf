#include "sim/frame.h"

namespace sim {

namespace {
constexpr std::size_t kMaxRawKept = kMaxCommandPayload * 2 + 8;
}

std::uint8_t XorCheck(const Bytes& payload) {
  std::uint8_t check = 0;
  for (std::uint8_t b : payload) check ^= b;
  return check;
}

Bytes EncodeFrame(const Bytes& payload, bool corruptCheck) {
  Bytes frame;
  frame.reserve(payload.size() * 2 + 6);
  frame.push_back(kDle);
  frame.push_back(kStx);
  for (std::uint8_t b : payload) {
    frame.push_back(b);
    if (b == kDle) frame.push_back(b);
  }
  std::uint8_t check = XorCheck(payload);
  if (corruptCheck) check ^= 0x01;
  frame.push_back(check);
  if (check == kDle) frame.push_back(check);
  frame.push_back(kDle);
  frame.push_back(kEtx);
  return frame;
}

Bytes NakFrame() { return EncodeFrame(Bytes{kNakLetter}); }

void FrameDecoder::Reset() {
  state_ = State::kHunt;
  body_.clear();
  raw_.clear();
  overflow_ = false;
}

void FrameDecoder::Keep(std::uint8_t byte) {
  if (raw_.size() < kMaxRawKept) raw_.push_back(byte);
}

void FrameDecoder::Open() {
  state_ = State::kData;
  body_.clear();
  raw_.assign({kDle, kStx});
  overflow_ = false;
}

FrameDecoder::Event FrameDecoder::Feed(std::uint8_t byte) {
  switch (state_) {
    case State::kHunt:
      if (byte == kDle) state_ = State::kHuntDle;
      return Event::kNone;
    case State::kHuntDle:
      if (byte == kStx) Open();
      else if (byte != kDle) state_ = State::kHunt;
      return Event::kNone;
    case State::kData:
      Keep(byte);
      if (byte == kDle) {
        state_ = State::kDataDle;
      } else if (body_.size() < kMaxCommandPayload + 1) {
        body_.push_back(byte);
      } else {
        overflow_ = true;
      }
      return Event::kNone;
    case State::kDataDle:
      if (byte == kDle) {
        Keep(byte);
        state_ = State::kData;
        if (body_.size() < kMaxCommandPayload + 1) body_.push_back(byte);
        else overflow_ = true;
        return Event::kNone;
      }
      if (byte == kStx) {
        // A new frame starts inside an unfinished one (the host gave up on
        // the earlier one part way): the unfinished frame is dropped.
        Open();
        return Event::kNone;
      }
      Keep(byte);
      state_ = State::kHunt;
      if (byte != kEtx) return Event::kBrokenDle;
      if (overflow_) return Event::kOverflow;
      if (body_.empty()) return Event::kBadCheck;  // no check byte at all
      {
        std::uint8_t x = 0;
        for (std::uint8_t b : body_) x ^= b;
        if (x != 0) return Event::kBadCheck;
      }
      payload_.assign(body_.begin(), body_.end() - 1);
      return Event::kFrame;
  }
  return Event::kNone;
}

}  // namespace sim
