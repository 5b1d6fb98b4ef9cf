// vx7sam: one named device for the SAM slots of the readers. An
// application's device control carries the reader index in its first input
// byte; the driver removes it and hands the request itself to that reader's
// device as an internal device control, which the reader serves on its SAM
// slot.
#include "platform/nt.h"

#define SAM_READERS 4

typedef struct _SAM_DEVICE_EXTENSION {
  PDEVICE_OBJECT DeviceObject;
  UNICODE_STRING DosDeviceName;
  PDEVICE_OBJECT Readers[SAM_READERS];
  ULONG ReaderCount;
  KEVENT ReaderFoundEvent;
  LONG ActiveRequests;
  KSPIN_LOCK RequestLock;
} SAM_DEVICE_EXTENSION, *PSAM_DEVICE_EXTENSION;

// The input of a device control sent to the SAM access device.
typedef struct _SAM_FORWARD_REQUEST {
  UCHAR ReaderIndex;
  UCHAR Input[1];  // the input of the I/O control on a reader device
} SAM_FORWARD_REQUEST;

// Outside the discarded initialisation code: the unload routine still needs it.
static const WCHAR DosDeviceText[] = L"\\DosDevices\\VX7SAM";

extern "C" {
DRIVER_INITIALIZE DriverEntry;
DRIVER_DISPATCH VxCreateClose;
DRIVER_DISPATCH VxCleanup;
DRIVER_DISPATCH VxDeviceControl;
DRIVER_UNLOAD VxUnload;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  INIT_CODE();
  static const WCHAR kDeviceName[] = L"\\Device\\VX7SAM";
  static const WCHAR kReaderName[] = L"\\Device\\VX7RD0";
  UNICODE_STRING deviceName;
  PDEVICE_OBJECT device = NULL;
  PSAM_DEVICE_EXTENSION ext = NULL;
  BOOLEAN linked = FALSE;
  BOOLEAN found = FALSE;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG i;
  UNREFERENCED_PARAMETER(RegistryPath);

  DbgPrint("Enter DriverEntry <Build: %s %s>\n", __DATE__, __TIME__);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = VxCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = VxCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = VxCleanup;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VxDeviceControl;
  DriverObject->DriverUnload = VxUnload;

  do {
    RtlInitUnicodeString(&deviceName, kDeviceName);
    status = IoCreateDevice(DriverObject, sizeof(SAM_DEVICE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0, TRUE,
                            &device);
    if (!NT_SUCCESS(status)) {
      DbgPrint("[DriverEntry] IoCreateDevice failed\n");
      device = NULL;
      break;
    }
    DbgPrint("[DriverEntry] IoCreateDevice success\n");

    ext = (PSAM_DEVICE_EXTENSION)device->DeviceExtension;
    ext->DeviceObject = device;
    RtlInitUnicodeString(&ext->DosDeviceName, DosDeviceText);
    status = IoCreateSymbolicLink(&ext->DosDeviceName, &deviceName);
    if (!NT_SUCCESS(status)) break;
    linked = TRUE;

    for (i = 0; i < SAM_READERS; i++) ext->Readers[i] = NULL;
    ext->ReaderCount = 0;
    KeInitializeEvent(&ext->ReaderFoundEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&ext->RequestLock);

    for (i = 0; i < SAM_READERS; i++) {
      WCHAR nameBuffer[sizeof(kReaderName) / sizeof(WCHAR)];
      UNICODE_STRING name;
      PFILE_OBJECT file = NULL;
      PDEVICE_OBJECT reader = NULL;
      RtlCopyMemory(nameBuffer, kReaderName, sizeof(kReaderName));
      nameBuffer[13] = (WCHAR)(L'0' + i);
      RtlInitUnicodeString(&name, nameBuffer);
      status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &reader);
      if (status == STATUS_SUCCESS && reader != NULL) {
        // The reader stays referenced while it is in the table, so that a
        // removed reader is never reached through freed memory; its driver
        // refuses requests for it once removal has begun.
        ObReferenceObject(reader);
        ext->Readers[ext->ReaderCount++] = reader;
        if (device->StackSize < reader->StackSize + 1) device->StackSize = (CCHAR)(reader->StackSize + 1);
        found = TRUE;
      }
      if (file != NULL) ObDereferenceObject(file);
      DbgPrint("[VxCreateClose] %d get deviceObject return %X\n", (int)i, status);
    }
    if (found) {
      DbgPrint("[VxCreateClose] Got one == TRUE\n");
      KeSetEvent(&ext->ReaderFoundEvent, IO_NO_INCREMENT, FALSE);
      status = STATUS_SUCCESS;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  } while (FALSE);

  if (!NT_SUCCESS(status)) {
    DbgPrint("[DriverEntry] STATUS FAILED before QuelmDeleteDevice\n");
    if (ext) {
      for (i = 0; i < ext->ReaderCount; i++) ObDereferenceObject(ext->Readers[i]);
    }
    if (linked) IoDeleteSymbolicLink(&ext->DosDeviceName);
    if (device) IoDeleteDevice(device);
  } else {
    DbgPrint("[DriverEntry] Leave success\n");
  }
  return status;
}

extern "C" NTSTATUS VxCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE)
    DbgPrint("[VxCreateClose] IRP_MJ_CREATE\n");
  else
    DbgPrint("[VxCreateClose] IRP_MJ_CLOSE\n");
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS VxCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  DbgPrint("[VxCleanUp]Enter:\n");
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DbgPrint("[CleanUp] Leave\n");
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS VxDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSAM_DEVICE_EXTENSION ext = (PSAM_DEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status;
  KIRQL irql;

  DbgPrint("[VxDeviceControl] Enter :\n");
  irql = KfAcquireSpinLock(&ext->RequestLock);
  if (ext->ActiveRequests == 0) {
    KfReleaseSpinLock(&ext->RequestLock, irql);
    KeWaitForSingleObject(&ext->ReaderFoundEvent, Executive, KernelMode, FALSE, NULL);
    irql = KfAcquireSpinLock(&ext->RequestLock);
  }
  ext->ActiveRequests++;
  KfReleaseSpinLock(&ext->RequestLock, irql);

  if (length == 0 || buffer == NULL) {
    // No index byte: no reader to send it to.
    status = STATUS_INVALID_PARAMETER;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  } else {
    UCHAR index = buffer[0];
    ULONG i;
    DbgPrint("[VxKDeviceIoControl] deviceIndex is %d\n", (int)index);
    for (i = 1; i < length; i++) buffer[i - 1] = buffer[i];
    stack->Parameters.DeviceIoControl.InputBufferLength = length - 1;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoGetNextIrpStackLocation(Irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (index < SAM_READERS && ext->Readers[index] != NULL) {
      status = IofCallDriver(ext->Readers[index], Irp);
    } else {
      status = STATUS_UNSUCCESSFUL;
      Irp->IoStatus.Status = status;
      Irp->IoStatus.Information = 0;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
  }

  irql = KfAcquireSpinLock(&ext->RequestLock);
  ext->ActiveRequests--;
  KfReleaseSpinLock(&ext->RequestLock, irql);
  DbgPrint("[VxDeviceIoControl] Leave %X\n", status);
  return status;
}

extern "C" VOID VxUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  PDEVICE_OBJECT device = DriverObject->DeviceObject;
  PSAM_DEVICE_EXTENSION ext;
  ULONG i;
  if (device == NULL) return;
  ext = (PSAM_DEVICE_EXTENSION)device->DeviceExtension;
  DbgPrint("[VxUnload] Enter : \n");
  IoDeleteSymbolicLink(&ext->DosDeviceName);
  DbgPrint("[VxUnload] IoDeleteSymbolicLink DosDeviceName \n");
  for (i = 0; i < ext->ReaderCount; i++) ObDereferenceObject(ext->Readers[i]);
  IoDeleteDevice(device);
  DbgPrint("[VxUnload] Leave - \n");
}
