// Link benchmark: APDU-sized reader exchanges at 9600, 19200 and 38400 bit/s.
// Prints, per rate, the exchange's virtual duration divided by the wire time
// of its characters (both directions), and the host CPU time per exchange.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "reader/frame/vx7rd.h"
#include "sim/reader.h"
#include "vk/serial_port.h"
#include "vk/system.h"

namespace {

NTSTATUS Complete(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = Complete;
  return STATUS_SUCCESS;
}

void Run(ULONG rate, int exchanges) {
  vk::System::Options options;
  options.echoViolations = true;
  vk::System sys(options);
  vk::SerialPort& port = sys.AddSerialPort(1);
  sim::ReaderConfig config;
  config.initialRate = rate;
  config.userCard = sim::MakeT0Card();
  sim::Reader reader(port, config);
  PDRIVER_OBJECT driver = nullptr;
  sys.CreateDriver(L"\\Driver\\LinkBench", Entry, &driver);
  sys.Run([&] {
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device);
    auto* de = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    static READER_EXTENSION re;
    static UCHAR request[1048], reply[1048];
    std::memset(&re, 0, sizeof re);
    Vxr_SetCardSlotDefaults(&re);
    re.SerialBaudRate = rate;
    PSMARTCARD_EXTENSION sc = &de->SmartcardExtension;
    sc->ReaderExtension = &re;
    sc->SmartcardRequest = {request, 1048, 0};
    sc->SmartcardReply = {reply, 1048, 0};
    KeInitializeTimer(&re.WriteTimer);
    KeInitializeTimer(&re.ReadTimer);
    KeInitializeDpc(&re.WriteTimerDpc, Vxr_WriteTimeoutDpc, device);
    KeInitializeDpc(&re.ReadTimerDpc, Vxr_ReadTimeoutDpc, device);
    KeInitializeEvent(&de->SerialClosedEvent, NotificationEvent, TRUE);
    re.AttachedDeviceObject = IoAttachDeviceToDeviceStack(device, port.Device());
    PIRP irp = IoAllocateIrp(CCHAR(device->StackSize + 1), FALSE);
    IO_STATUS_BLOCK iosb;
    irp->UserIosb = &iosb;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    Vxr_CallLowerAndWait(re.AttachedDeviceObject, irp);
    IoFreeIrp(irp);
    Vxr_ConfigureSerialPort(sc);
    Vxr_BuildCommand(sc, RDDCMD_POWER_UP, 0);
    Vxr_ReaderExchange(sc);

    UCHAR apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};  // GET CHALLENGE: 8 bytes and 90 00 back
    vk::Nanos virtualTotal = 0;
    size_t characters = 0;
    std::clock_t cpuStart = std::clock();
    int ok = 0;
    for (int i = 0; i < exchanges; ++i) {
      Vxr_BuildBlockCommand(sc, RDDCMD_CARD_EXCHANGE, apdu, sizeof apdu);
      port.ClearWire();
      sys.ClearLog();
      vk::Nanos start = sys.Now();
      if (Vxr_ReaderExchange(sc) == STATUS_SUCCESS && reply[0] == RDDRSP_DATA) ok++;
      virtualTotal += sys.Now() - start;
      characters += port.Wire().size();
    }
    double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    double wire = double(characters) * double(vk::CharacterTime(rate));
    std::printf("%6u bit/s  %3d/%d exchanges  %4.1f chars each  virtual/wire %.3f  cpu %.1f us/exchange\n", rate, ok,
                exchanges, double(characters) / exchanges, double(virtualTotal) / wire, cpu * 1e6 / exchanges);
    IoDetachDevice(re.AttachedDeviceObject);
    IoDeleteDevice(device);
  });
}

}  // namespace

int main(int argc, char** argv) {
  int exchanges = argc > 1 ? std::atoi(argv[1]) : 200;
  for (ULONG rate : {9600u, 19200u, 38400u}) Run(rate, exchanges);
  return 0;
}
