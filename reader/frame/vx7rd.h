// Routines of the reader driver, by the layer that owns them.
#pragma once

#include "reader/frame/records.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- device records
VOID Vxr_SetCardSlotDefaults(READER_EXTENSION* ReaderExtension);

// ---- serial line
NTSTATUS Vxr_SerialIo(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR InputBuffer, ULONG InputLength,
                      PUCHAR OutputBuffer, ULONG OutputLength);
NTSTATUS Vxr_ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_SetPortBaudRate(ULONG BaudRate, PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_CallLowerAndWait(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp);
NTSTATUS Vxr_CallLowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID Vxr_CloseSerialPort(PDEVICE_OBJECT DeviceObject, PVOID Context);
VOID VxrStopDevice(PDEVICE_OBJECT DeviceObject);

#ifdef __cplusplus
}
#endif
