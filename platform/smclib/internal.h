// Helpers shared by the parts of the smart card library.
#pragma once

#include <cstring>

#include "platform/smclib.h"

namespace vk::smclib {

constexpr ULONG kPciLength = sizeof(SCARD_IO_REQUEST);

// The command behind the SCARD_IO_REQUEST header of IoRequest.RequestBuffer.
inline NTSTATUS CommandOf(PSMARTCARD_EXTENSION ext, const UCHAR** command, ULONG* length) {
  const PUCHAR buffer = ext->IoRequest.RequestBuffer;
  const ULONG total = ext->IoRequest.RequestBufferLength;
  if (!buffer || total < kPciLength) return STATUS_INVALID_PARAMETER;
  SCARD_IO_REQUEST header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.cbPciLength < kPciLength || header.cbPciLength > total) return STATUS_INVALID_PARAMETER;
  *command = buffer + header.cbPciLength;
  *length = total - header.cbPciLength;
  return STATUS_SUCCESS;
}

// The request buffer can take `more` bytes behind what it holds.
inline bool RequestRoom(PSMARTCARD_EXTENSION ext, ULONG more) {
  const SMARTCARD_REQUEST& rq = ext->SmartcardRequest;
  return rq.Buffer && rq.BufferLength <= rq.BufferSize && more <= rq.BufferSize - rq.BufferLength;
}

// The card's reply as the reader driver describes it, or false when the
// description cannot be right (no buffer, more bytes than it holds).
inline bool ReplyBytes(PSMARTCARD_EXTENSION ext, const UCHAR** bytes, ULONG* length) {
  const SMARTCARD_REPLY& rp = ext->SmartcardReply;
  if (rp.BufferLength > rp.BufferSize || (rp.BufferLength && !rp.Buffer)) return false;
  // The reader driver may point Buffer behind its own header inside the
  // library's buffer: the bytes up to the end of the allocation count.
  if (ext->OsData && ext->OsData->ReplyStart) {
    const auto start = reinterpret_cast<uintptr_t>(ext->OsData->ReplyStart);
    const auto at = reinterpret_cast<uintptr_t>(rp.Buffer);
    if (at >= start && at - start <= ext->OsData->ReplyAllocated &&
        rp.BufferLength > ext->OsData->ReplyAllocated - (at - start))
      return false;
  }
  *bytes = rp.Buffer;
  *length = rp.BufferLength;
  return true;
}

// Writes the SCARD_IO_REQUEST header and `length` bytes into the caller's
// reply and sets the count; STATUS_BUFFER_TOO_SMALL when they do not fit.
inline NTSTATUS DeliverReply(PSMARTCARD_EXTENSION ext, ULONG protocol, const UCHAR* data, ULONG length) {
  if (ext->IoRequest.Information) *ext->IoRequest.Information = 0;
  if (!ext->IoRequest.ReplyBuffer || ext->IoRequest.ReplyBufferLength < kPciLength ||
      length > ext->IoRequest.ReplyBufferLength - kPciLength)
    return STATUS_BUFFER_TOO_SMALL;
  SCARD_IO_REQUEST header = {protocol, kPciLength};
  std::memcpy(ext->IoRequest.ReplyBuffer, &header, sizeof header);
  if (length) std::memmove(ext->IoRequest.ReplyBuffer + kPciLength, data, length);
  if (ext->IoRequest.Information) *ext->IoRequest.Information = kPciLength + length;
  return STATUS_SUCCESS;
}

// T=1 error detection codes (ISO/IEC 7816-3, 11.4.4).
UCHAR T1Lrc(const UCHAR* data, ULONG length);
// CRC-16 with polynomial x^16 + x^12 + x^5 + 1, register preset to FFFF,
// bits taken least significant first, no final inversion; sent high byte first.
USHORT T1Crc(const UCHAR* data, ULONG length);

}  // namespace vk::smclib
