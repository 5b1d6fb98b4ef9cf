// The Plug and Play and power managers, as far as a function driver on a
// serial port meets them.
#include "kernel.h"

namespace vk {

namespace {

PDEVICE_OBJECT Top(PDEVICE_OBJECT device) {
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

// Sends a request set up by `setup` to the top of the stack and waits for
// its final completion.
NTSTATUS SendAndWait(Kernel& k, PDEVICE_OBJECT pdo, const char* origin,
                     const std::function<void(PIO_STACK_LOCATION)>& setup) {
  NTSTATUS result = STATUS_UNSUCCESSFUL;
  auto body = [&] {
    PDEVICE_OBJECT top = Top(pdo);
    PIRP irp = k.NewIrp(top->StackSize);
    IrpInfo& info = k.irps[irp];
    info.origin = origin;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    info.onFinal = [&](PIRP finished) {
      result = finished->IoStatus.Status;
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    };
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    setup(IoGetNextIrpStackLocation(irp));
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  };
  if (k.currentFiber()) {
    body();
  } else {
    bool finished = false;
    k.CreateFiber("pnp manager", [&] {
      body();
      finished = true;
    });
    if (!k.RunLoop([&] { return finished; })) k.Report(Rule::Deadlock, std::string(origin) + " never completed");
  }
  return result;
}

}  // namespace

NTSTATUS System::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Kernel& k = *kernel_;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto call = [&] { status = driver->DriverExtension->AddDevice(driver, pdo); };
  if (k.currentFiber()) {
    call();
  } else {
    bool finished = false;
    k.CreateFiber("pnp manager", [&] {
      call();
      finished = true;
    });
    k.RunLoop([&] { return finished; });
  }
  return status;
}

NTSTATUS System::Pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
  return SendAndWait(*kernel_, pdo, "Plug and Play request", [minor](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
  });
}

NTSTATUS System::StartDevice(PDEVICE_OBJECT pdo) {
  NTSTATUS status = Pnp(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) Pnp(pdo, IRP_MN_REMOVE_DEVICE);
  return status;
}

NTSTATUS System::RemoveDevice(PDEVICE_OBJECT pdo) {
  NTSTATUS status = Pnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    Pnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  return Pnp(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS System::SurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
  Pnp(pdo, IRP_MN_SURPRISE_REMOVAL);
  return Pnp(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS System::SystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  return SendAndWait(*kernel_, pdo, "system power request", [minor, state](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
  });
}

DEVICE_POWER_STATE System::DevicePower(PDEVICE_OBJECT device) const {
  auto it = kernel_->devices.find(device);
  return it == kernel_->devices.end() ? PowerDeviceUnspecified : it->second.devicePower;
}

}  // namespace vk
