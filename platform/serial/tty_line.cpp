#include "vk/tty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vk {

namespace {
speed_t Speed(std::uint32_t rate) {
  switch (rate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
  }
}
}  // namespace

TtyLine::TtyLine(System& system, SerialPort& port) : system_(system), port_(port) {}

TtyLine::~TtyLine() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  port_.Attach(nullptr);
  port_.onRateChange = nullptr;
  if (fd_ >= 0) close(fd_);
}

bool TtyLine::Open(const std::string& path, std::string* error) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  termios t{};
  if (tcgetattr(fd_, &t) != 0) {
    *error = path + ": not a serial device";
    close(fd_);
    fd_ = -1;
    return false;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8;
  tcsetattr(fd_, TCSANOW, &t);
  int lines = 0;
  modemLines_ = ioctl(fd_, TIOCMGET, &lines) == 0;
  port_.Attach(this);
  port_.onRateChange = [this](std::uint32_t rate) { ApplyRate(rate); };
  ApplyRate(port_.PortRate());
  // Without modem lines the reader counts as present with a card inserted.
  port_.SetModemLines(modemLines_ ? (lines & TIOCM_CTS) : true, modemLines_ ? (lines & TIOCM_DSR) : true);
  reader_ = std::thread([this] { Reader(); });
  return true;
}

void TtyLine::ApplyRate(std::uint32_t rate) {
  if (rate == rate_) return;
  rate_ = rate;
  termios t{};
  if (tcgetattr(fd_, &t) == 0) {
    cfsetispeed(&t, Speed(rate));
    cfsetospeed(&t, Speed(rate));
    tcsetattr(fd_, TCSANOW, &t);
  }
  port_.SetRate(rate);  // the emulated line does not garble what the device sent
}

void TtyLine::OnReceive(std::uint8_t byte, bool) {
  ssize_t n;
  do {
    n = write(fd_, &byte, 1);
  } while (n < 0 && errno == EAGAIN);
}

void TtyLine::OnHostLines(bool dtr, bool rts) {
  if (!modemLines_) return;
  int lines = 0;
  ioctl(fd_, TIOCMGET, &lines);
  lines = dtr ? lines | TIOCM_DTR : lines & ~TIOCM_DTR;
  lines = rts ? lines | TIOCM_RTS : lines & ~TIOCM_RTS;
  ioctl(fd_, TIOCMSET, &lines);
}

// Hands the device's bytes and modem-line changes to the scheduler.
void TtyLine::Reader() {
  int lastLines = -1;
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, 20);
    if (r > 0 && (p.revents & POLLIN)) {
      std::vector<std::uint8_t> buffer(256);
      ssize_t n = read(fd_, buffer.data(), buffer.size());
      if (n > 0) {
        buffer.resize(size_t(n));
        system_.Post([this, buffer] {
          port_.Send(buffer.data(), buffer.size());
        });
      }
    } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
      system_.Post([this] { port_.SetModemLines(false, false); });  // the device went away
      break;
    }
    if (modemLines_) {
      int lines = 0;
      if (ioctl(fd_, TIOCMGET, &lines) == 0 && lines != lastLines) {
        lastLines = lines;
        bool cts = lines & TIOCM_CTS, dsr = lines & TIOCM_DSR;
        system_.Post([this, cts, dsr] { port_.SetModemLines(cts, dsr); });
      }
    }
  }
}

}  // namespace vk
