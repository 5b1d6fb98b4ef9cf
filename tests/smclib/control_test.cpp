// SmartcardDeviceControl as the reader driver uses it: a device whose device
// controls go to the library on one slot record, with a small reader-function
// table of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "slot.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// What the fake reader functions do; reached through a global because reader
// functions are plain function pointers.
struct Fake {
  std::function<NTSTATUS(PSMARTCARD_EXTENSION)> power, transmit, tracking, protocol, vendor;
  int calls = 0;
  int inside = 0, maxInside = 0;
};
Fake* g_fake = nullptr;

NTSTATUS Call(std::function<NTSTATUS(PSMARTCARD_EXTENSION)>& fn, PSMARTCARD_EXTENSION ext) {
  ++g_fake->calls;
  g_fake->maxInside = std::max(g_fake->maxInside, ++g_fake->inside);
  NTSTATUS s = fn ? fn(ext) : STATUS_NOT_SUPPORTED;
  --g_fake->inside;
  return s;
}
NTSTATUS FakePower(PSMARTCARD_EXTENSION e) { return Call(g_fake->power, e); }
NTSTATUS FakeTransmit(PSMARTCARD_EXTENSION e) { return Call(g_fake->transmit, e); }
NTSTATUS FakeTracking(PSMARTCARD_EXTENSION e) { return Call(g_fake->tracking, e); }
NTSTATUS FakeProtocol(PSMARTCARD_EXTENSION e) { return Call(g_fake->protocol, e); }
NTSTATUS FakeVendor(PSMARTCARD_EXTENSION e) { return Call(g_fake->vendor, e); }

// Completes the parked request the way the reader driver's card tracking does.
void CompleteTracking(PSMARTCARD_EXTENSION ext) {
  KIRQL cancelIrql, irql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
  PIRP irp = ext->OsData->NotificationIrp;
  ext->OsData->NotificationIrp = nullptr;
  KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
  if (irp) IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(cancelIrql);
  if (!irp) return;
  irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

PSMARTCARD_EXTENSION g_slotExt = nullptr;
VOID DriverCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteTracking(g_slotExt);
}

// The reader driver's tracking function: installs its own cancel routine.
NTSTATUS DriverLikeTracking(PSMARTCARD_EXTENSION ext) {
  KIRQL cancelIrql, irql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
  if (ext->OsData->NotificationIrp) IoSetCancelRoutine(ext->OsData->NotificationIrp, DriverCancel);
  KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
  return STATUS_PENDING;
}

class ControlTest : public vkt::SystemTest {
 protected:
  void SetUp() override {
    vkt::SystemTest::SetUp();
    g_fake = &fake;
    g_slotExt = &slot.ext;
    driver = std::make_unique<vkt::TestDriver>(sys());
    driver->dispatch = [this](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL)
        return SmartcardDeviceControl(&slot.ext, irp);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    };
    sys().Run([&] {
      device = driver->CreateDevice();
      ASSERT_EQ(slot.Init(device), STATUS_SUCCESS);
      auto& e = slot.ext;
      e.ReaderFunction[RDF_CARD_POWER] = FakePower;
      e.ReaderFunction[RDF_TRANSMIT] = FakeTransmit;
      e.ReaderFunction[RDF_CARD_TRACKING] = FakeTracking;
      e.ReaderFunction[RDF_SET_PROTOCOL] = FakeProtocol;
      e.ReaderFunction[RDF_IOCTL_VENDOR] = FakeVendor;
      std::memcpy(e.VendorAttr.VendorName.Buffer, "MORVANE", 8);
      e.VendorAttr.VendorName.Length = 7;
      std::memcpy(e.VendorAttr.IfdType.Buffer, "VX710RD", 8);
      e.VendorAttr.IfdType.Length = 7;
      e.VendorAttr.UnitNo = 2;
      e.ReaderCapabilities.Channel = 3;
      ASSERT_EQ(sys().Open(device, &file), STATUS_SUCCESS);
    });
  }
  void TearDown() override {
    sys().Run([&] {
      if (file) sys().Close(file);
      slot.Exit();
      if (device) IoDeleteDevice(device);
    });
    g_fake = nullptr;
    vkt::SystemTest::TearDown();
  }

  std::shared_ptr<vk::UserRequest> Control(ULONG code, const Bytes& in, ULONG outLength) {
    return sys().IoControl(file, code, in.data(), ULONG(in.size()), outLength);
  }
  static Bytes Ulong(ULONG v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  }
  static ULONG AsUlong(const Bytes& b) {
    ULONG v = 0;
    if (b.size() >= 4) std::memcpy(&v, b.data(), 4);
    return v;
  }
  void SetState(ULONG state) { slot.ext.ReaderCapabilities.CurrentState = state; }

  Fake fake;
  smct::Slot slot;
  std::unique_ptr<vkt::TestDriver> driver;
  PDEVICE_OBJECT device = nullptr;
  PFILE_OBJECT file = nullptr;
};

// ---------------------------------------------------------------- attributes
TEST_F(ControlTest, VendorStringsReadBack) {
  auto name = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 32);
  EXPECT_EQ(name->status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(name->output.begin(), name->output.end()), "MORVANE");
  auto type = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_IFD_TYPE), 32);
  EXPECT_EQ(std::string(type->output.begin(), type->output.end()), "VX710RD");
  // Too small for the string, a missing attribute identifier, an unknown attribute.
  EXPECT_EQ(Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 6)->status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Bytes{1, 1}, 32)->status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(0x00050123), 32)->status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_SET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 0)->status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(fake.calls, 0);
}

TEST_F(ControlTest, NumericAttributes) {
  SetState(SCARD_SWALLOWED);
  struct Case {
    ULONG id;
    ULONG value;
  } cases[] = {
      {SCARD_ATTR_DEVICE_UNIT, 2},
      {SCARD_ATTR_CHANNEL_ID, 0x00010003},
      {SCARD_ATTR_PROTOCOL_TYPES, 0x13},
      {SCARD_ATTR_DEFAULT_CLK, 3571},
      {SCARD_ATTR_MAX_CLK, 3571},
      {SCARD_ATTR_DEFAULT_DATA_RATE, 9600},
      {SCARD_ATTR_MAX_DATA_RATE, 9600},
      {SCARD_ATTR_MAX_IFSD, 240},
      {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, SCARD_PROTOCOL_UNDEFINED},
      {SCARD_ATTR_DEVICE_IN_USE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    auto r = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(c.id), 4);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->information, 4u);
    EXPECT_EQ(AsUlong(r->output), c.value);
  }
  auto presence = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ICC_PRESENCE), 4);
  EXPECT_EQ(presence->output, Bytes{2});
  // No answer-to-reset yet: no ATR string.
  EXPECT_EQ(Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), 64)->status, STATUS_NO_MEDIA);
}

// ---------------------------------------------------------------- power
TEST_F(ControlTest, PowerHandsTheAnswerToResetToTheCaller) {
  const Bytes atr = {0x3B, 0x02, 0x14, 0x50};
  fake.power = [&](PSMARTCARD_EXTENSION e) {
    EXPECT_EQ(e->MinorIoControlCode, ULONG(SCARD_COLD_RESET));
    slot.SetAtr(atr);
    std::memcpy(e->IoRequest.ReplyBuffer, atr.data(), atr.size());
    *e->IoRequest.Information = ULONG(atr.size());
    return SmartcardUpdateCardCapabilities(e);
  };
  // No card: nothing reaches the reader.
  SetState(SCARD_ABSENT);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64)->status, STATUS_NO_MEDIA);
  EXPECT_EQ(fake.calls, 0);
  SetState(SCARD_SWALLOWED);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_POWER, Ulong(7), 64)->status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_POWER, Bytes{1}, 64)->status, STATUS_INVALID_PARAMETER);
  auto r = Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(r->output, atr);
  EXPECT_EQ(slot.ext.ReaderCapabilities.CurrentState, ULONG(SCARD_NEGOTIABLE));
  auto atrString = Control(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_ATR_STRING), 64);
  EXPECT_EQ(atrString->output, atr);
  // A caller buffer shorter than the answer.
  EXPECT_EQ(Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 3)->status, STATUS_BUFFER_TOO_SMALL);
  // The reader's failure comes back unchanged and is the last error.
  fake.power = [](PSMARTCARD_EXTENSION) { return STATUS_DEVICE_DATA_ERROR; };
  EXPECT_EQ(Control(IOCTL_SMARTCARD_POWER, Ulong(SCARD_WARM_RESET), 64)->status, STATUS_DEVICE_DATA_ERROR);
  auto last = Control(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4);
  EXPECT_EQ(AsUlong(last->output), ULONG(STATUS_DEVICE_DATA_ERROR));
  auto state = Control(IOCTL_SMARTCARD_GET_STATE, {}, 4);
  EXPECT_EQ(AsUlong(state->output), ULONG(SCARD_NEGOTIABLE));
  EXPECT_EQ(Control(IOCTL_SMARTCARD_GET_STATE, {}, 2)->status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlTest, SetProtocolChecksStateAndBuffers) {
  fake.protocol = [](PSMARTCARD_EXTENSION e) {
    e->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ULONG p = SCARD_PROTOCOL_T1;
    std::memcpy(e->IoRequest.ReplyBuffer, &p, 4);
    *e->IoRequest.Information = 4;
    return STATUS_SUCCESS;
  };
  SetState(SCARD_SWALLOWED);  // not powered
  EXPECT_EQ(Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4)->status, STATUS_INVALID_DEVICE_STATE);
  SetState(SCARD_NEGOTIABLE);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 2)->status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(0x100), 4)->status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(fake.calls, 0);
  auto r = Control(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(AsUlong(r->output), ULONG(SCARD_PROTOCOL_T1));
}

// ---------------------------------------------------------------- transmit
TEST_F(ControlTest, TransmitChecksAndRoundTrip) {
  fake.transmit = [](PSMARTCARD_EXTENSION e) {
    e->SmartcardRequest.BufferLength = 5;
    NTSTATUS s = SmartcardT0Request(e);
    if (s != STATUS_SUCCESS) return s;
    const Bytes answer = {0x12, 0x34, 0x90, 0x00};
    std::memcpy(e->SmartcardReply.Buffer, answer.data(), answer.size());
    e->SmartcardReply.BufferLength = ULONG(answer.size());
    return SmartcardT0Reply(e);
  };
  auto command = [](ULONG protocol, ULONG pci, Bytes apdu) {
    Bytes b(8);
    SCARD_IO_REQUEST h = {protocol, pci};
    std::memcpy(b.data(), &h, 8);
    b.insert(b.end(), apdu.begin(), apdu.end());
    return b;
  };
  const Bytes read2 = command(SCARD_PROTOCOL_T0, 8, {0x00, 0xB0, 0x00, 0x00, 0x02});
  SetState(SCARD_SPECIFIC);
  // No protocol selected yet.
  EXPECT_EQ(Control(IOCTL_SMARTCARD_TRANSMIT, read2, 64)->status, STATUS_INVALID_DEVICE_STATE);
  slot.ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
  struct Case {
    const char* name;
    Bytes in;
    ULONG out;
    NTSTATUS status;
  } cases[] = {
      {"ProtocolMismatch", command(SCARD_PROTOCOL_T1, 8, {0x00, 0xB0, 0x00, 0x00, 0x02}), 64,
       STATUS_INVALID_DEVICE_STATE},
      {"InputShorterThanHeader", Bytes{1, 0, 0, 0}, 64, STATUS_INVALID_PARAMETER},
      {"PciBeyondInput", command(SCARD_PROTOCOL_T0, 100, {0x00, 0xB0, 0x00, 0x00, 0x02}), 64,
       STATUS_INVALID_PARAMETER},
      {"OutputShorterThanHeader", read2, 7, STATUS_BUFFER_TOO_SMALL},
      {"OutputShorterThanAnswer", read2, 11, STATUS_BUFFER_TOO_SMALL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Control(IOCTL_SMARTCARD_TRANSMIT, c.in, c.out);
    EXPECT_EQ(r->status, c.status);
    EXPECT_EQ(r->information, 0u);
  }
  auto r = Control(IOCTL_SMARTCARD_TRANSMIT, read2, 64);
  ASSERT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(r->output, command(SCARD_PROTOCOL_T0, 8, {0x12, 0x34, 0x90, 0x00}));
  // A card pulled out: no media.
  SetState(SCARD_ABSENT);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_TRANSMIT, read2, 64)->status, STATUS_NO_MEDIA);
}

TEST_F(ControlTest, OneCallAtATimePerSlot) {
  SetState(SCARD_SPECIFIC);
  slot.ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
  fake.transmit = [](PSMARTCARD_EXTENSION e) {
    LARGE_INTEGER wait;
    wait.QuadPart = -10 * 1000 * 10;  // 10 ms of virtual time
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    *e->IoRequest.Information = 8;
    return STATUS_SUCCESS;
  };
  Bytes in(8);
  SCARD_IO_REQUEST h = {SCARD_PROTOCOL_RAW, 8};
  std::memcpy(in.data(), &h, 8);
  std::vector<std::shared_ptr<vk::UserRequest>> requests;
  for (int i = 0; i < 3; ++i) requests.push_back(sys().StartIoControl(file, IOCTL_SMARTCARD_TRANSMIT, in.data(), 8, 8));
  for (auto& r : requests) {
    sys().Wait(r);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
  }
  EXPECT_EQ(fake.calls, 3);
  EXPECT_EQ(fake.maxInside, 1);
}

TEST_F(ControlTest, UnknownCodesGoToTheVendorFunction) {
  const ULONG code = CTL_CODE(FILE_DEVICE_SMARTCARD, 2049, METHOD_BUFFERED, FILE_ANY_ACCESS);
  fake.vendor = [&](PSMARTCARD_EXTENSION e) {
    EXPECT_EQ(e->MajorIoControlCode, code);
    EXPECT_EQ(e->IoRequest.RequestBufferLength, 3u);
    e->IoRequest.ReplyBuffer[0] = 0x77;
    *e->IoRequest.Information = 1;
    return STATUS_SUCCESS;
  };
  auto r = Control(code, Bytes{1, 2, 3}, 4);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(r->output, Bytes{0x77});
  slot.ext.ReaderFunction[RDF_IOCTL_VENDOR] = nullptr;
  EXPECT_EQ(Control(code, Bytes{1, 2, 3}, 4)->status, STATUS_INVALID_DEVICE_REQUEST);
  // Eject, swallow and confiscate have no reader function here.
  EXPECT_EQ(Control(IOCTL_SMARTCARD_EJECT, {}, 0)->status, STATUS_NOT_SUPPORTED);
}

// ---------------------------------------------------------------- card tracking
TEST_F(ControlTest, PresenceAnsweredAtOnceWhenTheStateSaysSo) {
  fake.tracking = DriverLikeTracking;
  SetState(SCARD_SWALLOWED);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0)->status, STATUS_SUCCESS);
  SetState(SCARD_ABSENT);
  EXPECT_EQ(Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0)->status, STATUS_SUCCESS);
  EXPECT_EQ(fake.calls, 0);
}

TEST_F(ControlTest, ParkedRequestIsCompletedByTracking) {
  fake.tracking = DriverLikeTracking;
  SetState(SCARD_ABSENT);
  auto waiter = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
  sys().RunFor(vk::kMillisecond);
  ASSERT_FALSE(waiter->done);
  EXPECT_EQ(slot.ext.OsData->NotificationIrp, waiter->irp);
  EXPECT_EQ(fake.calls, 1);
  // A second waiter is refused while the first one is parked.
  EXPECT_EQ(Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0)->status, STATUS_DEVICE_BUSY);
  // Other requests go on meanwhile.
  EXPECT_EQ(Control(IOCTL_SMARTCARD_GET_STATE, {}, 4)->status, STATUS_SUCCESS);
  sys().Run([&] {
    SetState(SCARD_SWALLOWED);
    CompleteTracking(&slot.ext);
  });
  sys().Wait(waiter);
  EXPECT_EQ(waiter->status, STATUS_SUCCESS);
  EXPECT_EQ(slot.ext.OsData->NotificationIrp, nullptr);
}

TEST_F(ControlTest, ParkedRequestCanAlwaysBeCancelled) {
  struct Case {
    const char* name;
    std::function<NTSTATUS(PSMARTCARD_EXTENSION)> tracking;
  } cases[] = {
      // The driver's own cancel routine replaced the library's.
      {"DriverRoutine", DriverLikeTracking},
      // The reader function left the library's routine in place.
      {"LibraryRoutine", [](PSMARTCARD_EXTENSION) { return STATUS_PENDING; }},
      // Cancelled between parking and the reader function.
      {"BeforeTracking",
       [](PSMARTCARD_EXTENSION e) {
         IoCancelIrp(e->OsData->NotificationIrp);
         EXPECT_EQ(e->OsData->NotificationIrp, nullptr);
         return DriverLikeTracking(e);
       }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake.tracking = c.tracking;
    SetState(SCARD_SWALLOWED);
    auto waiter = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_ABSENT, nullptr, 0, 0);
    sys().RunFor(vk::kMillisecond);
    if (!waiter->done) sys().CancelRequest(waiter);
    sys().Wait(waiter);
    EXPECT_EQ(waiter->status, STATUS_CANCELLED);
    EXPECT_EQ(waiter->information, 0u);
    EXPECT_EQ(slot.ext.OsData->NotificationIrp, nullptr);
  }
}

TEST_F(ControlTest, TrackingThatDoesNotPendCompletesTheRequest) {
  fake.tracking = [](PSMARTCARD_EXTENSION) { return STATUS_DEVICE_NOT_CONNECTED; };
  SetState(SCARD_ABSENT);
  auto r = Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(slot.ext.OsData->NotificationIrp, nullptr);
}

TEST_F(ControlTest, ExitCompletesAParkedRequest) {
  fake.tracking = DriverLikeTracking;
  SetState(SCARD_ABSENT);
  auto waiter = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
  sys().RunFor(vk::kMillisecond);
  ASSERT_FALSE(waiter->done);
  sys().Run([&] { slot.Exit(); });
  sys().Wait(waiter);
  EXPECT_EQ(waiter->status, STATUS_CANCELLED);
}

// ---------------------------------------------------------------- records and remove lock
class RecordTest : public vkt::SystemTest {};

TEST_F(RecordTest, ReplyReadsStayInsideTheLibrarysBuffer) {
  sys().Run([&] {
    smct::Slot slot;
    ASSERT_EQ(slot.Init(), STATUS_SUCCESS);
    std::vector<std::uint8_t> in = {0x00, 0x00, 0x01, 0x00, 8, 0, 0, 0, 0xAA};
    std::vector<std::uint8_t> out(8 + 1048);
    ULONG info = 0;
    slot.ext.IoRequest = {&info, in.data(), ULONG(in.size()), out.data(), ULONG(out.size())};
    // The reader driver points the reply behind its 4-byte header and states
    // the card's length, leaving BufferSize as it was.
    PUCHAR base = slot.ext.SmartcardReply.Buffer;
    slot.ext.SmartcardReply.Buffer = base + 4;
    slot.ext.SmartcardReply.BufferLength = 1044;
    EXPECT_EQ(SmartcardRawReply(&slot.ext), STATUS_SUCCESS);
    EXPECT_EQ(info, 8u + 1044u);
    slot.ext.SmartcardReply.BufferLength = 1045;
    EXPECT_EQ(SmartcardRawReply(&slot.ext), STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(info, 0u);
    slot.ext.SmartcardReply.Buffer = base;
    slot.Exit();
  });
}

TEST_F(RecordTest, InitializeRefusesOldVersionsAndCleansUpOnFailure) {
  sys().Run([&] {
    smct::Slot slot;
    slot.ext.Version = 0x100;
    EXPECT_EQ(SmartcardInitialize(&slot.ext), STATUS_REVISION_MISMATCH);
    EXPECT_EQ(slot.ext.OsData, nullptr);
    // Running out of pool for the slot data or for a buffer leaves nothing behind.
    for (ULONG tag : {vk::PoolTag("SmcO"), vk::PoolTag("SmcB")}) {
      smct::Slot s;
      sys().FailPoolAllocations(1, tag);
      EXPECT_EQ(s.Init(), STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(s.ext.OsData, nullptr);
    }
    sys().FailPoolAllocations(0);
    smct::Slot ok;
    ASSERT_EQ(ok.Init(), STATUS_SUCCESS);
    EXPECT_EQ(ok.ext.SmartcardRequest.BufferSize, 1048u);
    EXPECT_NE(ok.ext.SmartcardReply.Buffer, nullptr);
    ok.Exit();
    EXPECT_EQ(ok.ext.OsData, nullptr);
  });
  EXPECT_TRUE(sys().Pool().liveBlocksByTag.empty());
}

TEST_F(RecordTest, RemoveLockWaitsForHoldersAndRefusesNewOnes) {
  smct::Slot slot;
  bool released = false, waited = false;
  sys().Run([&] { ASSERT_EQ(slot.Init(), STATUS_SUCCESS); });
  sys().Run([&] {
    ASSERT_EQ(SmartcardAcquireRemoveLock(&slot.ext), STATUS_SUCCESS);  // an open handle
    ASSERT_EQ(SmartcardAcquireRemoveLock(&slot.ext), STATUS_SUCCESS);  // the remover's own
    sys().CreateThread("holder", [&] {
      LARGE_INTEGER t;
      t.QuadPart = -10 * 1000 * 50;
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      released = true;
      SmartcardReleaseRemoveLock(&slot.ext);
    });
    SmartcardReleaseRemoveLockAndWait(&slot.ext);
    waited = true;
    EXPECT_TRUE(released);
    EXPECT_EQ(SmartcardAcquireRemoveLock(&slot.ext), STATUS_DELETE_PENDING);
    // An unbalanced release is reported, not counted.
    SmartcardReleaseRemoveLock(&slot.ext);
    slot.Exit();
  });
  EXPECT_TRUE(waited);
  EXPECT_NE(sys().LogText().find("[SmartcardReleaseRemoveLock] released without an acquisition"), std::string::npos);
}

TEST_F(RecordTest, ReleaseAndWaitWithoutHoldersReturnsAtOnce) {
  sys().Run([&] {
    smct::Slot slot;
    ASSERT_EQ(slot.Init(), STATUS_SUCCESS);
    SmartcardReleaseRemoveLockAndWait(&slot.ext);
    EXPECT_EQ(SmartcardAcquireRemoveLock(&slot.ext), STATUS_DELETE_PENDING);
    slot.Exit();
  });
}

}  // namespace
