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

#ifdef __cplusplus
}
#endif
