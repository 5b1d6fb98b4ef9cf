// The pcsc-lite IFD handler (API 3.0) of the VX710RD reader: pcscd's entry
// points mapped to the device controls of the driver stack in stack.cpp.
//
// One reader per pcscd: the emulated kernel allows one system per process,
// so the handler serves one device path (both of its slots); a second,
// different DEVICENAME is refused. Slot 0 (Lun & 0xFFFF) is the user card
// slot, slot 1 the SAM. pcscd polls IFDHICCPresence (the handler answers
// IFD_ERROR_TAG to TAG_IFD_POLLING_THREAD_WITH_TIMEOUT), which reads the
// card state the driver tracks: no reader I/O, so it is quick.
// The header declares the entry points without a linkage of its own: they
// must have C linkage for pcscd to find them by name.
extern "C" {
#include <PCSC/ifdhandler.h>
#include <PCSC/reader.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "ifd/stack.h"

namespace {

using vx7ifd::Bytes;
using vx7ifd::Op;
using vx7ifd::Reply;
using vx7ifd::Stack;

// Bounds of the waits, well above the driver's own time-outs: a request that
// outlives them is cancelled (see Stack::Control).
constexpr int kPowerTimeoutMs = 20000;
constexpr int kProtocolTimeoutMs = 20000;
constexpr int kTransmitTimeoutMs = 60000;  // T=1 waiting time extensions included
constexpr int kStateTimeoutMs = 5000;
constexpr int kVendorTimeoutMs = 30000;

constexpr int kSlots = 2;

struct Slot {
  bool open = false;
  Bytes atr;
};

std::mutex g_mutex;  // guards everything below
std::string g_device;
std::shared_ptr<Stack> g_stack;
Slot g_slots[kSlots];

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("ifd-vx7: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

int SlotOf(DWORD lun) { return int(lun & 0xFFFF); }

// The stack serving `lun`'s slot when that slot is open.
std::shared_ptr<Stack> StackFor(DWORD lun) {
  int slot = SlotOf(lun);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (slot >= kSlots || !g_slots[slot].open) return nullptr;
  return g_stack;
}

Bytes Ulong(std::uint32_t v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

std::uint32_t ReadUlong(const Bytes& b) {
  std::uint32_t v = 0;
  if (b.size() >= 4) std::memcpy(&v, b.data(), 4);
  return v;
}

RESPONSECODE OneByte(PDWORD length, PUCHAR value, UCHAR byte) {
  if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
  *length = 1;
  value[0] = byte;
  return IFD_SUCCESS;
}

RESPONSECODE Failure(const Reply& r, RESPONSECODE otherwise) {
  if (r.kind == Reply::Kind::Gone) return IFD_NO_SUCH_DEVICE;
  if (r.kind == Reply::Kind::TimedOut) return IFD_RESPONSE_TIMEOUT;
  return otherwise;
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  int slot = SlotOf(Lun);
  std::string device = DeviceName ? DeviceName : "";
  if (slot >= kSlots || device.empty()) return IFD_COMMUNICATION_ERROR;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_stack) {
    if (device != g_device) {
      Log("%s: this handler already serves %s (one reader per pcscd)", device.c_str(), g_device.c_str());
      return IFD_COMMUNICATION_ERROR;
    }
    g_slots[slot] = Slot{true, {}};
    return IFD_SUCCESS;
  }
  std::string error;
  std::unique_ptr<Stack> stack = Stack::Start(device, &error);
  if (!stack) {
    Log("%s", error.c_str());
    return IFD_COMMUNICATION_ERROR;
  }
  g_stack = std::move(stack);
  g_device = device;
  for (auto& s : g_slots) s = Slot{};
  g_slots[slot].open = true;
  Log("reader on %s started (slot %d)", device.c_str(), slot);
  return IFD_SUCCESS;
}

// Without a DEVICENAME line pcscd would name the port by a channel number;
// this reader is configured by its device path only.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  Log("channel %lu: give the serial device as DEVICENAME in the reader.conf entry", (unsigned long)Channel);
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  int slot = SlotOf(Lun);
  std::shared_ptr<Stack> last;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (slot >= kSlots || !g_slots[slot].open) return IFD_SUCCESS;
    g_slots[slot] = Slot{};
    bool anyOpen = false;
    for (auto& s : g_slots) anyOpen = anyOpen || s.open;
    if (!anyOpen) {
      last = std::move(g_stack);
      g_device.clear();
    }
  }
  if (last) {
    // Power the cards down before the system goes: a clean end for the line.
    last->Control(0, Op::Power, Ulong(vx7ifd::kPowerDown), 0, kPowerTimeoutMs);
    last.reset();  // the last owner stops the loop and tears the system down
    Log("reader stopped");
  }
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  int slot = SlotOf(Lun);
  if (!Length || !Value) return IFD_COMMUNICATION_ERROR;
  switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (slot >= kSlots) return IFD_COMMUNICATION_ERROR;
      const Bytes& atr = g_slots[slot].atr;
      if (*Length < atr.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
      std::copy(atr.begin(), atr.end(), Value);
      *Length = DWORD(atr.size());
      return IFD_SUCCESS;
    }
    case TAG_IFD_SLOTS_NUMBER:
      return OneByte(Length, Value, kSlots);
    case TAG_IFD_SLOT_THREAD_SAFE:  // the slots share one serial line
      return OneByte(Length, Value, 0);
    case TAG_IFD_THREAD_SAFE:
      return OneByte(Length, Value, 0);
    case TAG_IFD_SIMULTANEOUS_ACCESS:  // one system, hence one reader, per process
      return OneByte(Length, Value, 1);
    default:
      break;
  }
  // SCARD_ATTR_* tags: the driver's GET_ATTRIBUTE (same tag values).
  if ((Tag >> 16) != 0) {
    auto stack = StackFor(Lun);
    if (!stack) return IFD_COMMUNICATION_ERROR;
    Reply r = stack->Control(slot, Op::GetAttribute, Ulong(std::uint32_t(Tag)), std::uint32_t(*Length),
                             kStateTimeoutMs);
    if (r.kind != Reply::Kind::Ok) return r.kind == Reply::Kind::Gone ? IFD_NO_SUCH_DEVICE : IFD_ERROR_TAG;
    if (r.output.size() > *Length) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::copy(r.output.begin(), r.output.end(), Value);
    *Length = DWORD(r.output.size());
    return IFD_SUCCESS;
  }
  // TAG_IFD_POLLING_THREAD_WITH_TIMEOUT among them: pcscd then polls IFDHICCPresence.
  return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) { return IFD_ERROR_TAG; }

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2,
                                       UCHAR PTS3) {
  int slot = SlotOf(Lun);
  auto stack = StackFor(Lun);
  if (!stack) return IFD_COMMUNICATION_ERROR;
  // Protocol is a mask (SCARD_PROTOCOL_T0 = 1, T1 = 2), as the driver takes it.
  Reply r = stack->Control(slot, Op::SetProtocol, Ulong(std::uint32_t(Protocol)), 4, kProtocolTimeoutMs);
  if (r.kind == Reply::Kind::Ok) return IFD_SUCCESS;
  Log("slot %d: SET_PROTOCOL 0x%lX: status 0x%08X", slot, (unsigned long)Protocol, unsigned(r.status));
  if (r.kind == Reply::Kind::Refused) return IFD_PROTOCOL_NOT_SUPPORTED;
  return Failure(r, IFD_ERROR_PTS_FAILURE);
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  int slot = SlotOf(Lun);
  auto stack = StackFor(Lun);
  if (!stack) return IFD_COMMUNICATION_ERROR;
  std::uint32_t action;
  switch (Action) {
    case IFD_POWER_UP: action = vx7ifd::kColdReset; break;
    case IFD_RESET: action = vx7ifd::kWarmReset; break;
    case IFD_POWER_DOWN: action = vx7ifd::kPowerDown; break;
    default: return IFD_NOT_SUPPORTED;
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_slots[slot].atr.clear();
  }
  Reply r = stack->Control(slot, Op::Power, Ulong(action), action == vx7ifd::kPowerDown ? 0 : MAX_ATR_SIZE,
                           kPowerTimeoutMs);
  if (AtrLength) *AtrLength = 0;
  if (r.kind != Reply::Kind::Ok) {
    Log("slot %d: POWER %u: status 0x%08X", slot, action, unsigned(r.status));
    if (action == vx7ifd::kPowerDown && r.kind == Reply::Kind::Failed) return IFD_SUCCESS;  // e.g. no card
    return Failure(r, IFD_ERROR_POWER_ACTION);
  }
  if (action == vx7ifd::kPowerDown) return IFD_SUCCESS;
  if (r.output.empty() || r.output.size() > MAX_ATR_SIZE) return IFD_ERROR_POWER_ACTION;
  if (Atr && AtrLength) {
    std::copy(r.output.begin(), r.output.end(), Atr);
    *AtrLength = DWORD(r.output.size());
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_slots[slot].atr = r.output;
  return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  int slot = SlotOf(Lun);
  DWORD room = RxLength ? *RxLength : 0;
  if (RxLength) *RxLength = 0;
  auto stack = StackFor(Lun);
  if (!stack || !RxLength || !RxBuffer || (!TxBuffer && TxLength)) return IFD_COMMUNICATION_ERROR;
  if (SendPci.Protocol > 1) return IFD_PROTOCOL_NOT_SUPPORTED;
  std::uint32_t mask = 1u << SendPci.Protocol;  // the number pcscd gives, as the driver's mask
  // Input: SCARD_IO_REQUEST{protocol, 8} and the APDU; output: the same header and the response.
  Bytes in = Ulong(mask);
  Bytes header = Ulong(8);
  in.insert(in.end(), header.begin(), header.end());
  in.insert(in.end(), TxBuffer, TxBuffer + TxLength);
  std::uint32_t outputLength = 8 + std::uint32_t(std::min<DWORD>(room, 65538));
  Reply r = stack->Control(slot, Op::Transmit, in, outputLength, kTransmitTimeoutMs);
  if (r.kind != Reply::Kind::Ok || r.output.size() < 8) {
    Log("slot %d: TRANSMIT: status 0x%08X", slot, unsigned(r.status));
    return Failure(r, IFD_COMMUNICATION_ERROR);
  }
  size_t n = r.output.size() - 8;
  if (n > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::copy(r.output.begin() + 8, r.output.end(), RxBuffer);
  *RxLength = DWORD(n);
  if (RecvPci) {
    RecvPci->Protocol = SendPci.Protocol;
    RecvPci->Length = 8;
  }
  return IFD_SUCCESS;
}

// The reader's vendor controls, as the driver defines them; pcsc-lite's form
// of a control code (SCARD_CTL_CODE(n) = 0x42000000 + n) is accepted too.
RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  int slot = SlotOf(Lun);
  if (pdwBytesReturned) *pdwBytesReturned = 0;
  auto stack = StackFor(Lun);
  if (!stack) return IFD_COMMUNICATION_ERROR;
  std::uint32_t code = Stack::DriverControlCode(std::uint32_t(dwControlCode));
  if (!Stack::IsVendorControl(code)) return IFD_ERROR_NOT_SUPPORTED;
  Bytes in(TxBuffer, TxBuffer + (TxBuffer ? TxLength : 0));
  Reply r = stack->Control(slot, Op::Vendor, in, std::uint32_t(RxBuffer ? RxLength : 0), kVendorTimeoutMs, code);
  if (r.kind != Reply::Kind::Ok) return Failure(r, IFD_COMMUNICATION_ERROR);
  if (r.output.size() > RxLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (!r.output.empty()) std::copy(r.output.begin(), r.output.end(), RxBuffer);
  if (pdwBytesReturned) *pdwBytesReturned = DWORD(r.output.size());
  return IFD_SUCCESS;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  int slot = SlotOf(Lun);
  auto stack = StackFor(Lun);
  if (!stack) return IFD_COMMUNICATION_ERROR;
  if (stack->Gone()) return IFD_NO_SUCH_DEVICE;
  Reply r = stack->Control(slot, Op::GetState, {}, 4, kStateTimeoutMs);
  if (r.kind != Reply::Kind::Ok) return Failure(r, IFD_COMMUNICATION_ERROR);
  if (ReadUlong(r.output) >= vx7ifd::kStatePresent) return IFD_ICC_PRESENT;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_slots[slot].atr.clear();
  return IFD_ICC_NOT_PRESENT;
}

}  // extern "C"
