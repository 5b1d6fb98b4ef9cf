// The simulator's line on a pseudo-terminal, in real time: a monotonic clock
// with one-shot callbacks, and a far end whose bytes leave the master side
// one character time apart at the simulator's current rate.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "platform/line.h"

namespace sim {

class RealTimeClock : public vk::EventQueue {
 public:
  RealTimeClock();
  vk::Nanos Now() const override;
  Handle Schedule(vk::Nanos at, std::function<void()> fn) override;
  void Cancel(Handle handle) override;
  // Runs every callback that is due; returns the time of the next one, or -1.
  vk::Nanos RunDue();

 private:
  std::int64_t start_;
  Handle next_ = 1;
  std::map<std::pair<vk::Nanos, Handle>, std::function<void()>> events_;
};

class PtyLine : public vk::FarEnd {
 public:
  explicit PtyLine(RealTimeClock& clock) : clock_(clock) {}
  ~PtyLine() override;
  // Opens the master, puts the slave in raw mode; false on failure (errno set).
  bool Open();
  const std::string& Path() const { return path_; }
  int MasterFd() const { return master_; }
  // Reads what the host wrote and hands it to the listener.
  void OnReadable();

  void Attach(vk::FarEndListener* listener) override { listener_ = listener; }
  void Send(const std::uint8_t* data, std::size_t length) override;
  std::size_t Unsent() const override { return unsent_.size(); }
  void DropUnsent() override;
  void SetRate(std::uint32_t bitsPerSecond) override { rate_ = bitsPerSecond; }
  std::uint32_t Rate() const override { return rate_; }
  // A pseudo-terminal carries no modem lines; they are only remembered.
  void SetModemLines(bool cts, bool dsr, bool ring, bool dcd) override {
    cts_ = cts;
    dsr_ = dsr;
    (void)ring;
    (void)dcd;
  }
  bool HostDtr() const override { return true; }
  bool HostRts() const override { return true; }
  vk::EventQueue& Clock() override { return clock_; }

 private:
  void SendNext();

  RealTimeClock& clock_;
  vk::FarEndListener* listener_ = nullptr;
  int master_ = -1;
  int slave_ = -1;  // kept open so that the master never reads end-of-file
  std::string path_;
  std::deque<std::uint8_t> unsent_;
  bool sending_ = false;
  vk::EventQueue::Handle pacing_ = 0;
  std::uint32_t rate_ = 19200;
  bool cts_ = false, dsr_ = false;
};

}  // namespace sim
