#include "support/testing.h"

#include <cstdlib>

namespace vkt {

std::uint64_t Seed() {
  const char* text = std::getenv("VX7_SEED");
  return text ? std::strtoull(text, nullptr, 0) : 1;
}

void SystemTest::SetUp() {
  vk::System::Options options;
  options.seed = Seed();
  options.echoLog = std::getenv("VX7_LOG") != nullptr;
  system_ = std::make_unique<vk::System>(options);
}

void SystemTest::TearDown() {
  system_->CheckTeardown();
  for (const auto& v : system_->Violations())
    ADD_FAILURE() << "verifier: " << vk::RuleName(v.rule) << ": " << v.message;
  system_->ClearViolations();
  system_.reset();
}

void SystemTest::ExpectViolation(vk::Rule rule, size_t count) {
  auto taken = system_->TakeViolations(rule);
  EXPECT_EQ(taken.size(), count) << "reports of " << vk::RuleName(rule);
}

ScriptedPeer::ScriptedPeer(vk::FarEnd& line) : line_(line) { line.Attach(this); }

void ScriptedPeer::OnReceive(std::uint8_t byte, bool garbled) {
  received.push_back({line_.Clock().Now(), byte, garbled});
  if (onByte) onByte(byte);
}

void ScriptedPeer::OnHostLines(bool, bool) {}

std::vector<std::uint8_t> ScriptedPeer::Bytes() const {
  std::vector<std::uint8_t> out;
  for (auto& r : received) out.push_back(r.byte);
  return out;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(std::uint8_t(v));
  return out;
}

namespace {
TestDriver* g_driver = nullptr;
NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (g_driver && g_driver->dispatch) return g_driver->dispatch(device, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
NTSTATUS TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = TestDispatch;
  return STATUS_SUCCESS;
}
}  // namespace

TestDriver::TestDriver(vk::System& system, const std::wstring& name) {
  g_driver = this;
  system.CreateDriver(name, TestEntry, &driver);
}

PDEVICE_OBJECT TestDriver::CreateDevice(ULONG extensionSize, const wchar_t* name, bool exclusive) {
  UNICODE_STRING uname;
  if (name) RtlInitUnicodeString(&uname, name);
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(driver, extensionSize, name ? &uname : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, &device);
  device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
  return device;
}

NTSTATUS SendIoControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG_PTR* information) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void*>(input), inputLength, output, outputLength,
                                           FALSE, &event, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IofCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (information) *information = iosb.Information;
  return status;
}

}  // namespace vkt
