// T=0 and raw transmission. The reader is transparent: a T=0 command goes
// out as one block (header CLA INS P1 P2 P3 and its data; the reader plays
// the procedure bytes) and comes back as the response data and SW1 SW2.
#include "internal.h"

using namespace vk::smclib;

// Short APDU cases of ISO/IEC 7816-3, 12.1: case 1 (CLA INS P1 P2) goes out
// with P3 = 0, case 2 with Le as P3, case 3 with Lc as P3, case 4 as case 3
// (the card announces its response with 61xx, which goes back to the caller).
extern "C" NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  const UCHAR* apdu;
  ULONG length;
  NTSTATUS status = CommandOf(ext, &apdu, &length);
  if (!NT_SUCCESS(status)) return status;
  if (length < 4) return STATUS_INVALID_PARAMETER;

  UCHAR header[5];
  std::memcpy(header, apdu, 4);
  ULONG dataLength = 0;
  if (length == 4) {
    header[4] = 0;
    ext->T0.Lc = 0;
    ext->T0.Le = 0;
  } else if (length == 5) {
    header[4] = apdu[4];
    ext->T0.Lc = 0;
    ext->T0.Le = apdu[4] ? apdu[4] : 256;
  } else {
    const ULONG lc = apdu[4];
    if (lc == 0) return STATUS_INVALID_PARAMETER;  // extended lengths do not exist under T=0
    if (length != 5 + lc && length != 6 + lc) return STATUS_INVALID_PARAMETER;
    header[4] = apdu[4];
    dataLength = lc;
    ext->T0.Lc = lc;
    ext->T0.Le = 0;
  }
  if (!RequestRoom(ext, 5 + dataLength)) return STATUS_BUFFER_TOO_SMALL;
  UCHAR* out = ext->SmartcardRequest.Buffer + ext->SmartcardRequest.BufferLength;
  std::memcpy(out, header, 5);
  if (dataLength) std::memcpy(out + 5, apdu + 5, dataLength);
  ext->SmartcardRequest.BufferLength += 5 + dataLength;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  if (ext->IoRequest.Information) *ext->IoRequest.Information = 0;
  const UCHAR* bytes;
  ULONG length;
  if (!ReplyBytes(ext, &bytes, &length)) return STATUS_DEVICE_PROTOCOL_ERROR;
  // SW1 SW2 at least, and no more data than the command asked for.
  if (length < 2 || length - 2 > ext->T0.Le) return STATUS_DEVICE_PROTOCOL_ERROR;
  return DeliverReply(ext, SCARD_PROTOCOL_T0, bytes, length);
}

extern "C" NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  const UCHAR* command;
  ULONG length;
  NTSTATUS status = CommandOf(ext, &command, &length);
  if (!NT_SUCCESS(status)) return status;
  if (!RequestRoom(ext, length)) return STATUS_BUFFER_TOO_SMALL;
  if (length) std::memcpy(ext->SmartcardRequest.Buffer + ext->SmartcardRequest.BufferLength, command, length);
  ext->SmartcardRequest.BufferLength += length;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  if (ext->IoRequest.Information) *ext->IoRequest.Information = 0;
  const UCHAR* bytes;
  ULONG length;
  if (!ReplyBytes(ext, &bytes, &length)) return STATUS_DEVICE_PROTOCOL_ERROR;
  return DeliverReply(ext, SCARD_PROTOCOL_RAW, bytes, length);
}
