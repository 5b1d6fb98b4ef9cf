// A real serial device (or pseudo-terminal) as the far end of an emulated
// port, for the real-time mode: what the driver writes on the port goes out
// on the device, what the device sends arrives on the port. The port's rate
// and DTR/RTS are applied to the device; its modem lines are read back
// where the device has them (a pseudo-terminal has none: CTS and DSR are
// then reported high).
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "vk/serial_port.h"

namespace vk {

class TtyLine : public FarEndListener {
 public:
  TtyLine(System& system, SerialPort& port);
  ~TtyLine() override;
  // Opens the device; false with `error` set when it cannot be used.
  bool Open(const std::string& path, std::string* error);

  void OnReceive(std::uint8_t byte, bool garbled) override;
  void OnHostLines(bool dtr, bool rts) override;

 private:
  void ApplyRate(std::uint32_t rate);
  void Reader();

  System& system_;
  SerialPort& port_;
  int fd_ = -1;
  bool modemLines_ = false;
  std::uint32_t rate_ = 0;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

}  // namespace vk
