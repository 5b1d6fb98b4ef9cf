// Test helpers: one booted system per test, checked by the verifier at the
// end, and a scripted far end for a serial port.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/line.h"
#include "vk/serial_port.h"
#include "vk/system.h"

namespace vkt {

// The seed of a run: VX7_SEED from the environment, else 1.
std::uint64_t Seed();

// Boots a system for each test. At the end the teardown checks run and any
// verifier report the test did not take fails it.
class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  vk::System& sys() { return *system_; }
  // Expects exactly `count` reports of `rule` and takes them.
  void ExpectViolation(vk::Rule rule, size_t count = 1);

  std::unique_ptr<vk::System> system_;
};

// A far end that records what the host sends and answers as told.
class ScriptedPeer : public vk::FarEndListener {
 public:
  explicit ScriptedPeer(vk::FarEnd& line);
  void OnReceive(std::uint8_t byte, bool garbled) override;
  void OnHostLines(bool dtr, bool rts) override;

  struct Received {
    vk::Nanos time;
    std::uint8_t byte;
    bool garbled;
  };
  std::vector<Received> received;
  std::vector<std::uint8_t> Bytes() const;
  // Called for every byte received, after it is recorded.
  std::function<void(std::uint8_t)> onByte;
  void Send(const std::vector<std::uint8_t>& bytes) { line_.Send(bytes.data(), bytes.size()); }
  vk::FarEnd& line() { return line_; }

 private:
  vk::FarEnd& line_;
};

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values);

// A driver whose every dispatch routine calls `dispatch`, for tests of the
// kernel itself. Devices it creates carry `extensionSize` bytes of extension.
struct TestDriver {
  using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
  explicit TestDriver(vk::System& system, const std::wstring& name = L"\\Driver\\Test");
  PDEVICE_OBJECT CreateDevice(ULONG extensionSize = 0, const wchar_t* name = nullptr, bool exclusive = false);
  PDRIVER_OBJECT driver = nullptr;
  Dispatch dispatch;
};

// Sends a buffered device control from the calling thread and waits for it.
NTSTATUS SendIoControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG_PTR* information = nullptr);

}  // namespace vkt
