// T=1 block protocol, host side (ISO/IEC 7816-3, clause 11).
//
// The reader driver exchanges one block per call: SmartcardT1Request builds
// the next block behind the 5 bytes the driver reserves, SmartcardT1Reply
// takes the card's answer and says whether another block is due
// (STATUS_MORE_PROCESSING_REQUIRED) or the command is done. No kernel call is
// made here, so the fuzzers can drive the engine as it is.
#include "internal.h"

namespace vk::smclib {

namespace {

constexpr UCHAR kDefaultIfs = 32;
constexpr UCHAR kMaxRetries = 3;      // retransmissions without progress before a resynchronisation
constexpr UCHAR kMaxResynch = 3;      // S(RESYNCH request)s per command
constexpr UCHAR kMaxSRequests = 100;  // consecutive WTX / IFS requests of the card
constexpr ULONG kMaxResponse = 65538; // longest response: 65536 bytes and SW1 SW2

bool AtRest(UCHAR state) { return state == T1_INIT || state == T1_START || state == T1_RESTART; }

bool UsesCrc(PSMARTCARD_EXTENSION ext) { return (ext->CardCapabilities.T1.EDC & 0x01) != 0; }
ULONG EdcLength(PSMARTCARD_EXTENSION ext) { return UsesCrc(ext) ? 2 : 1; }

bool ValidIfs(UCHAR size) { return size != 0x00 && size != 0xFF; }

// The IFSD the reader wants: its MaxIFSD, at most 254.
UCHAR WantedIfsd(PSMARTCARD_EXTENSION ext) {
  ULONG max = ext->ReaderCapabilities.MaxIFSD;
  if (max == 0) return kDefaultIfs;
  return static_cast<UCHAR>(max > 254 ? 254 : max);
}

UCHAR CardIfsc(PSMARTCARD_EXTENSION ext) {
  UCHAR ifsc = ext->CardCapabilities.T1.IFSC;
  return ValidIfs(ifsc) ? ifsc : kDefaultIfs;
}

// Back to the beginning of the command, with the sequence numbers and
// information field sizes as after a reset or a resynchronisation.
void RestartCommand(T1_DATA& t) {
  t.BytesSent = 0;
  t.BytesReceived = 0;
  t.InfBytesSent = 0;
  t.Overflow = FALSE;
  t.MoreData = FALSE;
  t.CommandAcked = FALSE;
  t.Resend = 0;
  t.SRequests = 0;
  t.IfsTries = 0;
}

NTSTATUS Fail(PSMARTCARD_EXTENSION ext, NTSTATUS status, UCHAR restState) {
  T1_DATA& t = ext->T1;
  t.State = restState;
  t.LastError = static_cast<ULONG>(status);
  t.MoreData = FALSE;
  if (ext->IoRequest.Information) *ext->IoRequest.Information = 0;
  return status;
}

NTSTATUS StartResynch(PSMARTCARD_EXTENSION ext) {
  T1_DATA& t = ext->T1;
  if (t.Resynch >= kMaxResynch)
    return Fail(ext, t.LastWasTimeout ? STATUS_IO_TIMEOUT : STATUS_DEVICE_PROTOCOL_ERROR, T1_RESTART);
  ++t.Resynch;
  t.Resend = 0;
  t.State = T1_RESYNCH_REQUEST;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The card's block was missing or invalid: ask for it again (R-block), or
// repeat our own S-request, and resynchronise when that keeps failing.
NTSTATUS OnError(PSMARTCARD_EXTENSION ext, UCHAR code, bool timeout) {
  T1_DATA& t = ext->T1;
  t.LastWasTimeout = timeout;
  if (t.PrevState == T1_RESYNCH_REQUEST) return StartResynch(ext);
  if (t.PrevState == T1_IFS_REQUEST) {
    if (++t.IfsTries >= kMaxRetries) {
      // The card does not take the IFS request: go on with IFSD as it is.
      t.IfsPending = FALSE;
      t.Resend = 0;
      t.State = T1_I_BLOCK;
    } else {
      t.State = T1_IFS_REQUEST;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (t.Resend >= kMaxRetries) return StartResynch(ext);
  ++t.Resend;
  t.State = T1_R_BLOCK;
  t.RCode = code;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The card asks for our last block again.
NTSTATUS Retransmit(PSMARTCARD_EXTENSION ext) {
  T1_DATA& t = ext->T1;
  t.LastWasTimeout = false;
  if (t.Resend >= kMaxRetries) return StartResynch(ext);
  ++t.Resend;
  t.State = t.PrevState;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void Progress(T1_DATA& t) {
  t.Resend = 0;
  t.SRequests = 0;
}

NTSTATUS OnIBlock(PSMARTCARD_EXTENSION ext, UCHAR pcb, const UCHAR* inf, ULONG len) {
  T1_DATA& t = ext->T1;
  const UCHAR ns = (pcb >> 6) & 1;
  const bool more = (pcb & 0x20) != 0;
  // While we chain, the card answers with R-blocks only.
  if (t.PrevState == T1_I_BLOCK && (t.LastSentPcb & 0x20)) return OnError(ext, 2, false);
  if (ns != t.RSN) return OnError(ext, 2, false);
  if (!t.CommandAcked) {
    // The card's first I-block acknowledges the last block of our chain.
    if (t.InfBytesSent == 0 || t.BytesSent + t.InfBytesSent != t.BytesToSend) return OnError(ext, 2, false);
    t.BytesSent += t.InfBytesSent;
    t.SSN ^= 1;
    t.CommandAcked = TRUE;
  }
  t.RSN ^= 1;
  Progress(t);

  const ULONG capacity = ext->IoRequest.ReplyBufferLength - kPciLength;  // at least 8, checked at the start
  if (!t.Overflow && len <= capacity - t.BytesReceived) {
    std::memcpy(ext->IoRequest.ReplyBuffer + kPciLength + t.BytesReceived, inf, len);
  } else {
    t.Overflow = TRUE;  // keep the chain going to stay in step, drop the data
  }
  t.BytesReceived += len;
  if (t.BytesReceived > kMaxResponse) return Fail(ext, STATUS_DEVICE_PROTOCOL_ERROR, T1_RESTART);

  if (more) {
    t.MoreData = TRUE;
    t.State = T1_R_BLOCK;
    t.RCode = 0;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  t.MoreData = FALSE;
  t.State = T1_START;
  if (t.Overflow) return Fail(ext, STATUS_BUFFER_TOO_SMALL, T1_START);
  SCARD_IO_REQUEST header = {SCARD_PROTOCOL_T1, kPciLength};
  std::memcpy(ext->IoRequest.ReplyBuffer, &header, sizeof header);
  if (ext->IoRequest.Information) *ext->IoRequest.Information = kPciLength + t.BytesReceived;
  return STATUS_SUCCESS;
}

NTSTATUS OnRBlock(PSMARTCARD_EXTENSION ext, UCHAR pcb) {
  T1_DATA& t = ext->T1;
  const UCHAR nr = (pcb >> 4) & 1;
  if (t.PrevState == T1_I_BLOCK && (t.LastSentPcb & 0x20) && nr != t.SSN) {
    // Acknowledges our chained block and asks for the next one.
    t.BytesSent += t.InfBytesSent;
    t.InfBytesSent = 0;
    t.SSN ^= 1;
    Progress(t);
    t.State = T1_I_BLOCK;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  return Retransmit(ext);
}

NTSTATUS OnSBlock(PSMARTCARD_EXTENSION ext, UCHAR pcb, const UCHAR* inf, ULONG len) {
  T1_DATA& t = ext->T1;
  switch (pcb) {
    case 0xC1:  // IFS request: the card announces a new IFSC
      if (len != 1 || !ValidIfs(inf[0])) return OnError(ext, 2, false);
      if (++t.SRequests > kMaxSRequests) return Fail(ext, STATUS_DEVICE_PROTOCOL_ERROR, T1_RESTART);
      t.IFSC = inf[0];
      t.SInf = inf[0];
      t.State = T1_IFS_RESPONSE;
      return STATUS_MORE_PROCESSING_REQUIRED;
    case 0xC2:  // ABORT request: the card gives the chain up
      if (len != 0) return OnError(ext, 2, false);
      t.State = T1_ABORT_RESPONSE;
      return STATUS_MORE_PROCESSING_REQUIRED;
    case 0xC3:  // WTX request
      if (len != 1 || inf[0] == 0) return OnError(ext, 2, false);
      if (++t.SRequests > kMaxSRequests) return Fail(ext, STATUS_IO_TIMEOUT, T1_RESTART);
      t.Wtx = inf[0];
      t.SInf = inf[0];
      t.State = T1_WTX_RESPONSE;
      return STATUS_MORE_PROCESSING_REQUIRED;
    case 0xE0:  // RESYNCH response
      if (t.PrevState != T1_RESYNCH_REQUEST || len != 0) return OnError(ext, 2, false);
      t.SSN = 0;
      t.RSN = 0;
      t.IFSC = CardIfsc(ext);
      t.IFSD = kDefaultIfs;
      RestartCommand(t);
      t.IfsPending = WantedIfsd(ext) != kDefaultIfs;
      t.State = t.IfsPending ? T1_IFS_REQUEST : T1_I_BLOCK;
      return STATUS_MORE_PROCESSING_REQUIRED;
    case 0xE1:  // IFS response to our request
      if (t.PrevState != T1_IFS_REQUEST || len != 1 || inf[0] != WantedIfsd(ext)) return OnError(ext, 2, false);
      t.IFSD = inf[0];
      t.IfsPending = FALSE;
      Progress(t);
      t.State = T1_I_BLOCK;
      return STATUS_MORE_PROCESSING_REQUIRED;
    default:
      return OnError(ext, 2, false);
  }
}

}  // namespace

UCHAR T1Lrc(const UCHAR* data, ULONG length) {
  UCHAR x = 0;
  for (ULONG i = 0; i < length; ++i) x ^= data[i];
  return x;
}

USHORT T1Crc(const UCHAR* data, ULONG length) {
  USHORT crc = 0xFFFF;
  for (ULONG i = 0; i < length; ++i) {
    crc = static_cast<USHORT>(crc ^ data[i]);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<USHORT>((crc >> 1) ^ 0x8408) : static_cast<USHORT>(crc >> 1);
  }
  return crc;
}

}  // namespace vk::smclib

using namespace vk::smclib;

extern "C" NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  T1_DATA& t = ext->T1;
  const UCHAR* command;
  ULONG commandLength;
  NTSTATUS status = CommandOf(ext, &command, &commandLength);
  if (!NT_SUCCESS(status)) return status;

  if (AtRest(t.State)) {
    if (commandLength == 0) return STATUS_INVALID_PARAMETER;
    if (!ext->IoRequest.ReplyBuffer || ext->IoRequest.ReplyBufferLength < kPciLength) return STATUS_BUFFER_TOO_SMALL;
    const UCHAR rest = t.State;
    RestartCommand(t);
    t.BytesToSend = commandLength;
    t.Resynch = 0;
    t.Blocks = 0;
    t.Wtx = 0;
    t.OriginalState = 0;
    t.LastWasTimeout = FALSE;
    if (!ValidIfs(t.IFSC)) t.IFSC = CardIfsc(ext);
    if (!ValidIfs(t.IFSD)) t.IFSD = kDefaultIfs;
    if (rest == T1_INIT) t.IfsPending = WantedIfsd(ext) != t.IFSD;
    if (rest == T1_RESTART) {
      t.Resynch = 1;
      t.State = T1_RESYNCH_REQUEST;
    } else {
      t.State = t.IfsPending ? T1_IFS_REQUEST : T1_I_BLOCK;
    }
  } else if (t.BytesToSend != commandLength || t.BytesSent > t.BytesToSend) {
    return STATUS_INVALID_DEVICE_STATE;  // the command changed in the middle of its exchange
  }

  UCHAR pcb;
  const UCHAR* inf = nullptr;
  ULONG len = 0;
  UCHAR sinf;
  switch (t.State) {
    case T1_I_BLOCK: {
      ULONG remaining = t.BytesToSend - t.BytesSent;
      len = remaining < t.IFSC ? remaining : t.IFSC;
      const bool more = len < remaining;
      pcb = static_cast<UCHAR>((t.SSN << 6) | (more ? 0x20 : 0));
      inf = command + t.BytesSent;
      t.InfBytesSent = len;
      break;
    }
    case T1_R_BLOCK:
      pcb = static_cast<UCHAR>(0x80 | (t.RSN << 4) | (t.RCode & 0x03));
      break;
    case T1_RESYNCH_REQUEST:
      pcb = 0xC0;
      break;
    case T1_IFS_REQUEST:
      pcb = 0xC1;
      sinf = WantedIfsd(ext);
      inf = &sinf;
      len = 1;
      break;
    case T1_IFS_RESPONSE:
      pcb = 0xE1;
      inf = &t.SInf;
      len = 1;
      break;
    case T1_ABORT_RESPONSE:
      pcb = 0xE2;
      break;
    case T1_WTX_RESPONSE:
      pcb = 0xE3;
      inf = &t.SInf;
      len = 1;
      break;
    default:
      return STATUS_INVALID_DEVICE_STATE;
  }

  const ULONG edc = EdcLength(ext);
  if (!RequestRoom(ext, 3 + len + edc)) return STATUS_BUFFER_TOO_SMALL;
  UCHAR* block = ext->SmartcardRequest.Buffer + ext->SmartcardRequest.BufferLength;
  block[0] = t.NAD;
  block[1] = pcb;
  block[2] = static_cast<UCHAR>(len);
  if (len) std::memcpy(block + 3, inf, len);
  if (edc == 2) {
    USHORT crc = T1Crc(block, 3 + len);
    block[3 + len] = static_cast<UCHAR>(crc >> 8);
    block[4 + len] = static_cast<UCHAR>(crc);
  } else {
    block[3 + len] = T1Lrc(block, 3 + len);
  }
  ext->SmartcardRequest.BufferLength += 3 + len + edc;
  t.PrevState = t.State;
  t.LastSentPcb = pcb;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  T1_DATA& t = ext->T1;
  if (AtRest(t.State)) return STATUS_INVALID_DEVICE_STATE;  // no block of ours is outstanding
  if (!ext->IoRequest.ReplyBuffer || ext->IoRequest.ReplyBufferLength < kPciLength)
    return Fail(ext, STATUS_BUFFER_TOO_SMALL, T1_RESTART);

  const ULONG maxBlocks = 64 + 2 * (t.BytesToSend + kMaxResponse);
  if (++t.Blocks > maxBlocks) return Fail(ext, STATUS_DEVICE_PROTOCOL_ERROR, T1_RESTART);

  const bool noAnswer = t.OriginalState == static_cast<ULONG>(STATUS_IO_TIMEOUT);
  t.OriginalState = 0;
  if (t.PrevState == T1_ABORT_RESPONSE) return Fail(ext, STATUS_DEVICE_PROTOCOL_ERROR, T1_RESTART);

  const UCHAR* b;
  ULONG n;
  if (!ReplyBytes(ext, &b, &n)) return OnError(ext, 2, false);
  if (noAnswer || n == 0) return OnError(ext, 2, true);

  const ULONG edc = EdcLength(ext);
  if (n < 3 + edc) return OnError(ext, 2, false);
  const ULONG len = b[2];
  if (len == 0xFF || n != 3 + len + edc) return OnError(ext, 2, false);
  bool edcOk;
  if (edc == 2) {
    USHORT crc = T1Crc(b, 3 + len);
    edcOk = b[3 + len] == static_cast<UCHAR>(crc >> 8) && b[4 + len] == static_cast<UCHAR>(crc);
  } else {
    edcOk = T1Lrc(b, 3 + len) == b[3 + len];
  }
  if (!edcOk) return OnError(ext, 1, false);
  if (b[0] != t.NAD) return OnError(ext, 2, false);

  const UCHAR pcb = b[1];
  const UCHAR* inf = b + 3;
  // An S-request of ours is answered by its response and nothing else.
  if (t.PrevState == T1_RESYNCH_REQUEST && pcb != 0xE0) return OnError(ext, 2, false);
  if (t.PrevState == T1_IFS_REQUEST && pcb != 0xE1) return OnError(ext, 2, false);

  if (!(pcb & 0x80)) return OnIBlock(ext, pcb, inf, len);
  if ((pcb & 0xC0) == 0x80) {
    if ((pcb & 0x20) || len != 0) return OnError(ext, 2, false);
    return OnRBlock(ext, pcb);
  }
  return OnSBlock(ext, pcb, inf, len);
}
