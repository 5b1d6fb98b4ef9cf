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

// ---- reader link: frames
#define RDD_FRAME_OK 1
#define RDDERR_NAK ((NTSTATUS)-3)
#define RDDERR_DUE ((NTSTATUS)-2)
#define RDDERR_INCOMPLETE ((NTSTATUS)4)
#define VXR_CHUNK_SIZE 1024

NTSTATUS Vxr_BuildFrame(PUCHAR Frame, ULONG Capacity, PUCHAR Payload, ULONG PayloadLength, PULONG FrameLength);
VOID Vxr_CollectReply(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Chunk, ULONG ChunkLength);
LONG Vxr_VerifyFrame(PUCHAR Buffer, PULONG Length);
VOID Vxr_DumpBuffer(PCSTR Label, PUCHAR Buffer, ULONG Length);
NTSTATUS Vxr_ReadWrite(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_ReaderExchange(PSMARTCARD_EXTENSION SmartcardExtension);
LONGLONG Vxr_ReplyDueTime(PSMARTCARD_EXTENSION SmartcardExtension);
KDEFERRED_ROUTINE Vxr_WriteTimeoutDpc;
KDEFERRED_ROUTINE Vxr_ReadTimeoutDpc;
KDEFERRED_ROUTINE Vxr_SamWriteTimeoutDpc;
KDEFERRED_ROUTINE Vxr_SamReadTimeoutDpc;

// The device-wide hold on the serial line shared by both slots.
VOID Vxr_AcquireReader(PDEVICE_EXTENSION DeviceExtension);
VOID Vxr_ReleaseReader(PDEVICE_EXTENSION DeviceExtension);

// ---- reader command set
#define RDDCMD_READER_TYPE 0x60
#define RDDCMD_SET_PARAMETERS 0x61
#define RDDCMD_POWER_UP 0x62
#define RDDCMD_POWER_DOWN 0x63
#define RDDCMD_WARM_RESET 0x64
#define RDDCMD_READER_STATUS 0x65
#define RDDCMD_CARD_EXCHANGE 0x67
#define RDDCMD_MEM_TRANSMIT 0x6B

#define RDDRSP_READER_TYPE 0x60
#define RDDRSP_STATUS 0x61
#define RDDRSP_ACK 0x62
#define RDDRSP_DATA 0x64
#define RDDRSP_NO_CARD 0x67

#define RDD_HEADER_LENGTH 5
#define RDD_MAX_BLOCK (VXR_BUFFER_SIZE - RDD_HEADER_LENGTH)

// Builds a three-byte command (letter, slot byte, 0x00) in SmartcardRequest.
VOID Vxr_BuildCommand(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Letter, UCHAR SlotByte);
// Builds a block command (letter, slot byte, 0x00, length, block) in
// SmartcardRequest; STATUS_BUFFER_TOO_SMALL when the block does not fit.
NTSTATUS Vxr_BuildBlockCommand(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Letter, PUCHAR Block, ULONG Length);
// The slot byte of a slot's commands.
UCHAR Vxr_SlotByte(PSMARTCARD_EXTENSION SmartcardExtension);
// The user card slot's records, whatever slot a callback serves.
PSMARTCARD_EXTENSION Vxr_CardSlot(PSMARTCARD_EXTENSION SmartcardExtension);
// Judges a reader-type reply in SmartcardReply and, when it is one, sets the
// firmware-derived settings of the card slot. Returns whether it was one.
BOOLEAN Vxr_ApplyReaderType(PSMARTCARD_EXTENSION SmartcardExtension);
// The data length a data or answer-to-reset reply states (offsets 2..3).
ULONG Vxr_ReplyDataLength(PSMARTCARD_EXTENSION SmartcardExtension);

// ---- card presence tracking
#define CARD_TRACKING_WAIT_MASK (SERIAL_EV_CTS | SERIAL_EV_DSR)
#define VXR_TRACKING_FAILURE_LIMIT 8

NTSTATUS Vxr_StartSerialEventTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_SerialEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID Vxr_CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
VOID Vxr_CancelCardTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- card services
#define PROTOCOL_MEMORY_CARD 0x10
#define IOCTL_SMARTCARD_MRV_MEM_TRANSMIT SCARD_CTL_CODE(2048)
#define IOCTL_SMARTCARD_GET_READER_TYPE SCARD_CTL_CODE(2049)
#define IOCTL_SMARTCARD_SET_BAUD_RATE SCARD_CTL_CODE(2050)

extern const UCHAR MemoryCardAtr[24];
extern const signed char DiToD[16];

// The callback envelope: one conversation with the reader at a time for the
// device, ReaderBusy set in the card slot's record while it lasts, and card
// tracking re-armed on the way out.
VOID Vxr_EnterCallback(PSMARTCARD_EXTENSION SmartcardExtension);
VOID Vxr_LeaveCallback(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS Vxr_SmartcardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_StoreAtr(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_PtsSelection(PSMARTCARD_EXTENSION SmartcardExtension);
UCHAR Vxr_T0WaitingValue(UCHAR WI, UCHAR Di);
NTSTATUS Vxr_SmartcardIoRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_SmartcardIoReply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_SmartcardVendor(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS Vxr_SetReaderBaudRate(PSMARTCARD_EXTENSION SmartcardExtension);

// ---- device frame
extern const GUID SmartCardReaderGuid;
extern const GUID VendorReaderGuid;

DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD Vxr_Unload;
DRIVER_ADD_DEVICE Vxr_AddDevice;
NTSTATUS Vxr_CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
NTSTATUS Vxr_InitializeSamSlot(PDEVICE_OBJECT DeviceObject);
VOID Vxr_RemoveDevice(PDEVICE_OBJECT DeviceObject);
DRIVER_DISPATCH Vxr_PnP;
NTSTATUS Vxr_StartDevice(PDEVICE_OBJECT DeviceObject);
DRIVER_DISPATCH Vxr_Power;
NTSTATUS Vxr_DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID Vxr_SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                               PVOID Context, PIO_STATUS_BLOCK IoStatus);
DRIVER_DISPATCH Vxr_CreateClose;
DRIVER_DISPATCH Vxr_Cleanup;
DRIVER_DISPATCH Vxr_DeviceControl;
DRIVER_DISPATCH Vxr_InternalDeviceControl;

#ifdef __cplusplus
}
#endif
