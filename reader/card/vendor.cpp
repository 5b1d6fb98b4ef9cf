// Vendor controls: memory-card transmit, reader identification and the
// line rate of reader and port.
#include "reader/frame/vx7rd.h"

static const ULONG RateOfCode[6] = {38400, 19200, 9600, 4800, 2400, 1200};

// Sends the caller's bytes as a memory transmit and checks the data reply's
// stated length against what the reply holds. On success *Length is it.
static NTSTATUS MemTransmit(PSMARTCARD_EXTENSION SmartcardExtension, PULONG Length, PBOOLEAN DataReply) {
  PUCHAR r;
  NTSTATUS status;
  ULONG m;

  *DataReply = FALSE;
  status = Vxr_BuildBlockCommand(SmartcardExtension, RDDCMD_MEM_TRANSMIT, SmartcardExtension->IoRequest.RequestBuffer,
                                 SmartcardExtension->IoRequest.RequestBufferLength);
  if (status != STATUS_SUCCESS) return STATUS_INVALID_PARAMETER;
  status = Vxr_ReaderExchange(SmartcardExtension);
  if (status != STATUS_SUCCESS) return status;
  r = SmartcardExtension->SmartcardReply.Buffer;
  if (r[0] != RDDRSP_DATA) return STATUS_SUCCESS;
  if (SmartcardExtension->SmartcardReply.BufferLength < 4 + 1) return STATUS_DEVICE_DATA_ERROR;
  m = ((ULONG)r[2] << 8) | r[3];
  if (m > SmartcardExtension->SmartcardReply.BufferLength - 1 - 4) return STATUS_DEVICE_DATA_ERROR;
  *DataReply = TRUE;
  *Length = m;
  return STATUS_SUCCESS;
}

NTSTATUS Vxr_SetReaderBaudRate(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSMARTCARD_EXTENSION card = Vxr_CardSlot(SmartcardExtension);
  UCHAR code = SmartcardExtension->IoRequest.RequestBuffer[2];
  BOOLEAN dataReply;
  ULONG m = 0;
  NTSTATUS status;

  status = MemTransmit(SmartcardExtension, &m, &dataReply);
  if (status != STATUS_SUCCESS) return status;
  if (!dataReply) return STATUS_DEVICE_DATA_ERROR;
  *SmartcardExtension->IoRequest.Information = m;
  if (m > SmartcardExtension->IoRequest.ReplyBufferLength) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, SmartcardExtension->SmartcardReply.Buffer + 4, m);
  // No data: no answer whether the reader switched; the port keeps its rate.
  if (m == 0 || SmartcardExtension->SmartcardReply.Buffer[4] != 0x00) return STATUS_DEVICE_DATA_ERROR;

  if (!NT_SUCCESS(Vxr_SetPortBaudRate(RateOfCode[code - 1], SmartcardExtension))) return STATUS_UNSUCCESSFUL;
  card->ReaderExtension->SerialBaudRate = RateOfCode[code - 1];
  return STATUS_SUCCESS;
}

NTSTATUS Vxr_SmartcardVendor(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG inputLength = SmartcardExtension->IoRequest.RequestBufferLength;
  NTSTATUS status;

  switch (SmartcardExtension->MajorIoControlCode) {
    case IOCTL_SMARTCARD_MRV_MEM_TRANSMIT: {
      BOOLEAN dataReply;
      ULONG m = 0;
      if (inputLength > RDD_MAX_BLOCK) return STATUS_INVALID_PARAMETER;
      Vxr_EnterCallback(SmartcardExtension);
      DbgPrint("[Vxr_SmartcardVendor] IOCTL_SMARTCARD_MRV_MEM_TRANSMIT \n");
      *SmartcardExtension->IoRequest.Information = 0;
      status = MemTransmit(SmartcardExtension, &m, &dataReply);
      if (status == STATUS_SUCCESS && dataReply) {
        *SmartcardExtension->IoRequest.Information = m;
        if (m > SmartcardExtension->IoRequest.ReplyBufferLength) {
          DbgPrint("[Vxr_SmartcardMorvane] Buffer too small to fit the returned data");
          status = STATUS_BUFFER_TOO_SMALL;
        } else {
          RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, SmartcardExtension->SmartcardReply.Buffer + 4, m);
        }
      }
      Vxr_LeaveCallback(SmartcardExtension);
      return status;
    }

    case IOCTL_SMARTCARD_GET_READER_TYPE:
      if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(SmartcardExtension->ReaderExtension->ReaderId))
        return STATUS_BUFFER_TOO_SMALL;
      RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, SmartcardExtension->ReaderExtension->ReaderId,
                    sizeof(SmartcardExtension->ReaderExtension->ReaderId));
      *SmartcardExtension->IoRequest.Information = sizeof(SmartcardExtension->ReaderExtension->ReaderId);
      return STATUS_SUCCESS;

    case IOCTL_SMARTCARD_SET_BAUD_RATE:
      // Refused before anything is sent: no rate code, a rate code with no
      // rate, or more than one command can hold.
      if (inputLength < 3 || inputLength > RDD_MAX_BLOCK) return STATUS_INVALID_PARAMETER;
      if (SmartcardExtension->IoRequest.RequestBuffer[2] < 1 || SmartcardExtension->IoRequest.RequestBuffer[2] > 6)
        return STATUS_INVALID_PARAMETER;
      Vxr_EnterCallback(SmartcardExtension);
      DbgPrint("[Vxr_SmartcardMorvane] IOCTL_SMARTCARD_SET_BAUD_RATE\n");
      status = Vxr_SetReaderBaudRate(SmartcardExtension);
      Vxr_LeaveCallback(SmartcardExtension);
      return status;

    default:
      return STATUS_NOT_SUPPORTED;
  }
}
