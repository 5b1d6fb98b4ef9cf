// Card power: power down, cold and warm reset, and the answer-to-reset.
#include "reader/frame/vx7rd.h"

const UCHAR MemoryCardAtr[24] = {0x3B, 0xBF, 0x18, 0x00, 0x80, 0x31, 0x70, 0x35, 0x53, 0x54, 0x41, 0x52,
                                 0x43, 0x4F, 0x53, 0x20, 0x53, 0x32, 0x31, 0x20, 0x43, 0x90, 0x00, 0x9B};

// Payload bytes of the last reply (its check byte not counted).
static ULONG ReplyPayload(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG length = SmartcardExtension->SmartcardReply.BufferLength;
  return length ? length - 1 : 0;
}

static NTSTATUS PowerDownSlot(PSMARTCARD_EXTENSION SmartcardExtension) {
  Vxr_BuildCommand(SmartcardExtension, RDDCMD_POWER_DOWN, Vxr_SlotByte(SmartcardExtension));
  return Vxr_ReaderExchange(SmartcardExtension);
}

NTSTATUS Vxr_StoreAtr(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  PUCHAR r = SmartcardExtension->SmartcardReply.Buffer;
  ULONG payload = ReplyPayload(SmartcardExtension);
  ULONG skip = 0;
  ULONG length;

  if (re->CardTypeByte) {
    if (payload < 5) return STATUS_DEVICE_DATA_ERROR;
    if (r[4] == 0x02 || r[4] == 0x03) {
      SmartcardExtension->CardCapabilities.ATR.Length = sizeof(MemoryCardAtr);
      RtlCopyMemory(SmartcardExtension->CardCapabilities.ATR.Buffer, MemoryCardAtr, sizeof(MemoryCardAtr));
      re->MemoryCard = TRUE;
      if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(MemoryCardAtr)) return STATUS_BUFFER_TOO_SMALL;
      *SmartcardExtension->IoRequest.Information = sizeof(MemoryCardAtr);
      RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, MemoryCardAtr, sizeof(MemoryCardAtr));
      return STATUS_SUCCESS;
    }
    skip = 1;
  }
  re->MemoryCard = FALSE;

  // The answer-to-reset must fit the record and be there in the reply; a
  // length byte of 0 ahead of a card-type byte states no answer at all.
  length = (UCHAR)(r[3] - skip);
  if ((skip && r[3] == 0) || length > MAXIMUM_ATR_LENGTH || 4 + skip + length > payload)
    return STATUS_DEVICE_DATA_ERROR;
  SmartcardExtension->CardCapabilities.ATR.Length = (UCHAR)length;
  RtlCopyMemory(SmartcardExtension->CardCapabilities.ATR.Buffer, r + 4 + skip, length);

  if (SmartcardExtension->IoRequest.ReplyBufferLength < length) return STATUS_BUFFER_TOO_SMALL;
  *SmartcardExtension->IoRequest.Information = length;
  RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, SmartcardExtension->CardCapabilities.ATR.Buffer, length);
  return STATUS_SUCCESS;
}

// What follows a reset that the reader carried out.
static NTSTATUS ResetAnswer(PSMARTCARD_EXTENSION SmartcardExtension) {
  PUCHAR r = SmartcardExtension->SmartcardReply.Buffer;
  NTSTATUS stored;
  NTSTATUS status;

  if (ReplyPayload(SmartcardExtension) < 4) return STATUS_DEVICE_DATA_ERROR;
  if (r[2] == 0x00 && r[3] == 0x00) {
    if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_PRESENT)
      SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
    if (PowerDownSlot(SmartcardExtension) == STATUS_SUCCESS) {
      SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
      SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    }
    return STATUS_UNRECOGNIZED_MEDIA;
  }

  stored = Vxr_StoreAtr(SmartcardExtension);
  if (stored != STATUS_SUCCESS && stored != STATUS_BUFFER_TOO_SMALL) {
    SmartcardExtension->CardCapabilities.ATR.Length = 0;
    *SmartcardExtension->IoRequest.Information = 0;
    return stored;
  }
  SmartcardExtension->ReaderExtension->CurrentDi = 1;
  status = SmartcardUpdateCardCapabilities(SmartcardExtension);
  SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
  // The card is reset and its capabilities known; only the caller's buffer
  // was too small for the answer.
  if (stored == STATUS_BUFFER_TOO_SMALL) return stored;
  return status;
}

NTSTATUS Vxr_SmartcardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  NTSTATUS status;

  SmartcardExtension->CardCapabilities.ATR.Length = 0;
  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  Vxr_EnterCallback(SmartcardExtension);
  *SmartcardExtension->IoRequest.Information = 0;

  switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN:
      DbgPrint("[SmartcardPower] Power Down\n");
      if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_PRESENT)
        SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
      status = PowerDownSlot(SmartcardExtension);
      if (status != STATUS_SUCCESS) break;
      if (SmartcardExtension->SmartcardReply.Buffer[0] != RDDRSP_ACK) {
        status = STATUS_DEVICE_DATA_ERROR;
        break;
      }
      SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
      SmartcardExtension->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
      status = STATUS_SUCCESS;
      break;

    case SCARD_COLD_RESET:
      DbgPrint("[Vxr_SmartcardPower] Cold Reset\n");
      status = PowerDownSlot(SmartcardExtension);
      if (status != STATUS_SUCCESS || SmartcardExtension->SmartcardReply.Buffer[0] != RDDRSP_ACK) {
        status = STATUS_DEVICE_DATA_ERROR;
        break;
      }
      Vxr_BuildCommand(SmartcardExtension, RDDCMD_POWER_UP, Vxr_SlotByte(SmartcardExtension));
      status = Vxr_ReaderExchange(SmartcardExtension);
      if (status != STATUS_SUCCESS) break;
      status = ResetAnswer(SmartcardExtension);
      break;

    case SCARD_WARM_RESET:
      Vxr_BuildCommand(SmartcardExtension, RDDCMD_WARM_RESET, Vxr_SlotByte(SmartcardExtension));
      status = Vxr_ReaderExchange(SmartcardExtension);
      if (status != STATUS_SUCCESS) break;
      status = ResetAnswer(SmartcardExtension);
      break;

    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }

  Vxr_LeaveCallback(SmartcardExtension);
  return status;
}
