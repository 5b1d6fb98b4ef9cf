// The reader's command set: payload builders, reply fields and the
// settings derived from the reader-type reply.
#include "reader/frame/vx7rd.h"

#define READER_TYPE_REPLY_LENGTH 20  // letter, 0x00, two bytes, 16 identification bytes

PSMARTCARD_EXTENSION Vxr_CardSlot(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_EXTENSION de = (PDEVICE_EXTENSION)SmartcardExtension->OsData->DeviceObject->DeviceExtension;
  return &de->SmartcardExtension;
}

UCHAR Vxr_SlotByte(PSMARTCARD_EXTENSION SmartcardExtension) {
  return (UCHAR)(SmartcardExtension->ReaderExtension->Slot & 0xFF);
}

VOID Vxr_BuildCommand(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Letter, UCHAR SlotByte) {
  PUCHAR p = SmartcardExtension->SmartcardRequest.Buffer;
  p[0] = Letter;
  p[1] = SlotByte;
  p[2] = 0x00;
  SmartcardExtension->SmartcardRequest.BufferLength = 3;
}

NTSTATUS Vxr_BuildBlockCommand(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Letter, PUCHAR Block, ULONG Length) {
  PUCHAR p = SmartcardExtension->SmartcardRequest.Buffer;
  if (Length > SmartcardExtension->SmartcardRequest.BufferSize - RDD_HEADER_LENGTH) return STATUS_BUFFER_TOO_SMALL;
  p[0] = Letter;
  p[1] = Vxr_SlotByte(SmartcardExtension);
  p[2] = 0x00;
  p[3] = (UCHAR)(Length >> 8);
  p[4] = (UCHAR)(Length & 0xFF);
  if (Length) RtlMoveMemory(p + RDD_HEADER_LENGTH, Block, Length);
  SmartcardExtension->SmartcardRequest.BufferLength = RDD_HEADER_LENGTH + Length;
  return STATUS_SUCCESS;
}

ULONG Vxr_ReplyDataLength(PSMARTCARD_EXTENSION SmartcardExtension) {
  PUCHAR r = SmartcardExtension->SmartcardReply.Buffer;
  return ((ULONG)r[2] << 8) | r[3];
}

BOOLEAN Vxr_ApplyReaderType(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  PUCHAR r = SmartcardExtension->SmartcardReply.Buffer;
  ULONG version;

  // The reply holds its payload and the check byte. One too short to carry
  // the identification is not taken for a reader-type reply: its bytes
  // would be left over from an earlier answer.
  if (SmartcardExtension->SmartcardReply.BufferLength < READER_TYPE_REPLY_LENGTH + 1) return FALSE;
  if (r[0] != RDDRSP_READER_TYPE || r[1] != 0x00) return FALSE;

  version = 4096u * (ULONG)(r[16] - 0x30) + 256u * (ULONG)(r[17] - 0x30) + 16u * (ULONG)(r[18] - 0x30) +
            (ULONG)(r[19] - 0x30);
  if (version < 0x04) {
    re->CardTypeByte = FALSE;
    re->LeFixup = TRUE;
    SmartcardExtension->ReaderCapabilities.DataRatesSupported.Entries = 1;
  } else if (version < 0x10) {
    re->CardTypeByte = TRUE;
    re->LeFixup = TRUE;
    SmartcardExtension->ReaderCapabilities.DataRatesSupported.Entries = 1;
  } else if (version == 0x10) {
    re->CardTypeByte = TRUE;
    re->LeFixup = TRUE;
  } else {
    re->CardTypeByte = TRUE;
    re->LeFixup = FALSE;
  }
  RtlCopyMemory(re->ReaderId, r + 4, sizeof(re->ReaderId));
  re->ReaderId[9] = 0x52;   // 'R'
  re->ReaderId[10] = 0x44;  // 'D'
  return TRUE;
}
