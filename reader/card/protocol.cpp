// Protocol and rate selection: the PTS with its default-rate fallback, and
// the protocol parameters told to the reader.
#include "reader/frame/vx7rd.h"

const signed char DiToD[16] = {0, 1, 2, 4, 8, 16, 32, 0, 12, 20, -1, -2, -3, -4, -5, -6};

UCHAR Vxr_T0WaitingValue(UCHAR WI, UCHAR Di) {
  if (Di < 10) {
    ULONG v = (ULONG)(UCHAR)DiToD[Di] * WI + 10;
    return v > 0xFF ? 0xFF : (UCHAR)v;
  }
  if (Di <= 15) return (UCHAR)(WI >> (-DiToD[Di]));
  return 10;  // no D is defined beyond index 15
}

static ULONG Allowed(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardExtension->MinorIoControlCode & SmartcardExtension->CardCapabilities.Protocol.Supported;
}

NTSTATUS Vxr_PtsSelection(PSMARTCARD_EXTENSION SmartcardExtension) {
  ULONG allowed = Allowed(SmartcardExtension);
  UCHAR pts[4];
  PUCHAR r;
  NTSTATUS status;

  pts[0] = 0xFF;
  pts[1] = (allowed & SCARD_PROTOCOL_T1) ? 0x11 : 0x10;
  pts[2] = (UCHAR)((SmartcardExtension->CardCapabilities.PtsData.Fl << 4) | SmartcardExtension->CardCapabilities.PtsData.Dl);
  pts[3] = (UCHAR)(pts[0] ^ pts[1] ^ pts[2]);
  Vxr_BuildBlockCommand(SmartcardExtension, RDDCMD_CARD_EXCHANGE, pts, sizeof(pts));
  status = Vxr_ReaderExchange(SmartcardExtension);
  if (status != STATUS_SUCCESS) return status;

  r = SmartcardExtension->SmartcardReply.Buffer;
  if (r[0] != RDDRSP_DATA) return status;
  // The card's four answer bytes must be there to be judged.
  if (SmartcardExtension->SmartcardReply.BufferLength < 8 + 1) return STATUS_INVALID_DEVICE_REQUEST;
  if ((UCHAR)(r[4] ^ r[5] ^ r[6] ^ r[7]) != 0 || r[4] != 0xFF || r[6] != pts[2] || r[5] != pts[1])
    return STATUS_INVALID_DEVICE_REQUEST;

  SmartcardExtension->CardCapabilities.Fl = SmartcardExtension->CardCapabilities.PtsData.Fl;
  SmartcardExtension->CardCapabilities.Dl = SmartcardExtension->CardCapabilities.PtsData.Dl;
  SmartcardExtension->ReaderExtension->CurrentDi = SmartcardExtension->CardCapabilities.PtsData.Dl;
  return STATUS_SUCCESS;
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
  ULONG allowed;
  ULONG previous = card->Protocol.Selected;
  PUCHAR p;
  NTSTATUS status;

  if (re->MemoryCard) {
    DbgPrint("[SetProtocol] Memory Card Present\n");
    if (SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    card->Protocol.Selected = PROTOCOL_MEMORY_CARD;
    *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer = PROTOCOL_MEMORY_CARD;
    *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }

  Vxr_EnterCallback(SmartcardExtension);
  allowed = Allowed(SmartcardExtension);

  // A PTS is only worth sending for a protocol that both sides accept.
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_NEGOTIABLE &&
      (allowed & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1))) {
    if (Vxr_PtsSelection(SmartcardExtension) == STATUS_SUCCESS) {
      DbgPrint("[SetProtocol] PTS selection success\n");
    } else {
      DbgPrint("[SetProtocol] PTS selection fial\n");
      Vxr_BuildCommand(SmartcardExtension, RDDCMD_WARM_RESET, Vxr_SlotByte(SmartcardExtension));
      if (Vxr_ReaderExchange(SmartcardExtension) == STATUS_SUCCESS) {
        card->PtsData.Fl = 1;
        card->PtsData.Dl = 1;
        if (Vxr_PtsSelection(SmartcardExtension) == STATUS_SUCCESS)
          DbgPrint("[SetProtocol] PTS selection Set default SUCCESS\n");
        else
          DbgPrint("[SetProtocol] PTS selection Set default failed\n");
      }
    }
  }

  p = SmartcardExtension->SmartcardRequest.Buffer;
  p[0] = RDDCMD_SET_PARAMETERS;
  p[1] = Vxr_SlotByte(SmartcardExtension);
  p[2] = 0x00;
  p[3] = 0x00;
  if (allowed & SCARD_PROTOCOL_T1) {
    card->Protocol.Selected = SCARD_PROTOCOL_T1;
    p[3] |= 0x10;
    if (card->T1.EDC & 0x01) p[3] |= 0x01;
    p[5] = 0x00;
    p[6] = (UCHAR)((card->T1.BWI << 4) | card->T1.CWI);
    p[4] = card->N;
  } else if (allowed & SCARD_PROTOCOL_T0) {
    card->Protocol.Selected = SCARD_PROTOCOL_T0;
    p[5] = Vxr_T0WaitingValue(card->T0.WI, re->CurrentDi);
    p[6] = 0x00;
    p[4] = (card->N < 3 || card->N == 0xFF) ? 3 : card->N;
  } else {
    card->Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
    Vxr_LeaveCallback(SmartcardExtension);
    return STATUS_INVALID_PARAMETER;
  }
  if (card->InversConvention) p[3] |= 0x02;
  p[7] = 0x00;
  SmartcardExtension->SmartcardRequest.BufferLength = 8;

  status = Vxr_ReaderExchange(SmartcardExtension);
  if (status != STATUS_SUCCESS) {
    card->Protocol.Selected = previous;  // the reader was not told anything new
  } else {
    if (SmartcardExtension->SmartcardReply.Buffer[0] == RDDRSP_ACK) {
      SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
      if (SmartcardExtension->IoRequest.ReplyBufferLength >= sizeof(ULONG)) {
        *(PULONG)SmartcardExtension->IoRequest.ReplyBuffer = card->Protocol.Selected;
        *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
      } else {
        status = STATUS_BUFFER_TOO_SMALL;
      }
    } else {
      card->Protocol.Selected = SCARD_PROTOCOL_UNDEFINED;
      status = STATUS_NO_MEDIA;
    }
  }

  Vxr_LeaveCallback(SmartcardExtension);
  return status;
}
