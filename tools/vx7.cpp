// vx7: the command-line program of the VX710RD driver stack.
//
// `vx7 demo` boots the emulated system, plugs a simulated reader into serial
// port 1, configures the port through the reader driver's serial routines
// and shows the driver log and the line.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "reader/frame/vx7rd.h"
#include "sim/reader.h"
#include "vk/serial_port.h"
#include "vk/system.h"

namespace {

int Usage() {
  std::puts(
      "usage: vx7 demo [--seed N] [--log]\n"
      "  demo   boot the emulated system with a simulated reader and drive its serial line");
  return 2;
}

NTSTATUS NoDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = NoDispatch;
  return STATUS_SUCCESS;
}

void Step(vk::System& sys, const char* what, NTSTATUS status) {
  std::printf("[%10.6f s] %-40s %s\n", double(sys.Now()) / 1e9, what, vk::StatusText(status).c_str());
}

int Demo(std::uint64_t seed, bool log) {
  vk::System::Options options;
  options.seed = seed;
  options.echoLog = log;
  vk::System sys(options);
  vk::SerialPort& port = sys.AddSerialPort(1);
  sim::ReaderConfig config;
  config.seed = seed;
  config.userCard = sim::MakeT1Card(seed);
  config.sam = sim::MakeSam(seed);
  sim::Reader reader(port, config);

  PDRIVER_OBJECT driver = nullptr;
  sys.CreateDriver(L"\\Driver\\vx7rd", Entry, &driver);
  bool ok = sys.Run([&] {
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device);
    auto* de = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    KeInitializeEvent(&de->SerialClosedEvent, NotificationEvent, TRUE);
    de->CloseWorkItem = IoAllocateWorkItem(device);
    auto* re = static_cast<READER_EXTENSION*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), VXR_POOL_TAG));
    std::memset(re, 0, sizeof *re);
    Vxr_SetCardSlotDefaults(re);
    de->SmartcardExtension.ReaderExtension = re;
    re->AttachedDeviceObject = IoAttachDeviceToDeviceStack(device, port.Device());

    PIRP irp = IoAllocateIrp(CCHAR(device->StackSize + 1), FALSE);
    IO_STATUS_BLOCK iosb;
    irp->UserIosb = &iosb;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    Step(sys, "IRP_MJ_CREATE to the serial port", Vxr_CallLowerAndWait(re->AttachedDeviceObject, irp));
    IoFreeIrp(irp);
    KeClearEvent(&de->SerialClosedEvent);
    Step(sys, "Vxr_ConfigureSerialPort", Vxr_ConfigureSerialPort(&de->SmartcardExtension));
    std::printf("             port: %u bit/s, %u data bits, DTR %s, RTS %s; reader %s\n", port.PortRate(),
                port.LineControl().WordLength, port.Dtr() ? "on" : "off", port.Rts() ? "on" : "off",
                reader.Listening() ? "listening" : "not listening");
    VxrStopDevice(device);
    Step(sys, "VxrStopDevice", STATUS_SUCCESS);
    IoDetachDevice(re->AttachedDeviceObject);
    ExFreePool(re);
    IoFreeWorkItem(de->CloseWorkItem);
    IoDeleteDevice(device);
  });
  if (!log) {
    std::puts("driver log:");
    for (auto& line : sys.Log()) std::printf("  [%10.6f s] %s", double(line.time) / 1e9, line.text.c_str());
    std::puts("");
  }
  sys.CheckTeardown();
  for (auto& v : sys.Violations()) std::printf("verifier: %s: %s\n", vk::RuleName(v.rule), v.message.c_str());
  return ok && sys.Violations().empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::uint64_t seed = 1;
  bool log = false;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 0);
    else if (!std::strcmp(argv[i], "--log"))
      log = true;
    else
      return Usage();
  }
  if (command == "demo") return Demo(seed, log);
  return Usage();
}
