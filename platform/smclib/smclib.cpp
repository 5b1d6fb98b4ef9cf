// The smart card driver library: per-slot records, the remove lock, the
// standard smart card I/O controls and the card capabilities.
#include <algorithm>

#include "internal.h"
#include "vk/atr_analysis.h"

using namespace vk::smclib;

namespace {

constexpr ULONG Tag(const char (&t)[5]) {
  return ULONG(UCHAR(t[0])) | ULONG(UCHAR(t[1])) << 8 | ULONG(UCHAR(t[2])) << 16 | ULONG(UCHAR(t[3])) << 24;
}
constexpr ULONG kTagOsData = Tag("SmcO");
constexpr ULONG kTagBuffer = Tag("SmcB");
constexpr ULONG kTagCommand = Tag("SmcC");

constexpr ULONG kDefaultBufferSize = 1048;
constexpr ULONG kMinBufferSize = 5 + 3 + 254 + 2;  // the reader's header and one T=1 block
constexpr ULONG kMaxBufferSize = 0x10000;
constexpr ULONG kBounceSize = 256;                  // an 8-bit length of answer-to-reset always fits
constexpr ULONG kMaxTransmitInput = kPciLength + 0x10000 + 64;

// Every initialised slot, so that the library's cancel routine finds the
// slot of a parked request. Guarded by the system cancel spin lock.
LIST_ENTRY g_slots = {&g_slots, &g_slots};

PSMARTCARD_EXTENSION SlotOfNotification(PIRP irp) {
  for (PLIST_ENTRY e = g_slots.Flink; e != &g_slots; e = e->Flink) {
    auto* os = reinterpret_cast<PSMARTCARD_OS_DATA>(reinterpret_cast<char*>(e) - offsetof(SMARTCARD_OS_DATA, Link));
    if (os->NotificationIrp == irp) return os->Extension;
  }
  return nullptr;
}

// Cancel routine of a parked IS_PRESENT / IS_ABSENT request until the reader
// driver's card tracking puts its own in place. Entered holding the cancel
// spin lock.
VOID CancelNotification(PDEVICE_OBJECT, PIRP irp) {
  PSMARTCARD_EXTENSION ext = SlotOfNotification(irp);
  bool mine = false;
  if (ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
    if (ext->OsData->NotificationIrp == irp) {
      ext->OsData->NotificationIrp = nullptr;
      mine = true;
    }
    KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (!mine) return;  // completed on another path meanwhile
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Takes the parked request out if it is still `irp` (any parked one when
// `irp` is null), with its cancel routine cleared. Caller completes it.
PIRP TakeNotification(PSMARTCARD_EXTENSION ext, PIRP irp) {
  KIRQL cancelIrql, irql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
  PIRP taken = ext->OsData->NotificationIrp;
  if (taken && (!irp || taken == irp)) {
    ext->OsData->NotificationIrp = nullptr;
    IoSetCancelRoutine(taken, nullptr);
  } else {
    taken = nullptr;
  }
  KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
  return taken;
}

ULONG ReadState(PSMARTCARD_EXTENSION ext) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
  ULONG state = ext->ReaderCapabilities.CurrentState;
  KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
  return state;
}

NTSTATUS CallReader(PSMARTCARD_EXTENSION ext, ULONG function) {
  PRDF_ROUTINE routine = ext->ReaderFunction[function];
  if (!routine) return STATUS_NOT_SUPPORTED;
  NTSTATUS status = routine(ext);
  if (status == STATUS_PENDING) {
    // Only card tracking may leave a request pending.
    DbgPrint("[SmartcardDeviceControl] reader function %lu returned STATUS_PENDING\n", (unsigned long)function);
    status = STATUS_UNSUCCESSFUL;
  }
  return status;
}

// Copies what a reader function left in the bounce buffer to the caller.
NTSTATUS DeliverBounce(PSMARTCARD_EXTENSION ext, PUCHAR out, ULONG outLength, ULONG_PTR* information) {
  ULONG n = std::min(ext->OsData->Information, ext->OsData->BounceSize);
  if (n == 0 || outLength == 0) return STATUS_SUCCESS;
  if (n > outLength) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(out, ext->OsData->Bounce, n);
  *information = n;
  return STATUS_SUCCESS;
}

// ------------------------------------------------------------ attributes
struct AttrOut {
  PUCHAR buffer;
  ULONG length;
  ULONG_PTR* information;
  NTSTATUS Bytes(const void* data, ULONG n) {
    if (n > length) return STATUS_BUFFER_TOO_SMALL;
    if (n) std::memcpy(buffer, data, n);
    *information = n;
    return STATUS_SUCCESS;
  }
  NTSTATUS Ulong(ULONG v) { return Bytes(&v, sizeof v); }
  NTSTATUS Byte(UCHAR v) { return Bytes(&v, 1); }
  NTSTATUS String(const ATTR_STRING& s) {
    ULONG n = std::min<ULONG>(s.Length, MAXIMUM_ATTR_STRING_LENGTH);
    return Bytes(s.Buffer, n);
  }
};

LONG RemoveHolders(PSMARTCARD_EXTENSION ext) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->OsData->RemoveLock, &irql);
  LONG n = ext->OsData->RemoveCount;
  KeReleaseSpinLock(&ext->OsData->RemoveLock, irql);
  return n;
}

NTSTATUS GetAttribute(PSMARTCARD_EXTENSION ext, ULONG id, AttrOut out) {
  const auto& rc = ext->ReaderCapabilities;
  const auto& cc = ext->CardCapabilities;
  const ULONG state = ReadState(ext);
  switch (id) {
    case SCARD_ATTR_VENDOR_NAME: return out.String(ext->VendorAttr.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE: return out.String(ext->VendorAttr.IfdType);
    case SCARD_ATTR_VENDOR_IFD_VERSION: return out.Ulong(ext->VendorAttr.IfdVersion.Value);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      if (ext->VendorAttr.IfdSerialNo.Length == 0) return STATUS_NOT_SUPPORTED;
      return out.String(ext->VendorAttr.IfdSerialNo);
    case SCARD_ATTR_DEVICE_UNIT: return out.Ulong(ext->VendorAttr.UnitNo);
    case SCARD_ATTR_CHANNEL_ID: return out.Ulong((rc.ReaderType & 0xFFFF) << 16 | (rc.Channel & 0xFFFF));
    case SCARD_ATTR_PROTOCOL_TYPES: return out.Ulong(rc.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK: return out.Ulong(rc.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK: return out.Ulong(rc.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE: return out.Ulong(rc.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE: return out.Ulong(rc.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD: return out.Ulong(rc.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT: return out.Ulong(rc.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS: return out.Ulong(rc.MechProperties);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE: return out.Ulong(cc.Protocol.Selected);
    case SCARD_ATTR_CURRENT_CLK:
      return out.Ulong(state >= SCARD_NEGOTIABLE && cc.PtsData.CLKFrequency ? cc.PtsData.CLKFrequency
                                                                            : rc.CLKFrequency.Default);
    case SCARD_ATTR_CURRENT_F: return out.Ulong(FValue(cc.Fl));
    case SCARD_ATTR_CURRENT_D: return out.Ulong(DValue(cc.Dl));
    case SCARD_ATTR_CURRENT_N: return out.Ulong(cc.N);
    case SCARD_ATTR_CURRENT_W: return out.Ulong(cc.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC: return out.Ulong(ext->T1.IFSC ? ext->T1.IFSC : cc.T1.IFSC);
    case SCARD_ATTR_CURRENT_IFSD: return out.Ulong(ext->T1.IFSD ? ext->T1.IFSD : 32);
    case SCARD_ATTR_CURRENT_BWT: return out.Ulong(cc.T1.BWT);
    case SCARD_ATTR_CURRENT_CWT: return out.Ulong(cc.T1.CWT);
    case SCARD_ATTR_CURRENT_EBC_ENCODING: return out.Ulong(cc.T1.EDC);
    case SCARD_ATTR_ATR_STRING:
      if (state <= SCARD_SWALLOWED || cc.ATR.Length == 0) return STATUS_NO_MEDIA;
      return out.Bytes(cc.ATR.Buffer, std::min<ULONG>(cc.ATR.Length, MAXIMUM_ATR_LENGTH));
    case SCARD_ATTR_ICC_TYPE_PER_ATR:
      if (state <= SCARD_SWALLOWED || cc.ATR.Length == 0) return STATUS_NO_MEDIA;
      return out.Byte(1);  // ISO/IEC 7816 asynchronous card
    case SCARD_ATTR_ICC_PRESENCE:  // 0 absent, 1 present, 2 present and swallowed
      return out.Byte(state <= SCARD_ABSENT ? 0 : state == SCARD_PRESENT ? 1 : 2);
    case SCARD_ATTR_ICC_INTERFACE_STATUS:  // contacts active
      return out.Byte(state >= SCARD_POWERED ? 1 : 0);
    case SCARD_ATTR_CURRENT_IO_STATE:  // no exchange runs while a request holds the slot
      return out.Byte(0);
    case SCARD_ATTR_DEVICE_IN_USE:  // an open handle besides the request itself
      return out.Ulong(RemoveHolders(ext) > 1 ? 1 : 0);
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// ------------------------------------------------------------ requests
NTSTATUS Power(PSMARTCARD_EXTENSION ext, PUCHAR buffer, ULONG inLength, ULONG outLength, ULONG_PTR* information) {
  if (inLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  ULONG action;
  std::memcpy(&action, buffer, sizeof action);
  if (action != SCARD_POWER_DOWN && action != SCARD_COLD_RESET && action != SCARD_WARM_RESET)
    return STATUS_INVALID_PARAMETER;
  if (ReadState(ext) == SCARD_ABSENT) return STATUS_NO_MEDIA;
  ext->MinorIoControlCode = action;
  ext->IoRequest.ReplyBuffer = ext->OsData->Bounce;
  ext->IoRequest.ReplyBufferLength = ext->OsData->BounceSize;
  NTSTATUS status = CallReader(ext, RDF_CARD_POWER);
  if (!NT_SUCCESS(status) || action == SCARD_POWER_DOWN) return status;
  NTSTATUS copied = DeliverBounce(ext, buffer, outLength, information);
  return NT_SUCCESS(copied) ? status : copied;
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION ext, PUCHAR buffer, ULONG inLength, ULONG outLength,
                     ULONG_PTR* information) {
  if (inLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  if (outLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  ULONG mask;
  std::memcpy(&mask, buffer, sizeof mask);
  mask &= ~ULONG(SCARD_PROTOCOL_DEFAULT);
  const ULONG state = ReadState(ext);
  if (state == SCARD_ABSENT) return STATUS_NO_MEDIA;
  if (state < SCARD_NEGOTIABLE) return STATUS_INVALID_DEVICE_STATE;
  if (mask == SCARD_PROTOCOL_OPTIMAL) mask = ext->CardCapabilities.Protocol.Supported;
  if ((mask & ext->ReaderCapabilities.SupportedProtocols) == 0) return STATUS_INVALID_DEVICE_STATE;
  ext->MinorIoControlCode = mask;
  ext->IoRequest.ReplyBuffer = ext->OsData->Bounce;
  ext->IoRequest.ReplyBufferLength = ext->OsData->BounceSize;
  NTSTATUS status = CallReader(ext, RDF_SET_PROTOCOL);
  if (!NT_SUCCESS(status)) return status;
  if (ext->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T1) {
    // A newly selected T=1 starts from the beginning: IFS request, N(S) = 0.
    ext->T1.State = T1_INIT;
    ext->T1.SSN = ext->T1.RSN = 0;
  }
  NTSTATUS copied = DeliverBounce(ext, buffer, outLength, information);
  return NT_SUCCESS(copied) ? status : copied;
}

NTSTATUS Transmit(PSMARTCARD_EXTENSION ext, PUCHAR buffer, ULONG inLength, ULONG outLength) {
  if (inLength < kPciLength) return STATUS_INVALID_PARAMETER;
  if (inLength > kMaxTransmitInput) return STATUS_INVALID_BUFFER_SIZE;
  SCARD_IO_REQUEST header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.cbPciLength < kPciLength || header.cbPciLength > inLength) return STATUS_INVALID_PARAMETER;
  if (ReadState(ext) == SCARD_ABSENT) return STATUS_NO_MEDIA;
  const ULONG selected = ext->CardCapabilities.Protocol.Selected;
  if (selected == SCARD_PROTOCOL_UNDEFINED || header.dwProtocol != selected) return STATUS_INVALID_DEVICE_STATE;
  if (outLength < kPciLength) return STATUS_BUFFER_TOO_SMALL;

  // The command is kept apart from the system buffer, which the response
  // overwrites while a T=1 exchange may still need to send the command again.
  auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, inLength, kTagCommand));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(copy, buffer, inLength);
  ext->IoRequest.RequestBuffer = copy;
  ext->IoRequest.RequestBufferLength = inLength;
  if (selected == SCARD_PROTOCOL_T1 && ext->T1.State != T1_INIT && ext->T1.State != T1_START)
    ext->T1.State = T1_RESTART;  // an earlier exchange broke off: the card's sequence is unknown
  NTSTATUS status = CallReader(ext, RDF_TRANSMIT);
  ExFreePoolWithTag(copy, kTagCommand);
  ext->IoRequest.RequestBuffer = buffer;
  return status;
}

// IS_PRESENT / IS_ABSENT: answered at once when the state says so, otherwise
// parked for card tracking. Returns STATUS_PENDING when the request is parked
// (and then no longer ours to complete).
NTSTATUS WaitForCard(PSMARTCARD_EXTENSION ext, PIRP irp, bool present) {
  if (!ext->ReaderFunction[RDF_CARD_TRACKING]) return STATUS_NOT_SUPPORTED;
  KIRQL cancelIrql, irql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
  const ULONG state = ext->ReaderCapabilities.CurrentState;
  NTSTATUS status;
  if (present ? state > SCARD_ABSENT : state == SCARD_ABSENT) {
    status = STATUS_SUCCESS;
  } else if (ext->OsData->NotificationIrp) {
    status = STATUS_DEVICE_BUSY;
  } else if (irp->Cancel) {
    status = STATUS_CANCELLED;
  } else {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_PENDING;
    ext->OsData->NotificationIrp = irp;
    IoSetCancelRoutine(irp, CancelNotification);
    status = STATUS_PENDING;
  }
  KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
  if (status != STATUS_PENDING) return status;

  NTSTATUS tracking = ext->ReaderFunction[RDF_CARD_TRACKING](ext);
  if (tracking != STATUS_PENDING) {
    // The reader does not track: complete the request here if it is still parked.
    PIRP taken = TakeNotification(ext, irp);
    if (taken) {
      taken->IoStatus.Status = tracking;
      taken->IoStatus.Information = 0;
      IoCompleteRequest(taken, IO_NO_INCREMENT);
    }
  }
  return STATUS_PENDING;
}

}  // namespace

// ------------------------------------------------------------ records
extern "C" NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  if (ext->Version < SMCLIB_VERSION) {
    DbgPrint("[SmartcardInitialize] version %lX is older than %X\n", (unsigned long)ext->Version, SMCLIB_VERSION);
    return STATUS_REVISION_MISMATCH;
  }
  if (ext->OsData) return STATUS_INVALID_DEVICE_STATE;  // already initialised
  ULONG requestSize = ext->SmartcardRequest.BufferSize ? ext->SmartcardRequest.BufferSize : kDefaultBufferSize;
  ULONG replySize = ext->SmartcardReply.BufferSize ? ext->SmartcardReply.BufferSize : kDefaultBufferSize;
  if (requestSize < kMinBufferSize || replySize < kMinBufferSize || requestSize > kMaxBufferSize ||
      replySize > kMaxBufferSize)
    return STATUS_INVALID_PARAMETER;

  auto* os = static_cast<PSMARTCARD_OS_DATA>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SMARTCARD_OS_DATA), kTagOsData));
  auto* request = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, requestSize, kTagBuffer));
  auto* reply = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, replySize, kTagBuffer));
  auto* bounce = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kBounceSize, kTagBuffer));
  if (!os || !request || !reply || !bounce) {
    if (os) ExFreePoolWithTag(os, kTagOsData);
    if (request) ExFreePoolWithTag(request, kTagBuffer);
    if (reply) ExFreePoolWithTag(reply, kTagBuffer);
    if (bounce) ExFreePoolWithTag(bounce, kTagBuffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(os, 0, sizeof *os);
  std::memset(request, 0, requestSize);
  std::memset(reply, 0, replySize);
  std::memset(bounce, 0, kBounceSize);
  KeInitializeSpinLock(&os->SpinLock);
  KeInitializeSpinLock(&os->RemoveLock);
  KeInitializeEvent(&os->CallLock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&os->RemoveEvent, NotificationEvent, FALSE);
  os->Bounce = bounce;
  os->BounceSize = kBounceSize;
  os->Extension = ext;
  os->ReplyStart = reply;
  os->ReplyAllocated = replySize;

  ext->SmartcardRequest.Buffer = request;
  ext->SmartcardRequest.BufferSize = requestSize;
  ext->SmartcardRequest.BufferLength = 0;
  ext->SmartcardReply.Buffer = reply;
  ext->SmartcardReply.BufferSize = replySize;
  ext->SmartcardReply.BufferLength = 0;
  std::memset(&ext->T1, 0, sizeof ext->T1);
  ext->T1.State = T1_INIT;
  ext->OsData = os;

  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  os->Link.Flink = g_slots.Flink;
  os->Link.Blink = &g_slots;
  g_slots.Flink->Blink = &os->Link;
  g_slots.Flink = &os->Link;
  IoReleaseCancelSpinLock(irql);
  return STATUS_SUCCESS;
}

extern "C" VOID SmartcardExit(PSMARTCARD_EXTENSION ext) {
  if (!ext || !ext->OsData) return;
  PSMARTCARD_OS_DATA os = ext->OsData;
  if (PIRP parked = TakeNotification(ext, nullptr)) {
    parked->IoStatus.Status = STATUS_CANCELLED;
    parked->IoStatus.Information = 0;
    IoCompleteRequest(parked, IO_NO_INCREMENT);
  }
  if (os->RemoveCount != 0)
    DbgPrint("[SmartcardExit] %ld remove lock acquisitions were never released\n", (long)os->RemoveCount);

  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  os->Link.Blink->Flink = os->Link.Flink;
  os->Link.Flink->Blink = os->Link.Blink;
  IoReleaseCancelSpinLock(irql);

  if (ext->SmartcardRequest.Buffer) ExFreePoolWithTag(ext->SmartcardRequest.Buffer, kTagBuffer);
  if (ext->SmartcardReply.Buffer) ExFreePoolWithTag(ext->SmartcardReply.Buffer, kTagBuffer);
  ExFreePoolWithTag(os->Bounce, kTagBuffer);
  ExFreePoolWithTag(os, kTagOsData);
  ext->SmartcardRequest.Buffer = nullptr;
  ext->SmartcardRequest.BufferLength = 0;
  ext->SmartcardReply.Buffer = nullptr;
  ext->SmartcardReply.BufferLength = 0;
  ext->OsData = nullptr;
}

// ------------------------------------------------------------ remove lock
extern "C" NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION ext) {
  if (!ext || !ext->OsData) return STATUS_DEVICE_REMOVED;
  PSMARTCARD_OS_DATA os = ext->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->RemoveLock, &irql);
  NTSTATUS status = STATUS_SUCCESS;
  if (os->Removing) status = STATUS_DELETE_PENDING;
  else ++os->RemoveCount;
  KeReleaseSpinLock(&os->RemoveLock, irql);
  return status;
}

extern "C" VOID SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION ext) {
  if (!ext || !ext->OsData) return;
  PSMARTCARD_OS_DATA os = ext->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->RemoveLock, &irql);
  bool unbalanced = os->RemoveCount == 0;
  bool last = false;
  if (!unbalanced) last = --os->RemoveCount == 0 && os->Removing;
  KeReleaseSpinLock(&os->RemoveLock, irql);
  if (unbalanced) DbgPrint("[SmartcardReleaseRemoveLock] released without an acquisition\n");
  if (last) KeSetEvent(&os->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

// The caller's own acquisition (if it holds one) is released; later
// acquisitions fail; returns when every other holder has released.
extern "C" VOID SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION ext) {
  if (!ext || !ext->OsData) return;
  PSMARTCARD_OS_DATA os = ext->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->RemoveLock, &irql);
  os->Removing = TRUE;
  if (os->RemoveCount > 0) --os->RemoveCount;
  bool wait = os->RemoveCount > 0;
  KeReleaseSpinLock(&os->RemoveLock, irql);
  if (wait) KeWaitForSingleObject(&os->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

// ------------------------------------------------------------ card capabilities
extern "C" NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION ext) {
  if (!ext) return STATUS_INVALID_PARAMETER;
  SCARD_CARD_CAPABILITIES& cc = ext->CardCapabilities;
  const auto& rc = ext->ReaderCapabilities;
  AtrReader reader;
  reader.clockKhz = rc.CLKFrequency.Default;
  reader.maxClockKhz = rc.CLKFrequency.Max;
  reader.maxDataRate = rc.DataRate.Max;
  if (rc.DataRatesSupported.List && rc.DataRatesSupported.Entries)
    reader.dataRates = std::span<const std::uint32_t>(rc.DataRatesSupported.List, rc.DataRatesSupported.Entries);
  const ULONG atrLength = std::min<ULONG>(cc.ATR.Length, MAXIMUM_ATR_LENGTH);
  AtrAnalysis a = AnalyzeAtr(std::span<const std::uint8_t>(cc.ATR.Buffer, atrLength), reader);

  // Everything but the answer-to-reset and the protocol in force is derived anew.
  const ULONG selected = cc.Protocol.Selected;
  UCHAR atr[MAXIMUM_ATR_LENGTH];
  std::memcpy(atr, cc.ATR.Buffer, sizeof atr);
  const UCHAR length = cc.ATR.Length;
  std::memset(&cc, 0, sizeof cc);
  std::memcpy(cc.ATR.Buffer, atr, sizeof atr);
  cc.ATR.Length = length;
  cc.Protocol.Selected = selected;
  std::memset(&ext->T1, 0, sizeof ext->T1);
  ext->T1.State = T1_INIT;
  if (!a.valid) {
    DbgPrint("[SmartcardUpdateCardCapabilities] answer-to-reset refused: %s\n", a.error);
    return STATUS_UNRECOGNIZED_MEDIA;
  }

  cc.InversConvention = a.inverse;
  cc.HistoricalChars.Length = a.historicalLength;
  std::memcpy(cc.HistoricalChars.Buffer, a.historical, a.historicalLength);
  cc.AtrFi = a.fi;
  cc.AtrDi = a.di;
  cc.AtrFmax = a.fmaxKhz;
  // In force until a PTS: the default, or TA1 in the specific mode.
  cc.Fl = a.specific ? a.ptsFl : 1;
  cc.Dl = a.specific ? a.ptsDl : 1;
  cc.II = a.ii;
  cc.P = a.pi1;
  cc.N = a.n;
  cc.GT = a.gtUs;
  cc.etu = a.etuUs;
  cc.Protocol.Supported = a.protocols;
  cc.T0.WI = a.wi;
  cc.T0.WT = a.wtUs;
  cc.T1.IFSC = a.ifsc;
  cc.T1.CWI = a.cwi;
  cc.T1.BWI = a.bwi;
  cc.T1.EDC = a.edc;
  cc.T1.CWT = a.cwtUs;
  cc.T1.BWT = a.bwtUs;
  cc.T1.BGT = 22 * a.etuUs;  // block guard time: 22 etu
  cc.PtsData.Type = PTS_TYPE_OPTIMAL;
  cc.PtsData.Fl = a.ptsFl;
  cc.PtsData.Dl = a.ptsDl;
  cc.PtsData.CLKFrequency = a.clockKhz;
  cc.PtsData.DataRate = a.ptsRate;
  cc.SpecificMode = a.specific;
  cc.SpecificProtocol = a.specificProtocol;
  ext->T1.IFSC = a.ifsc;
  ext->T1.IFSD = 32;

  if (ext->OsData) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
    ext->ReaderCapabilities.CurrentState = a.state;
    KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
  } else {
    ext->ReaderCapabilities.CurrentState = a.state;
  }
  return STATUS_SUCCESS;
}

// ------------------------------------------------------------ device control
extern "C" NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION ext, PIRP irp) {
  if (!ext || !irp) return STATUS_INVALID_PARAMETER;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Information = 0;

  NTSTATUS status;
  if (!ext->OsData) {
    status = STATUS_DEVICE_REMOVED;
  } else if ((inLength || outLength) && !buffer) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    PSMARTCARD_OS_DATA os = ext->OsData;
    KeWaitForSingleObject(&os->CallLock, Executive, KernelMode, FALSE, nullptr);
    os->CurrentIrp = irp;
    os->Information = 0;
    ext->MajorIoControlCode = code;
    ext->MinorIoControlCode = 0;
    ext->IoRequest.RequestBuffer = buffer;
    ext->IoRequest.RequestBufferLength = inLength;
    ext->IoRequest.ReplyBuffer = buffer;
    ext->IoRequest.ReplyBufferLength = outLength;
    ext->IoRequest.Information = &os->Information;
    ext->SmartcardRequest.BufferLength = 0;
    ext->SmartcardReply.BufferLength = 0;
    ULONG_PTR information = 0;
    bool fromReader = false;  // the count comes from IoRequest.Information

    switch (code) {
      case IOCTL_SMARTCARD_POWER:
        status = Power(ext, buffer, inLength, outLength, &information);
        break;
      case IOCTL_SMARTCARD_SET_PROTOCOL:
        status = SetProtocol(ext, buffer, inLength, outLength, &information);
        break;
      case IOCTL_SMARTCARD_TRANSMIT:
        status = Transmit(ext, buffer, inLength, outLength);
        fromReader = true;
        break;
      case IOCTL_SMARTCARD_GET_ATTRIBUTE: {
        if (inLength < sizeof(ULONG)) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        ULONG id;
        std::memcpy(&id, buffer, sizeof id);
        if ((id >> 16) == SCARD_CLASS_VENDOR_DEFINED && ext->ReaderFunction[RDF_IOCTL_VENDOR]) {
          status = CallReader(ext, RDF_IOCTL_VENDOR);
          fromReader = true;
        } else {
          status = GetAttribute(ext, id, AttrOut{buffer, outLength, &information});
        }
        break;
      }
      case IOCTL_SMARTCARD_SET_ATTRIBUTE: {
        if (inLength < sizeof(ULONG)) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        ULONG id;
        std::memcpy(&id, buffer, sizeof id);
        // Only the reader's own attributes can be written.
        if ((id >> 16) == SCARD_CLASS_VENDOR_DEFINED && ext->ReaderFunction[RDF_IOCTL_VENDOR]) {
          status = CallReader(ext, RDF_IOCTL_VENDOR);
          fromReader = true;
        } else {
          status = STATUS_NOT_SUPPORTED;
        }
        break;
      }
      case IOCTL_SMARTCARD_CONFISCATE:
        status = CallReader(ext, RDF_CARD_CONFISCATE);
        break;
      case IOCTL_SMARTCARD_EJECT:
        status = CallReader(ext, RDF_CARD_EJECT);
        break;
      case IOCTL_SMARTCARD_SWALLOW:
        status = CallReader(ext, RDF_READER_SWALLOW);
        break;
      case IOCTL_SMARTCARD_GET_STATE:
        if (outLength < sizeof(ULONG)) {
          status = STATUS_BUFFER_TOO_SMALL;
          break;
        }
        status = AttrOut{buffer, outLength, &information}.Ulong(ReadState(ext));
        break;
      case IOCTL_SMARTCARD_GET_LAST_ERROR:
        if (outLength < sizeof(ULONG)) {
          status = STATUS_BUFFER_TOO_SMALL;
          break;
        }
        status = AttrOut{buffer, outLength, &information}.Ulong(ext->LastError);
        ext->LastError = 0;
        break;
      case IOCTL_SMARTCARD_IS_PRESENT:
      case IOCTL_SMARTCARD_IS_ABSENT:
        status = WaitForCard(ext, irp, code == IOCTL_SMARTCARD_IS_PRESENT);
        break;
      default:
        status = ext->ReaderFunction[RDF_IOCTL_VENDOR] ? CallReader(ext, RDF_IOCTL_VENDOR)
                                                       : STATUS_INVALID_DEVICE_REQUEST;
        fromReader = true;
        break;
    }

    if (fromReader) information = os->Information;
    if (information > outLength) information = outLength;
    if (!NT_SUCCESS(status) && code != IOCTL_SMARTCARD_GET_LAST_ERROR && status != STATUS_PENDING)
      ext->LastError = static_cast<ULONG>(status);
    os->CurrentIrp = nullptr;
    ext->IoRequest.RequestBuffer = nullptr;
    ext->IoRequest.ReplyBuffer = nullptr;
    ext->IoRequest.RequestBufferLength = 0;
    ext->IoRequest.ReplyBufferLength = 0;
    KeSetEvent(&os->CallLock, IO_NO_INCREMENT, FALSE);
    if (status == STATUS_PENDING) return STATUS_PENDING;  // parked: card tracking completes it
    irp->IoStatus.Information = (status & 0xC0000000u) == 0xC0000000u ? 0 : information;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
