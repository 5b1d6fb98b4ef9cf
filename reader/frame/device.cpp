// Device creation and removal: the device object with the card slot's
// library record, the SAM slot's record at start, and undoing all of it.
#include "reader/frame/vx7rd.h"

#define VXR_UNITS 4

const GUID SmartCardReaderGuid = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const GUID VendorReaderGuid = {0x46FEE741, 0x0692, 0x11D5, {0x8E, 0x4A, 0x00, 0x80, 0xC8, 0x8F, 0xBD, 0xEE}};

static UCHAR UnitInUse[VXR_UNITS];

// Each reader is also reachable as "\Device\VX7RD<unit>", a symbolic link to
// its reader interface, for the SAM access driver.
static VOID SamLinkName(PUNICODE_STRING Name, PWCHAR Buffer, ULONG Unit) {
  static const WCHAR kName[] = L"\\Device\\VX7RD0";
  RtlCopyMemory(Buffer, kName, sizeof(kName));
  Buffer[13] = (WCHAR)(L'0' + Unit);
  RtlInitUnicodeString(Name, Buffer);
}
static ULONG CardDataRates[3] = {9600, 19200, 38400};
static ULONG SamDataRates[3] = {9600, 19200, 38400};

static VOID InitializeSlotTimers(READER_EXTENSION* re, PDEVICE_OBJECT DeviceObject, BOOLEAN Sam) {
  KeInitializeTimer(&re->WriteTimer);
  KeInitializeTimer(&re->ReadTimer);
  KeInitializeDpc(&re->WriteTimerDpc, Sam ? Vxr_SamWriteTimeoutDpc : Vxr_WriteTimeoutDpc, DeviceObject);
  KeInitializeDpc(&re->ReadTimerDpc, Sam ? Vxr_SamReadTimeoutDpc : Vxr_ReadTimeoutDpc, DeviceObject);
}

static VOID SetSlotAttributes(PSMARTCARD_EXTENSION sc, PDEVICE_OBJECT DeviceObject, ULONG Unit) {
  sc->OsData->DeviceObject = DeviceObject;
  sc->ReaderFunction[RDF_CARD_POWER] = Vxr_SmartcardPower;
  sc->ReaderFunction[RDF_TRANSMIT] = Vxr_SmartcardIoRequest;
  sc->ReaderFunction[RDF_CARD_TRACKING] = Vxr_CardTracking;
  sc->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
  sc->ReaderFunction[RDF_IOCTL_VENDOR] = Vxr_SmartcardVendor;
  RtlCopyMemory(sc->VendorAttr.VendorName.Buffer, "MORVANE", 8);
  sc->VendorAttr.VendorName.Length = 7;
  RtlCopyMemory(sc->VendorAttr.IfdType.Buffer, "VX710RD", 8);
  sc->VendorAttr.IfdType.Length = 7;
  sc->VendorAttr.UnitNo = Unit;
  sc->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | PROTOCOL_MEMORY_CARD;
  sc->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
  sc->ReaderCapabilities.MechProperties = 0;
  sc->ReaderCapabilities.CLKFrequency.Default = 3571;
  sc->ReaderCapabilities.CLKFrequency.Max = 3571;
  sc->ReaderCapabilities.MaxIFSD = 240;
  sc->CardCapabilities.ATR.Length = 0;
}

NTSTATUS Vxr_CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION de;
  PSMARTCARD_EXTENSION sc;
  READER_EXTENSION* re;
  NTSTATUS status;
  ULONG unit;

  DbgPrint("[Vxr_CreateDevice] Entering : \n");
  *DeviceObject = NULL;

  for (unit = 0; unit < VXR_UNITS; unit++)
    if (UnitInUse[unit] == 0) break;
  if (unit == VXR_UNITS) return STATUS_INSUFFICIENT_RESOURCES;
  UnitInUse[unit] = 1;

  status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD, 0, TRUE, DeviceObject);
  if (!NT_SUCCESS(status)) {
    DbgPrint("[Vxr_CreateDevice] IoCreateDevice Fail! : \n");
    UnitInUse[unit] = 0;
    *DeviceObject = NULL;
    return status;
  }
  DbgPrint("[Vxr_CreateDevice] IoCreateDevice Success! : \n");

  de = (PDEVICE_EXTENSION)(*DeviceObject)->DeviceExtension;
  de->DeviceIndex = unit;
  de->CloseWorkItem = IoAllocateWorkItem(*DeviceObject);
  KeInitializeEvent(&de->ReadyEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&de->SerialClosedEvent, NotificationEvent, TRUE);
  KeInitializeSpinLock(&de->SpinLock);
  KeInitializeEvent(&de->ReaderLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&de->GateDrainedEvent, NotificationEvent, TRUE);

  sc = &de->SmartcardExtension;
  re = (READER_EXTENSION*)ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), VXR_POOL_TAG);
  if (re == NULL || de->CloseWorkItem == NULL) {
    if (re) ExFreePool(re);
    if (de->CloseWorkItem) IoFreeWorkItem(de->CloseWorkItem);
    IoDeleteDevice(*DeviceObject);
    UnitInUse[unit] = 0;
    *DeviceObject = NULL;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  sc->ReaderExtension = re;
  RtlZeroMemory(re, sizeof(READER_EXTENSION));
  InitializeSlotTimers(re, *DeviceObject, FALSE);

  sc->Version = SMCLIB_VERSION;
  sc->SmartcardRequest.BufferSize = VXR_BUFFER_SIZE;
  sc->SmartcardReply.BufferSize = VXR_BUFFER_SIZE;
  status = SmartcardInitialize(sc);
  if (status != STATUS_SUCCESS) {
    if (sc->OsData) SmartcardExit(sc);
    ExFreePool(re);
    sc->ReaderExtension = NULL;
    IoFreeWorkItem(de->CloseWorkItem);
    IoDeleteDevice(*DeviceObject);
    UnitInUse[unit] = 0;
    DbgPrint("[Vxr_CreateDevice] SmartcardInitialize FAIL : \n");
    *DeviceObject = NULL;
    return status;
  }
  DbgPrint("[Vxr_CreateDevice] SmartcardInitialize Success : \n");

  SetSlotAttributes(sc, *DeviceObject, unit);
  sc->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
  sc->ReaderCapabilities.DataRate.Default = CardDataRates[0];
  sc->ReaderCapabilities.DataRate.Max = CardDataRates[0];
  sc->ReaderCapabilities.DataRatesSupported.List = CardDataRates;
  sc->ReaderCapabilities.DataRatesSupported.Entries = 3;

  Vxr_SetCardSlotDefaults(re);

  DbgPrint("[Vxr_CreateDevice] leaving : \n");
  return STATUS_SUCCESS;
}

NTSTATUS Vxr_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  PDEVICE_OBJECT device = NULL;
  PDEVICE_EXTENSION de;
  NTSTATUS status;

  DbgPrint("[Vxr_AddDevice] Entering : \n");
  do {
    status = Vxr_CreateDevice(DriverObject, &device);
    if (!NT_SUCCESS(status)) break;
    de = (PDEVICE_EXTENSION)device->DeviceExtension;

    de->SmartcardExtension.ReaderExtension->AttachedDeviceObject =
        IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (de->SmartcardExtension.ReaderExtension->AttachedDeviceObject == NULL) {
      status = STATUS_UNSUCCESSFUL;
      break;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &SmartCardReaderGuid, NULL, &de->ReaderInterfaceName);
    {
      NTSTATUS vendor =
          IoRegisterDeviceInterface(PhysicalDeviceObject, &VendorReaderGuid, NULL, &de->VendorInterfaceName);
      if (NT_SUCCESS(status)) status = vendor;
    }
    if (!NT_SUCCESS(status)) break;

    {
      UNICODE_STRING link;
      WCHAR buffer[16];
      SamLinkName(&link, buffer, de->DeviceIndex);
      IoCreateSymbolicLink(&link, &de->ReaderInterfaceName);
    }

    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  } while (FALSE);

  if (!NT_SUCCESS(status)) Vxr_RemoveDevice(device);
  DbgPrint("[Vxr_AddDevice] Exit : \n");
  return status;
}

// Frees the SAM slot's records, if a start set them up.
static VOID ReleaseSamSlot(PDEVICE_EXTENSION de) {
  PSMARTCARD_EXTENSION sam = &de->SamExtension;
  if (sam->OsData) {
    Vxr_CompleteCardTracking(sam);  // a parked request must not go with the record
    SmartcardExit(sam);
  }
  if (sam->ReaderExtension) {
    ExFreePool(sam->ReaderExtension);
    sam->ReaderExtension = NULL;
  }
}

NTSTATUS Vxr_InitializeSamSlot(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION card = &de->SmartcardExtension;
  PSMARTCARD_EXTENSION sam = &de->SamExtension;
  READER_EXTENSION* re;
  NTSTATUS status;

  // A start after a stop sets the slot up anew: the records of the earlier
  // start go first, exactly once.
  ReleaseSamSlot(de);
  RtlZeroMemory(sam, sizeof(SMARTCARD_EXTENSION));

  re = (READER_EXTENSION*)ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), VXR_POOL_TAG);
  if (re == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(re, sizeof(READER_EXTENSION));
  sam->ReaderExtension = re;
  InitializeSlotTimers(re, DeviceObject, TRUE);

  sam->Version = SMCLIB_VERSION;
  sam->SmartcardRequest.BufferSize = VXR_BUFFER_SIZE;
  sam->SmartcardReply.BufferSize = VXR_BUFFER_SIZE;
  status = SmartcardInitialize(sam);
  if (status != STATUS_SUCCESS) {
    if (sam->OsData) SmartcardExit(sam);
    ExFreePool(re);
    sam->ReaderExtension = NULL;
    return status;
  }

  SetSlotAttributes(sam, DeviceObject, card->VendorAttr.UnitNo);
  sam->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
  sam->ReaderCapabilities.DataRate.Default = SamDataRates[0];
  sam->ReaderCapabilities.DataRate.Max = SamDataRates[0];
  sam->ReaderCapabilities.DataRatesSupported.List = SamDataRates;
  sam->ReaderCapabilities.DataRatesSupported.Entries = card->ReaderCapabilities.DataRatesSupported.Entries;

  re->AttachedDeviceObject = card->ReaderExtension->AttachedDeviceObject;
  re->CardTypeByte = card->ReaderExtension->CardTypeByte;
  re->LeFixup = card->ReaderExtension->LeFixup;
  RtlCopyMemory(re->ReaderId, card->ReaderExtension->ReaderId, sizeof(re->ReaderId));

  card->ReaderExtension->Slot = 0;
  re->Slot = 1;
  return STATUS_SUCCESS;
}

VOID Vxr_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION de;
  PSMARTCARD_EXTENSION card;
  KIRQL irql;

  if (DeviceObject == NULL) return;
  de = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  card = &de->SmartcardExtension;

  // Requests held at the closed gate leave now, with STATUS_DEVICE_REMOVED,
  // before anything they could touch is freed.
  KeAcquireSpinLock(&de->SpinLock, &irql);
  de->Removing = TRUE;
  KeReleaseSpinLock(&de->SpinLock, irql);
  KeSetEvent(&de->ReadyEvent, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&de->GateDrainedEvent, Executive, KernelMode, FALSE, NULL);

  if (card->OsData) SmartcardReleaseRemoveLockAndWait(card);
  if (de->ReaderInterfaceName.Buffer) {
    UNICODE_STRING link;
    WCHAR buffer[16];
    SamLinkName(&link, buffer, de->DeviceIndex);
    IoDeleteSymbolicLink(&link);
  }
  UnitInUse[de->DeviceIndex] = 0;
  if (card->ReaderExtension) VxrStopDevice(DeviceObject);
  if (card->ReaderExtension && card->ReaderExtension->AttachedDeviceObject)
    IoDetachDevice(card->ReaderExtension->AttachedDeviceObject);
  if (de->ReaderInterfaceName.Buffer) RtlFreeUnicodeString(&de->ReaderInterfaceName);
  if (de->VendorInterfaceName.Buffer) RtlFreeUnicodeString(&de->VendorInterfaceName);

  if (card->OsData) {
    Vxr_CompleteCardTracking(card);
    SmartcardExit(card);
  }
  if (card->ReaderExtension) {
    ExFreePool(card->ReaderExtension);
    card->ReaderExtension = NULL;
  }
  ReleaseSamSlot(de);

  if (de->CloseWorkItem) IoFreeWorkItem(de->CloseWorkItem);
  IoDeleteDevice(DeviceObject);
}
