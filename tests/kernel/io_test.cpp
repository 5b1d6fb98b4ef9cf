// The I/O manager: IRP flow, buffered device controls, cancellation, device
// stacks, names, exclusive opens and device interfaces.
#include <cstring>

#include "support/testing.h"

namespace {

class IoTest : public vkt::SystemTest {};

struct Completion {
  int calls = 0;
  NTSTATUS seen = 0;
  KEVENT event;
};

NTSTATUS RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* c = static_cast<Completion*>(context);
  c->calls++;
  c->seen = irp->IoStatus.Status;
  KeSetEvent(&c->event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoTest, BufferedDeviceControlCopiesOutputBackAndCompletionRoutineKeepsTheIrp) {
  vkt::TestDriver driver(sys());
  PIRP parked = nullptr;
  driver.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (stack->Parameters.DeviceIoControl.IoControlCode == CTL_CODE(0x22, 1, METHOD_BUFFERED, 0)) {
      // Reverse the input into the output, synchronously.
      std::uint8_t copy[4];
      std::memcpy(copy, buffer, 4);
      for (int i = 0; i < 4; ++i) buffer[i] = copy[3 - i];
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 3;  // only three bytes reach the caller
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  };
  ASSERT_TRUE(sys().Run([&] {
    PDEVICE_OBJECT device = driver.CreateDevice();
    std::uint8_t in[4] = {1, 2, 3, 4}, out[4] = {0, 0, 0, 0};
    ULONG_PTR information = 0;
    EXPECT_EQ(vkt::SendIoControl(device, CTL_CODE(0x22, 1, METHOD_BUFFERED, 0), in, 4, out, 4, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), vkt::Bytes({4, 3, 2, 0}));

    // A completion routine that returns STATUS_MORE_PROCESSING_REQUIRED gets
    // the request back; completing it again lets the I/O manager finish it.
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(8, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    Completion c;
    KeInitializeEvent(&c.event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, RecordCompletion, &c, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
    parked->IoStatus.Status = STATUS_IO_TIMEOUT;
    IofCompleteRequest(parked, IO_NO_INCREMENT);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.seen, STATUS_IO_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // stopped at our level
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_IO_TIMEOUT);
    IoDeleteDevice(device);
  }));
}

VOID CancelParked(PDEVICE_OBJECT, PIRP irp) {
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);  // entered holding the cancel spin lock
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IoTest, CancelRunsTheCancelRoutineOnceAndOnlyWhenOneIsSet) {
  vkt::TestDriver driver(sys());
  driver.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelParked);
    return STATUS_PENDING;
  };
  ASSERT_TRUE(sys().Run([&] {
    PDEVICE_OBJECT device = driver.CreateDevice();
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(8, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // No cancel routine: IoCancelIrp only marks the request.
    driver.dispatch = [&](PDEVICE_OBJECT, PIRP pending) {
      IoMarkIrpPending(pending);
      irp = pending;
      return STATUS_PENDING;
    };
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP second = IoBuildDeviceIoControlRequest(8, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IofCallDriver(device, second);
    EXPECT_FALSE(IoCancelIrp(second));
    EXPECT_TRUE(second->Cancel);
    second->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(second, IO_NO_INCREMENT);
    IoDeleteDevice(device);
  }));
}

TEST_F(IoTest, StacksNamesLinksAndExclusiveOpens) {
  vkt::TestDriver driver(sys());
  int creates = 0;
  driver.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
    auto* stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) creates++;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  ASSERT_TRUE(sys().Run([&] {
    PDEVICE_OBJECT lower = driver.CreateDevice(0, L"\\Device\\Lower");
    PDEVICE_OBJECT upper = driver.CreateDevice(0, nullptr, true);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    EXPECT_EQ(upper->StackSize, 2);
    EXPECT_EQ(lower->AttachedDevice, upper);

    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\LOWER");
    RtlInitUnicodeString(&target, L"\\Device\\Lower");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);

    // A lookup by the link opens the top of the stack; the stack is
    // exclusive, so a second open is refused while the first is held.
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT found = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, upper);
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(sys().Open(L"\\Device\\Lower", &second), STATUS_ACCESS_DENIED);
    ObDereferenceObject(file);
    EXPECT_EQ(sys().Open(L"\\Device\\Lower", &second), STATUS_SUCCESS);
    sys().Close(second);
    EXPECT_EQ(creates, 2);

    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, L"\\Device\\Nothing");
    EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_ALL_ACCESS, &file, &found), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    EXPECT_EQ(sys().FindDevice(L"\\Device\\Lower"), nullptr);
  }));
}

TEST_F(IoTest, DefaultDispatchRefusesUnservedRequests) {
  vk::System& system = sys();
  PDRIVER_OBJECT driver = nullptr;
  system.CreateDriver(L"\\Driver\\Bare", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }, &driver);
  ASSERT_TRUE(system.Run([&] {
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(vkt::SendIoControl(device, 4, nullptr, 0, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
  }));
}

TEST_F(IoTest, DeviceInterfacesAreRegisteredDisabledAndTheirNamesArePool) {
  vkt::TestDriver driver(sys());
  static const GUID kClass = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
  ASSERT_TRUE(sys().Run([&] {
    PDEVICE_OBJECT pdo = driver.CreateDevice(0, L"\\Device\\Pdo7");
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name), STATUS_SUCCESS);
    auto interfaces = sys().Interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_FALSE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].pdo, pdo);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(sys().Interfaces()[0].enabled);
    EXPECT_EQ(sys().Pool().liveBlocksByTag.count(vk::PoolTag("IoIf")), 1u);
    RtlFreeUnicodeString(&name);
    EXPECT_EQ(sys().Pool().liveBlocksByTag.count(vk::PoolTag("IoIf")), 0u);
    IoDeleteDevice(pdo);
  }));
}

}  // namespace
