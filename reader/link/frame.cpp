// Reader frames: DLE STX payload check DLE ETX, with every 0x10 of the
// payload and check byte doubled and an XOR check over the payload.
#include "reader/frame/vx7rd.h"

#define DLE 0x10
#define STX 0x02
#define ETX 0x03

NTSTATUS Vxr_BuildFrame(PUCHAR Frame, ULONG Capacity, PUCHAR Payload, ULONG PayloadLength, PULONG FrameLength) {
  ULONG count;
  UCHAR check = 0x00;
  ULONG i;

  if (Frame == NULL || Payload == NULL || FrameLength == NULL) return STATUS_DEVICE_DATA_ERROR;
  if (Capacity < 7) return STATUS_BUFFER_TOO_SMALL;

  Frame[0] = DLE;
  Frame[1] = STX;
  count = 2;
  for (i = 0; i < PayloadLength; i++) {
    UCHAR b = Payload[i];
    if (++count > Capacity) return STATUS_BUFFER_TOO_SMALL;
    check ^= b;
    Frame[count - 1] = b;
    if (b == DLE) {
      if (++count > Capacity) return STATUS_BUFFER_TOO_SMALL;
      Frame[count - 1] = b;
    }
  }
  if (++count > Capacity) return STATUS_BUFFER_TOO_SMALL;
  Frame[count - 1] = check;
  if (check == DLE) {
    if (++count > Capacity) return STATUS_BUFFER_TOO_SMALL;
    Frame[count - 1] = check;
  }
  count += 2;
  if (count > Capacity) return STATUS_BUFFER_TOO_SMALL;
  Frame[count - 2] = DLE;
  Frame[count - 1] = ETX;
  *FrameLength = count;
  return STATUS_SUCCESS;
}

// Appends the bytes of one chunk that belong to the frame to ReceiveBuffer.
// The buffer starts with the DLE STX that opened the frame; bytes before it
// are dropped. A reply that would grow past the buffer stops collection and
// marks the try as failed.
VOID Vxr_CollectReply(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Chunk, ULONG ChunkLength) {
  READER_EXTENSION* re = SmartcardExtension->ReaderExtension;
  ULONG i;

  re->ReplyStarted = TRUE;
  for (i = 0; i < ChunkLength; i++) {
    UCHAR b = Chunk[i];
    if (b == DLE) {
      re->DlePending = !re->DlePending;
    } else if (b == ETX) {
      if (re->DlePending) re->FrameComplete = TRUE;
    } else if (b == STX) {
      if (re->DlePending) {
        if (re->ReceivedLength >= VXR_BUFFER_SIZE) {
          re->ReceiveOverflow = TRUE;
          return;
        }
        re->ReceiveBuffer[re->ReceivedLength++] = DLE;
        re->InFrame = TRUE;
        re->DlePending = FALSE;
      }
    }
    if (re->InFrame) {
      if (re->ReceivedLength >= VXR_BUFFER_SIZE) {
        re->ReceiveOverflow = TRUE;
        return;
      }
      re->ReceiveBuffer[re->ReceivedLength++] = b;
    }
  }
}

LONG Vxr_VerifyFrame(PUCHAR Buffer, PULONG Length) {
  ULONG available = *Length;
  ULONG read;
  ULONG written = 0;
  UCHAR check = 0;
  int state = 0;

  if (available == 0xFFFFFFFF) {
    *Length = 0;
    return RDDERR_DUE;
  }
  *Length = 0;
  for (read = 0; read < available; read++) {
    UCHAR b = Buffer[read];
    switch (state) {
      case 0:  // hunt
        check = 0;
        state = b == DLE ? 1 : 0;
        break;
      case 1:  // after DLE
        state = b == STX ? 2 : 0;
        break;
      case 2:  // data
        if (b == DLE) {
          state = 3;
        } else {
          Buffer[written++] = b;
          check ^= b;
        }
        break;
      default:  // data DLE
        if (b == DLE) {
          Buffer[written++] = DLE;
          check ^= DLE;
          state = 2;
        } else if (b == ETX) {
          if (check != 0x00) return RDDERR_DUE;
          if (written == 2 && Buffer[0] == 0x15) return RDDERR_NAK;
          *Length = written;
          return RDD_FRAME_OK;
        } else {
          return RDDERR_DUE;
        }
        break;
    }
  }
  return RDDERR_INCOMPLETE;
}

VOID Vxr_DumpBuffer(PCSTR Label, PUCHAR Buffer, ULONG Length) {
  ULONG i;
  DbgPrint("%s", Label);
  for (i = 0; i < Length; i++) DbgPrint("%x ", Buffer[i]);
  DbgPrint("\n");
}
