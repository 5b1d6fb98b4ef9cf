// Data transmission: the library's T=0, T=1 or raw bytes in one card
// exchange command per block, and the card's answer back to the library.
#include "reader/frame/vx7rd.h"

#define LE_FIXUP_ANSWER 258  // 256 data bytes and SW1 SW2

NTSTATUS Vxr_SmartcardIoReply(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  PUCHAR payload = SmartcardExtension->SmartcardReply.Buffer;
  ULONG size = SmartcardExtension->SmartcardReply.BufferSize;
  ULONG m = ((ULONG)payload[2] << 8) | payload[3];
  PUCHAR answer = payload + 4;
  NTSTATUS status;

  SmartcardExtension->SmartcardReply.Buffer = answer;
  SmartcardExtension->SmartcardReply.BufferSize = size - 4;
  SmartcardExtension->SmartcardReply.BufferLength = m;

  // The reader was asked for 256 bytes in place of 255 or 254: drop the
  // surplus. An answer without the 256 bytes (a refusal carrying only a
  // status word) goes to the library as the card sent it.
  if (re->LeFixupActive && m == LE_FIXUP_ANSWER) {
    if (re->LeFixupOriginal == 0xFF) {
      answer[255] = answer[256];
      answer[256] = answer[257];
      SmartcardExtension->SmartcardReply.BufferLength = m - 1;
    } else {
      answer[254] = answer[256];
      answer[255] = answer[257];
      SmartcardExtension->SmartcardReply.BufferLength = m - 2;
    }
  }

  switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
      status = SmartcardT0Reply(SmartcardExtension);
      break;
    case SCARD_PROTOCOL_T1:
      status = SmartcardT1Reply(SmartcardExtension);
      break;
    case SCARD_PROTOCOL_RAW:
      status = SmartcardRawReply(SmartcardExtension);
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }

  SmartcardExtension->SmartcardReply.Buffer = payload;
  SmartcardExtension->SmartcardReply.BufferSize = size;
  return status;
}

NTSTATUS Vxr_SmartcardIoRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  PSMARTCARD_REQUEST request = &SmartcardExtension->SmartcardRequest;
  ULONG protocol;
  NTSTATUS status;

  Vxr_EnterCallback(SmartcardExtension);
  for (;;) {
    PUCHAR p = request->Buffer;
    PUCHAR r;
    ULONG n;
    ULONG m;

    request->BufferLength = RDD_HEADER_LENGTH;
    re->LeFixupActive = FALSE;
    protocol = SmartcardExtension->CardCapabilities.Protocol.Selected;
    if (protocol == SCARD_PROTOCOL_T0) {
      status = SmartcardT0Request(SmartcardExtension);
    } else if (protocol == SCARD_PROTOCOL_T1) {
      if (SmartcardExtension->T1.State == T1_WTX_RESPONSE) {
        // Tell the reader the waiting-time extension the card asked for.
        p[0] = RDDCMD_SET_PARAMETERS;
        p[1] = Vxr_SlotByte(SmartcardExtension);
        p[2] = 0x00;
        p[3] = 0x04;
        p[4] = 0x00;
        p[5] = 0x00;
        p[6] = 0x00;
        p[7] = SmartcardExtension->T1.Wtx;
        request->BufferLength = 8;
        Vxr_ReaderExchange(SmartcardExtension);
        request->BufferLength = RDD_HEADER_LENGTH;
      }
      status = SmartcardT1Request(SmartcardExtension);
    } else if (protocol == SCARD_PROTOCOL_RAW) {
      status = SmartcardRawRequest(SmartcardExtension);
    } else {
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    }
    if (status != STATUS_SUCCESS) goto next;

    n = request->BufferLength - RDD_HEADER_LENGTH;
    p[0] = RDDCMD_CARD_EXCHANGE;
    p[1] = Vxr_SlotByte(SmartcardExtension);
    p[2] = 0x00;
    p[3] = (UCHAR)(n >> 8);
    p[4] = (UCHAR)(n & 0xFF);

    if (re->LeFixup && protocol == SCARD_PROTOCOL_T0 && request->BufferLength == 10 &&
        (p[9] == 0xFF || p[9] == 0xFE)) {
      re->LeFixupActive = TRUE;
      re->LeFixupOriginal = p[9];
      p[9] = 0x00;
    }

    status = Vxr_ReaderExchange(SmartcardExtension);
    if (status != STATUS_SUCCESS) goto next;

    r = SmartcardExtension->SmartcardReply.Buffer;
    if (r[0] == RDDRSP_NO_CARD) {
      status = STATUS_NO_MEDIA;
      break;
    }
    if (r[0] != RDDRSP_DATA) {
      status = STATUS_SUCCESS;
      break;
    }
    // The stated answer length must match bytes the reply really holds.
    if (SmartcardExtension->SmartcardReply.BufferLength < 4 + 1) {
      status = STATUS_DEVICE_DATA_ERROR;
      break;
    }
    m = ((ULONG)r[2] << 8) | r[3];
    if (m > SmartcardExtension->SmartcardReply.BufferLength - 1 - 4) {
      status = STATUS_DEVICE_DATA_ERROR;
      break;
    }
    if (m == 0) {
      if (protocol == SCARD_PROTOCOL_T0) {
        status = STATUS_IO_TIMEOUT;
        break;
      }
      if (protocol == SCARD_PROTOCOL_T1) {
        SmartcardExtension->T1.OriginalState = (ULONG)STATUS_IO_TIMEOUT;
        status = Vxr_SmartcardIoReply(SmartcardExtension);
      } else {
        DbgPrint("[Vxr_SmartcardIoRequest]Unknown protocol\n");
        status = STATUS_SUCCESS;
        break;
      }
    } else {
      status = Vxr_SmartcardIoReply(SmartcardExtension);
    }
  next:
    if (status != STATUS_MORE_PROCESSING_REQUIRED) break;
  }
  Vxr_LeaveCallback(SmartcardExtension);
  return status;
}
