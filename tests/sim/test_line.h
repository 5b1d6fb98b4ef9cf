// An in-memory host for the reader simulator: a virtual clock that jumps to
// the next event, and a line whose far end is the simulator. The host side
// writes bytes paced at its own rate, drives DTR and RTS, reads the modem
// lines and records every byte the far end sends, with its arrival time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/line.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

class VirtualClock : public vk::EventQueue {
 public:
  vk::Nanos Now() const override { return now_; }
  Handle Schedule(vk::Nanos at, std::function<void()> fn) override {
    Handle h = next_++;
    events_.emplace(std::make_pair(at < now_ ? now_ : at, h), std::move(fn));
    return h;
  }
  void Cancel(Handle handle) override {
    for (auto it = events_.begin(); it != events_.end(); ++it)
      if (it->first.second == handle) {
        events_.erase(it);
        return;
      }
  }
  // Runs events up to `deadline` or until `done` holds; the clock ends at
  // the deadline when `done` never held. Returns whether `done` held.
  bool RunUntil(vk::Nanos deadline, const std::function<bool()>& done = {}) {
    for (;;) {
      if (done && done()) return true;
      if (events_.empty() || events_.begin()->first.first > deadline) {
        now_ = deadline;
        return done && done();
      }
      auto it = events_.begin();
      now_ = it->first.first;
      auto fn = std::move(it->second);
      events_.erase(it);
      fn();
    }
  }
  bool RunFor(vk::Nanos duration, const std::function<bool()>& done = {}) {
    return RunUntil(now_ + duration, done);
  }

 private:
  vk::Nanos now_ = 0;
  Handle next_ = 1;
  std::map<std::pair<vk::Nanos, Handle>, std::function<void()>> events_;
};

struct Received {
  vk::Nanos time;
  std::uint8_t byte;
  bool garbled;
};

class TestLine : public vk::FarEnd {
 public:
  explicit TestLine(VirtualClock& clock) : clock_(clock) {}

  // ----- far end (the simulator) -----
  void Attach(vk::FarEndListener* listener) override { listener_ = listener; }
  void Send(const std::uint8_t* data, std::size_t length) override {
    farQueue_.insert(farQueue_.end(), data, data + length);
    if (!farBusy_) FarNext();
  }
  // Counts the character on the wire until it has fully arrived.
  std::size_t Unsent() const override { return farQueue_.size(); }
  void DropUnsent() override {
    farQueue_.clear();
    if (farBusy_) clock_.Cancel(farEvent_);
    farBusy_ = false;
  }
  void SetRate(std::uint32_t bitsPerSecond) override { farRate_ = bitsPerSecond; }
  std::uint32_t Rate() const override { return farRate_; }
  void SetModemLines(bool cts, bool dsr, bool ring, bool dcd) override {
    cts_ = cts;
    dsr_ = dsr;
  }
  bool HostDtr() const override { return dtr_; }
  bool HostRts() const override { return rts_; }
  vk::EventQueue& Clock() override { return clock_; }

  // ----- host side -----
  void HostWrite(const Bytes& bytes) {
    hostQueue_.insert(hostQueue_.end(), bytes.begin(), bytes.end());
    if (!hostBusy_) HostNext();
  }
  void SetHostRate(std::uint32_t rate) { hostRate_ = rate; }
  std::uint32_t HostRate() const { return hostRate_; }
  void SetHostLines(bool dtr, bool rts) {
    dtr_ = dtr;
    rts_ = rts;
    if (listener_) listener_->OnHostLines(dtr, rts);
  }
  bool Cts() const { return cts_; }
  bool Dsr() const { return dsr_; }
  bool Idle() const { return !hostBusy_ && hostQueue_.empty(); }

  std::vector<Received> received;
  Bytes ReceivedBytes() const {
    Bytes b;
    for (const Received& r : received) b.push_back(r.byte);
    return b;
  }

 private:
  static std::uint8_t Garble(std::uint8_t b) { return static_cast<std::uint8_t>(b * 7 + 0x35); }

  void FarNext() {
    if (farQueue_.empty()) {
      farBusy_ = false;
      return;
    }
    farBusy_ = true;
    farEvent_ = clock_.Schedule(clock_.Now() + vk::CharacterTime(farRate_), [this] {
      std::uint8_t b = farQueue_.front();
      farQueue_.pop_front();
      bool garbled = farRate_ != hostRate_;
      received.push_back({clock_.Now(), garbled ? Garble(b) : b, garbled});
      FarNext();
    });
  }
  void HostNext() {
    if (hostQueue_.empty()) {
      hostBusy_ = false;
      return;
    }
    hostBusy_ = true;
    clock_.Schedule(clock_.Now() + vk::CharacterTime(hostRate_), [this] {
      std::uint8_t b = hostQueue_.front();
      hostQueue_.pop_front();
      bool garbled = farRate_ != hostRate_;
      if (listener_) listener_->OnReceive(garbled ? Garble(b) : b, garbled);
      HostNext();
    });
  }

  VirtualClock& clock_;
  vk::FarEndListener* listener_ = nullptr;
  std::deque<std::uint8_t> farQueue_, hostQueue_;
  bool farBusy_ = false, hostBusy_ = false;
  vk::EventQueue::Handle farEvent_ = 0;
  std::uint32_t farRate_ = 19200, hostRate_ = 19200;
  bool cts_ = false, dsr_ = false, dtr_ = false, rts_ = false;
};

// The host's own framing, written apart from the simulator's encoder.
inline Bytes Frame(const Bytes& payload) {
  Bytes f = {0x10, 0x02};
  std::uint8_t x = 0;
  for (std::uint8_t b : payload) {
    x ^= b;
    f.push_back(b);
    if (b == 0x10) f.push_back(0x10);
  }
  f.push_back(x);
  if (x == 0x10) f.push_back(0x10);
  f.push_back(0x10);
  f.push_back(0x03);
  return f;
}

// Decodes the first complete frame in a byte stream, skipping bytes ahead of
// its DLE STX. Returns the payload without the check byte, or nothing when no
// complete frame is there or its check is wrong (*badCheck then set).
inline std::optional<Bytes> FirstFrame(const Bytes& s, bool* badCheck = nullptr, std::size_t* end = nullptr) {
  if (badCheck) *badCheck = false;
  std::size_t i = 0;
  for (; i + 1 < s.size(); ++i)
    if (s[i] == 0x10 && s[i + 1] == 0x02) break;
  if (i + 1 >= s.size()) return std::nullopt;
  Bytes body;
  for (i += 2; i < s.size(); ++i) {
    if (s[i] != 0x10) {
      body.push_back(s[i]);
      continue;
    }
    if (i + 1 >= s.size()) return std::nullopt;
    std::uint8_t n = s[++i];
    if (n == 0x10) {
      body.push_back(0x10);
    } else if (n == 0x03) {
      std::uint8_t x = 0;
      for (std::uint8_t b : body) x ^= b;
      if (body.empty() || x != 0) {
        if (badCheck) *badCheck = true;
        return std::nullopt;
      }
      if (end) *end = i + 1;
      body.pop_back();
      return body;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace simtest
