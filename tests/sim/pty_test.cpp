// vx7-readersim on a real pseudo-terminal, driven by an independent host.
// Real time by nature: generous time-outs, no timing assertions.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim_fixture.h"

namespace simtest {
namespace {

class Subprocess {
 public:
  explicit Subprocess(const char* path) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(path, path, "--pty", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }
  ~Subprocess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }
  // The first line of its standard output, or "" after `timeoutMs`.
  std::string FirstLine(int timeoutMs) {
    std::string line;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p = {stdout_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c;
      if (read(stdout_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }
  // SIGTERM, then the exit status (-1 if it did not end in time).
  int Stop(int timeoutMs) {
    kill(pid_, SIGTERM);
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(20000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

// Writes a frame and reads until a complete frame came back or time ran out.
std::optional<Bytes> Talk(int fd, const Bytes& wire, int timeoutMs, bool* badCheck) {
  if (write(fd, wire.data(), wire.size()) != static_cast<ssize_t>(wire.size())) return std::nullopt;
  Bytes got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      std::uint8_t buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    std::optional<Bytes> frame = FirstFrame(got, badCheck);
    if (frame || *badCheck) return frame;
  }
  return std::nullopt;
}

TEST(ReaderSimPty, AnswersTypeAndStatusAndNaksABadCheck) {
  Subprocess sim(VX7_READERSIM_PATH);
  std::string first = sim.FirstLine(10000);
  ASSERT_EQ(first.rfind("pty: ", 0), 0u) << first;
  std::string path = first.substr(5);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << path;
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  cfmakeraw(&tio);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);

  bool bad = false;
  std::optional<Bytes> type = Talk(fd, Frame(Cmd(0x60, 0)), 10000, &bad);
  ASSERT_TRUE(type.has_value());
  ASSERT_GE(type->size(), 20u);
  EXPECT_EQ((*type)[0], 0x60);
  EXPECT_EQ((*type)[1], 0x00);
  EXPECT_EQ(std::string(type->begin() + 16, type->begin() + 20), "0011");

  std::optional<Bytes> status = Talk(fd, Frame(Cmd(0x65, 0)), 10000, &bad);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ((*status)[0], 0x61);
  EXPECT_EQ((*status)[4] & 0x08, 0x08);  // the default T=1 card is in

  Bytes wrong = Frame(Cmd(0x65, 0));
  wrong[wrong.size() - 3] ^= 0x01;
  std::optional<Bytes> nak = Talk(fd, wrong, 10000, &bad);
  ASSERT_TRUE(nak.has_value());
  EXPECT_EQ(*nak, Bytes{0x15});

  close(fd);
  EXPECT_EQ(sim.Stop(10000), 0);
}

}  // namespace
}  // namespace simtest
