// Driver entry and request dispatch with the I/O gate.
#include "reader/frame/vx7rd.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  INIT_CODE();
  UNREFERENCED_PARAMETER(RegistryPath);
  DbgPrint("[DriverEntry] Entering : \n");
  DriverObject->MajorFunction[IRP_MJ_CREATE] = Vxr_CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = Vxr_CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Vxr_Cleanup;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Vxr_DeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Vxr_InternalDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = Vxr_Power;
  DriverObject->MajorFunction[IRP_MJ_PNP] = Vxr_PnP;
  DriverObject->DriverUnload = Vxr_Unload;
  DriverObject->DriverExtension->AddDevice = Vxr_AddDevice;
  DbgPrint("[DriverEntry] Exit : \n");
  return STATUS_SUCCESS;
}

VOID Vxr_Unload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS Vxr_CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status = STATUS_SUCCESS;

  DbgPrint("[Vxr_CreateClose] Enter : \n");
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
    DbgPrint("[Vxr_CreateClose] IRP_MJ_CREATE \n");
    if (!NT_SUCCESS(SmartcardAcquireRemoveLock(&de->SmartcardExtension))) {
      DbgPrint("[Vxr_CreateClose] SmartcardAcquireRemoveLock fail! \n");
      status = STATUS_DEVICE_REMOVED;
    }
  } else {
    DbgPrint("[Vxr_CreateClose] IRP_MJ_CLOSE \n");
    SmartcardReleaseRemoveLock(&de->SmartcardExtension);
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Vxr_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  DbgPrint("[Vxr_Cleanup]Enter:\n");
  Vxr_CompleteCardTracking(&de->SmartcardExtension);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Admits a device control through the gate: at once while others are
// inside, otherwise once the gate is open. FALSE when the device is being
// removed; the request must then be refused.
static BOOLEAN EnterGate(PDEVICE_EXTENSION de) {
  KIRQL irql;
  KeAcquireSpinLock(&de->SpinLock, &irql);
  if (de->IoCount == 0 && !de->Removing) {
    de->GateWaiters++;
    KeClearEvent(&de->GateDrainedEvent);
    KeReleaseSpinLock(&de->SpinLock, irql);
    KeWaitForSingleObject(&de->ReadyEvent, Executive, KernelMode, FALSE, NULL);
    KeAcquireSpinLock(&de->SpinLock, &irql);
    if (--de->GateWaiters == 0) KeSetEvent(&de->GateDrainedEvent, IO_NO_INCREMENT, FALSE);
  }
  if (de->Removing) {
    KeReleaseSpinLock(&de->SpinLock, irql);
    return FALSE;
  }
  de->IoCount++;
  KeReleaseSpinLock(&de->SpinLock, irql);
  return TRUE;
}

static VOID LeaveGate(PDEVICE_EXTENSION de) {
  KIRQL irql;
  KeAcquireSpinLock(&de->SpinLock, &irql);
  de->IoCount--;
  KeReleaseSpinLock(&de->SpinLock, irql);
}

static NTSTATUS Serve(PDEVICE_OBJECT DeviceObject, PIRP Irp, PSMARTCARD_EXTENSION Slot, PBOOLEAN Served) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status;

  *Served = FALSE;
  if (!EnterGate(de)) {
    Irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_REMOVED;
  }
  // The SAM slot exists only once a start set it up.
  if (Slot->OsData == NULL || !NT_SUCCESS(SmartcardAcquireRemoveLock(Slot))) {
    LeaveGate(de);
    Irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_REMOVED;
  }
  status = SmartcardDeviceControl(Slot, Irp);
  SmartcardReleaseRemoveLock(Slot);
  LeaveGate(de);
  *Served = TRUE;
  return status;
}

NTSTATUS Vxr_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  BOOLEAN served;
  NTSTATUS status = Serve(DeviceObject, Irp, &de->SmartcardExtension, &served);
  if (served) DbgPrint("[Vxr_DeviceControl] Leave %X\n", status);
  return status;
}

NTSTATUS Vxr_InternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  BOOLEAN served;
  NTSTATUS status;
  DbgPrint("[Vxr_InternalDeviceControl] Enter : \n");
  status = Serve(DeviceObject, Irp, &de->SamExtension, &served);
  if (served) DbgPrint("[Vxr_InternalDeviceControl] Leave %X\n", status);
  return status;
}
