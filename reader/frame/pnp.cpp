// Plug and Play: start, stop, removal and their queries.
#include "reader/frame/vx7rd.h"

static NTSTATUS SetInterfaces(PDEVICE_EXTENSION de, BOOLEAN Enable) {
  NTSTATUS status = IoSetDeviceInterfaceState(&de->ReaderInterfaceName, Enable);
  NTSTATUS vendor = IoSetDeviceInterfaceState(&de->VendorInterfaceName, Enable);
  return NT_SUCCESS(status) ? vendor : status;
}

NTSTATUS Vxr_StartDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION sc = &de->SmartcardExtension;
  READER_EXTENSION* re = sc->ReaderExtension;
  IO_STATUS_BLOCK ioStatus;
  PIO_STACK_LOCATION stack;
  NTSTATUS status;
  PIRP irp;

  DbgPrint("[Vxr_StartDevice] Enter : \n");
  irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) {
    DbgPrint("[Vxr_StartDevice] Allocate Irp ERROR!! \n");
    return STATUS_NO_MEMORY;
  }

  do {
    irp->UserIosb = &ioStatus;
    IoSetNextIrpStackLocation(irp);
    stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->Parameters.Create.SecurityContext = NULL;
    stack->Parameters.Create.Options = 0;
    stack->Parameters.Create.FileAttributes = 0;
    stack->Parameters.Create.ShareAccess = 0;
    stack->Parameters.Create.EaLength = 0;
    status = Vxr_CallLowerAndWait(re->AttachedDeviceObject, irp);
    if (!NT_SUCCESS(status)) {
      DbgPrint("[Vxr_StartDevice]  IRP_MJ_CREATE to serial.sys FAIL!! \n");
      break;
    }
    DbgPrint("[Vxr_StartDevice]  IRP_MJ_CREATE to serial.sys success \n");
    KeClearEvent(&de->SerialClosedEvent);

    status = Vxr_ConfigureSerialPort(sc);
    if (!NT_SUCCESS(status)) {
      DbgPrint("[Vxr_StartDevice]  Vxr_ConfigureSerialPort FAIL!! \n");
      break;
    }
    DbgPrint("[Vxr_StartDevice]  Vxr_ConfigureSerialPort success\n");

    Vxr_AcquireReader(de);
    Vxr_BuildCommand(sc, RDDCMD_READER_TYPE, 0x00);
    if (Vxr_ReaderExchange(sc) == STATUS_SUCCESS) {
      DbgPrint("[Vxr_StartDevice] get reader type success\n");
      Vxr_ApplyReaderType(sc);
    }

    Vxr_BuildCommand(sc, RDDCMD_READER_STATUS, 0x00);
    if (Vxr_ReaderExchange(sc) != STATUS_SUCCESS) {
      sc->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
      sc->CardCapabilities.ATR.Length = 0;
    } else {
      DbgPrint("[Vxr_StartDevice] get reader status success\n");
      if (re->ReceiveBuffer[0] == RDDRSP_STATUS) {
        sc->ReaderCapabilities.CurrentState = (re->ReceiveBuffer[4] & 0x08) ? SCARD_SWALLOWED : SCARD_ABSENT;
        sc->CardCapabilities.ATR.Length = 0;
      }
    }

    status = Vxr_StartSerialEventTracking(sc);
    Vxr_ReleaseReader(de);
    if (!NT_SUCCESS(status)) break;

    status = SetInterfaces(de, TRUE);
    if (!NT_SUCCESS(status)) {
      DbgPrint("[Vxr_StartDevice] IoSetDeviceInterfaceState to TRUE FAIL !!\n");
      break;
    }

    status = Vxr_InitializeSamSlot(DeviceObject);
    if (!NT_SUCCESS(status)) break;

    KeSetEvent(&de->ReadyEvent, IO_NO_INCREMENT, FALSE);
  } while (FALSE);

  if (!NT_SUCCESS(status)) VxrStopDevice(DeviceObject);
  IoFreeIrp(irp);
  DbgPrint("[Vxr_StartDevice] Exit : \n");
  return status;
}

NTSTATUS Vxr_PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION sc = &de->SmartcardExtension;
  PDEVICE_OBJECT lower;
  BOOLEAN removed = FALSE;
  NTSTATUS status;
  KIRQL irql;

  DbgPrint("[Vxr_PnP] Entering : \n");
  status = SmartcardAcquireRemoveLock(sc);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DbgPrint("[Vxr_PnP] SmartcardAcquireRemoveLock Fail \n");
    return status;
  }

  lower = sc->ReaderExtension->AttachedDeviceObject;
  Irp->IoStatus.Information = 0;

  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      DbgPrint("[Vxr_PnP] IRP_MN_START_DEVICE \n");
      status = Vxr_CallLowerAndWait(lower, Irp);
      if (NT_SUCCESS(status)) status = Vxr_StartDevice(DeviceObject);
      break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
      DbgPrint("[Vxr_PnP] IRP_MN_QUERY_REMOVE_DEVICE \n");
      IoSetDeviceInterfaceState(&de->ReaderInterfaceName, FALSE);
      DbgPrint("11111111111get query remove and set to false\n");
      IoSetDeviceInterfaceState(&de->VendorInterfaceName, FALSE);
      status = Vxr_CallLowerAndWait(lower, Irp);
      break;

    case IRP_MN_REMOVE_DEVICE:
      DbgPrint("[Vxr_PnP] IRP_MN_REMOVE_DEVICE \n");
      // The removal gives up this request's hold on the remove lock as it
      // waits for the others; the device is gone afterwards.
      Vxr_RemoveDevice(DeviceObject);
      removed = TRUE;
      status = Vxr_CallLowerAndWait(lower, Irp);
      break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      DbgPrint("[Vxr_PnP] IRP_MN_CANCEL_REMOVE_DEVICE \n");
      status = Vxr_CallLowerAndWait(lower, Irp);
      if (NT_SUCCESS(status)) status = SetInterfaces(de, TRUE);
      break;

    case IRP_MN_STOP_DEVICE:
      DbgPrint("[Vxr_PnP] IRP_MN_STOP_DEVICE \n");
      VxrStopDevice(DeviceObject);
      status = Vxr_CallLowerAndWait(lower, Irp);
      break;

    case IRP_MN_QUERY_STOP_DEVICE: {
      BOOLEAN refused = FALSE;
      DbgPrint("[Vxr_PnP] IRP_MN_QUERY_STOP_DEVICE \n");
      KeAcquireSpinLock(&de->SpinLock, &irql);
      if (de->IoCount > 0)
        refused = TRUE;
      else
        KeClearEvent(&de->ReadyEvent);
      KeReleaseSpinLock(&de->SpinLock, irql);
      status = refused ? STATUS_DEVICE_BUSY : Vxr_CallLowerAndWait(lower, Irp);
      break;
    }

    case IRP_MN_CANCEL_STOP_DEVICE:
      DbgPrint("[Vxr_PnP] IRP_MN_CANCEL_STOP_DEVICE \n");
      status = Vxr_CallLowerAndWait(lower, Irp);
      if (NT_SUCCESS(status)) KeSetEvent(&de->ReadyEvent, IO_NO_INCREMENT, FALSE);
      break;

    default:
      DbgPrint("[Vxr_PnP] Other IRP \n");
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(lower, Irp);
      SmartcardReleaseRemoveLock(sc);
      DbgPrint("[Vxr_PnP] Exit : \n");
      return status;
  }

  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (!removed) SmartcardReleaseRemoveLock(sc);
  DbgPrint("[Vxr_PnP] Exit : \n");
  return status;
}
