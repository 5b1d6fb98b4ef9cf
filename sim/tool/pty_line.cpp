#include "pty_line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace sim {

namespace {
std::int64_t MonotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

RealTimeClock::RealTimeClock() : start_(MonotonicNanos()) {}

vk::Nanos RealTimeClock::Now() const { return MonotonicNanos() - start_; }

vk::EventQueue::Handle RealTimeClock::Schedule(vk::Nanos at, std::function<void()> fn) {
  Handle h = next_++;
  events_.emplace(std::make_pair(at, h), std::move(fn));
  return h;
}

void RealTimeClock::Cancel(Handle handle) {
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (it->first.second == handle) {
      events_.erase(it);
      return;
    }
  }
}

vk::Nanos RealTimeClock::RunDue() {
  while (!events_.empty()) {
    auto it = events_.begin();
    if (it->first.first > Now()) return it->first.first;
    std::function<void()> fn = std::move(it->second);
    events_.erase(it);
    fn();
  }
  return -1;
}

PtyLine::~PtyLine() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool PtyLine::Open() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return false;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
  const char* name = ptsname(master_);
  if (!name) return false;
  path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0) return false;
  termios tio{};
  if (tcgetattr(slave_, &tio) != 0) return false;
  cfmakeraw(&tio);
  if (tcsetattr(slave_, TCSANOW, &tio) != 0) return false;
  int flags = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  return true;
}

void PtyLine::OnReadable() {
  std::uint8_t buf[512];
  for (;;) {
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i)
      if (listener_) listener_->OnReceive(buf[i], false);
  }
}

void PtyLine::Send(const std::uint8_t* data, std::size_t length) {
  unsent_.insert(unsent_.end(), data, data + length);
  if (!sending_ && !unsent_.empty()) {
    sending_ = true;
    pacing_ = clock_.Schedule(clock_.Now() + vk::CharacterTime(rate_), [this] { SendNext(); });
  }
}

void PtyLine::SendNext() {
  if (unsent_.empty()) {
    sending_ = false;
    return;
  }
  std::uint8_t b = unsent_.front();
  ssize_t n = write(master_, &b, 1);
  if (n == 1) unsent_.pop_front();
  // A full pty buffer (nobody reading) just retries at the next character time.
  if (unsent_.empty()) {
    sending_ = false;
    return;
  }
  pacing_ = clock_.Schedule(clock_.Now() + vk::CharacterTime(rate_), [this] { SendNext(); });
}

void PtyLine::DropUnsent() {
  unsent_.clear();
  if (sending_) clock_.Cancel(pacing_);
  sending_ = false;
}

}  // namespace sim
