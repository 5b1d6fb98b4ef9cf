// A card session through the whole stack: power, protocol, transmission,
// vendor controls and card tracking, on both slots.
#include "stack_fixture.h"

namespace {

using vk::kMillisecond;
using vk::kSecond;
using vkt::ByteVec;

class Session : public vkt::Stack {};

std::string Text(const ByteVec& b) { return std::string(b.begin(), b.end()); }

TEST_F(Session, StartQueriesTheReaderAndBothSlotsReportTheVendorStrings) {
  auto& r = Plug();
  EXPECT_GE(sys().FindLog("[Vxr_StartDevice] get reader type success\n"), 0);
  EXPECT_GE(sys().FindLog("[Vxr_StartDevice] get reader status success\n"), 0);
  EXPECT_EQ(r.de()->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
  EXPECT_EQ(r.de()->SamExtension.ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
  EXPECT_TRUE(r.card()->CardTypeByte);
  EXPECT_FALSE(r.card()->LeFixup);
  int enabled = 0;
  for (auto& i : sys().Interfaces()) enabled += i.pdo == r.port->Device() && i.enabled;
  EXPECT_EQ(enabled, 2);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    for (bool internal : {false, true}) {
      auto vendor = Control(file, IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 32, internal);
      EXPECT_EQ(vendor.status, STATUS_SUCCESS);
      EXPECT_EQ(Text(vendor.data).substr(0, 7), "MORVANE");
      auto type = Control(file, IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_IFD_TYPE), 32, internal);
      EXPECT_EQ(Text(type.data).substr(0, 7), "VX710RD");
    }
  }));
}

TEST_F(Session, T1CardColdResetProtocolAndTransmit) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    auto atr = Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
    ASSERT_EQ(atr.status, STATUS_SUCCESS);
    EXPECT_EQ(atr.data, r.sim->CardIn(0) ? std::static_pointer_cast<sim::ProcessorCard>(r.sim->CardIn(0))->Atr() : ByteVec());
    auto protocol = Control(file, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4);
    ASSERT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(protocol.data, Ulong(SCARD_PROTOCOL_T1));
    auto challenge = Control(file, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, {0x00, 0x84, 0x00, 0x00, 0x08}), 300);
    ASSERT_EQ(challenge.status, STATUS_SUCCESS);
    ASSERT_EQ(challenge.data.size(), 8u + 10u);
    EXPECT_EQ(challenge.data[16], 0x90);
    EXPECT_EQ(challenge.data[17], 0x00);
    // Tracking is running again after the callbacks.
    EXPECT_TRUE(r.port->WaitPending());
    EXPECT_FALSE(r.card()->ReaderBusy);
  }));
}

TEST_F(Session, OldFirmwareT0ReadOf255BytesGoesOutAs256AndComesBackTrimmed) {
  auto config = DefaultConfig();
  config.firmware = "0010";
  config.userCard = sim::MakeT0Card();
  auto& r = Plug(config);
  EXPECT_TRUE(r.card()->LeFixup);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    ASSERT_EQ(Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(file, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4).status, STATUS_SUCCESS);
    auto select = Control(file, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01}), 300);
    ASSERT_EQ(select.status, STATUS_SUCCESS);
    for (int p3 : {0xFF, 0xFE}) {
      auto read = Control(file, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, std::uint8_t(p3)}), 600);
      ASSERT_EQ(read.status, STATUS_SUCCESS) << p3;
      ASSERT_EQ(read.data.size(), 8u + size_t(p3) + 2) << p3;
      for (int i = 0; i < p3; ++i) ASSERT_EQ(read.data[8 + i], i);
      EXPECT_EQ(read.data[8 + p3], 0x90);
    }
  }));
}

TEST_F(Session, MemoryCardGetsTheFixedAnswerAndIsReadThroughTheVendorControl) {
  auto config = DefaultConfig();
  config.userCard = sim::MakeMemoryCard();
  auto& r = Plug(config);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    auto atr = Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
    ASSERT_EQ(atr.status, STATUS_SUCCESS);
    EXPECT_EQ(atr.data.size(), 24u);
    EXPECT_EQ(atr.data[0], 0x3B);
    EXPECT_EQ(atr.data[23], 0x9B);
    sys().ClearLog();
    auto protocol = Control(file, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4);
    EXPECT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(protocol.data, Ulong(0x10));
    EXPECT_EQ(sys().FindLog("[SetProtocol] Memory Card Present\n"), 0);
    auto read = Control(file, 0x00312000, {0x01, 0x00, 0x00, 0x08}, 64);
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    ASSERT_EQ(read.data.size(), 9u);
    EXPECT_EQ(read.data[0], 0x00);  // the reader's status byte: done
    auto small = Control(file, 0x00312000, {0x01, 0x00, 0x00, 0x08}, 2);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    auto id = Control(file, 0x00312004, {}, 16);
    ASSERT_EQ(id.status, STATUS_SUCCESS);
    EXPECT_EQ(id.data[9], 0x52);
    EXPECT_EQ(id.data[10], 0x44);
    EXPECT_EQ(Control(file, 0x0031200C, {}, 16).status, STATUS_NOT_SUPPORTED);
  }));
}

TEST_F(Session, RateChangeMovesBothEndsOfTheLine) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    struct Case {
      ByteVec input;
      NTSTATUS status;
    };
    const Case refused[] = {
        {{0x80, 0x00}, STATUS_INVALID_PARAMETER},        // no rate code
        {{0x80, 0x00, 0x07}, STATUS_INVALID_PARAMETER},  // no such rate
        {{0x80, 0x00, 0x00}, STATUS_INVALID_PARAMETER},
        {ByteVec(1044, 0x80), STATUS_INVALID_PARAMETER},  // more than one command holds
    };
    for (const auto& c : refused) {
      r.port->ClearRequests();
      EXPECT_EQ(Control(file, 0x00312008, c.input, 16).status, c.status);
      EXPECT_TRUE(r.port->Requests().empty());
    }
    auto change = Control(file, 0x00312008, {0x80, 0x00, 0x04}, 16);
    ASSERT_EQ(change.status, STATUS_SUCCESS);
    EXPECT_EQ(change.data, ByteVec({0x00}));
    EXPECT_EQ(r.port->PortRate(), 4800u);
    EXPECT_EQ(r.sim->Rate(), 4800u);
    EXPECT_EQ(r.card()->SerialBaudRate, 4800u);
    // The line still works at the new rate.
    EXPECT_EQ(Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
  }));
}

TEST_F(Session, InsertionAndRemovalCompleteTheParkedRequestAndUpdateTheState) {
  auto config = DefaultConfig();
  config.userCard = nullptr;
  auto& r = Plug(config);
  EXPECT_EQ(r.de()->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    auto present = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    Wait(100 * kMillisecond);
    EXPECT_FALSE(present->done);
    r.sim->InsertCard(sim::MakeT1Card(), 0, sys().Now() + 5 * kSecond);
    sys().Wait(present);
    EXPECT_EQ(present->status, STATUS_SUCCESS);
    EXPECT_EQ(r.de()->SmartcardExtension.ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    ASSERT_EQ(Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);

    auto absent = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_ABSENT, nullptr, 0, 0);
    Wait(100 * kMillisecond);
    EXPECT_FALSE(absent->done);
    r.sim->RemoveCard(0);
    sys().Wait(absent);
    EXPECT_EQ(absent->status, STATUS_SUCCESS);
    auto& sc = r.de()->SmartcardExtension;
    EXPECT_EQ(sc.ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
    EXPECT_EQ(sc.CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(Control(file, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64).status == STATUS_SUCCESS, false);
  }));
}

TEST_F(Session, ParkedRequestsAreCancelledOnEitherSlotAndTheOtherStaysParked) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT file = Open(r);
    auto card = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_ABSENT, nullptr, 0, 0);
    auto samSlot = sys().StartIoControl(file, IOCTL_SMARTCARD_IS_ABSENT, nullptr, 0, 0, true);
    Wait(100 * kMillisecond);
    ASSERT_FALSE(card->done);
    ASSERT_FALSE(samSlot->done);
    sys().CancelRequest(samSlot);
    sys().Wait(samSlot);
    EXPECT_EQ(samSlot->status, STATUS_CANCELLED);
    EXPECT_FALSE(card->done);
    sys().CancelRequest(card);
    sys().Wait(card);
    EXPECT_EQ(card->status, STATUS_CANCELLED);
  }));
}

TEST_F(Session, DsrDroppingClosesThePortAndDisablesTheInterfaces) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    r.sim->Unplug();
    Wait(100 * kMillisecond);
    EXPECT_GE(sys().FindLog("[Vxr_SerialEvent] DSR_STATE changed!\n"), 0);
    EXPECT_FALSE(r.port->IsOpen());
    for (auto& i : sys().Interfaces())
      if (i.pdo == r.port->Device()) EXPECT_FALSE(i.enabled);
  }));
}

}  // namespace
