// Card services against the simulated reader: what goes to the reader for
// each request, and how malformed replies are refused.
#include "stack_fixture.h"

#include "reader/frame/vx7rd.h"

namespace {

using vk::kMillisecond;
using vk::kSecond;
using vkt::ByteVec;

class Card : public vkt::Stack {
 protected:
  // The command payloads the reader received since `from` trace entries.
  std::vector<ByteVec> Commands(Reader& r, size_t from = 0) {
    std::vector<ByteVec> out;
    auto& entries = r.sim->GetTrace().Entries();
    for (size_t i = from; i < entries.size(); ++i) {
      if (entries[i].direction != sim::Direction::kHostToReader) continue;
      const ByteVec& raw = entries[i].raw;
      ByteVec payload;
      for (size_t k = 2; k + 2 < raw.size(); ++k) {
        payload.push_back(raw[k]);
        if (raw[k] == 0x10) ++k;  // doubled DLE
      }
      if (!payload.empty()) payload.pop_back();  // check byte
      out.push_back(payload);
    }
    return out;
  }
  size_t Mark(Reader& r) { return r.sim->GetTrace().Entries().size(); }
  Result Power(PFILE_OBJECT f, ULONG action, ULONG out = 64, bool sam = false) {
    return Control(f, IOCTL_SMARTCARD_POWER, Ulong(action), out, sam);
  }
  std::shared_ptr<sim::ProcessorCard> CardWith(sim::AtrParameters atr) {
    sim::ProcessorCardConfig config;
    config.atr = atr;
    return std::make_shared<sim::ProcessorCard>(config);
  }
};

TEST(CardServices, T0WaitingValueFromWiAndTheDIndex) {
  EXPECT_EQ(Vxr_T0WaitingValue(10, 1), 20);
  EXPECT_EQ(Vxr_T0WaitingValue(10, 3), 50);
  EXPECT_EQ(Vxr_T0WaitingValue(10, 6), 0xFF);
  EXPECT_EQ(Vxr_T0WaitingValue(10, 11), 2);
  EXPECT_EQ(Vxr_T0WaitingValue(10, 0), 10);
  EXPECT_EQ(Vxr_T0WaitingValue(10, 7), 10);
}

TEST_F(Card, ColdResetWhosePowerDownIsRefusedSendsNoPowerUp) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    sim::Fault nak;
    nak.kind = sim::FaultKind::kNak;
    for (int i = 0; i < 3; ++i) r.sim->QueueFault(nak);  // every try of the power down
    size_t mark = Mark(r);
    EXPECT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_DEVICE_DATA_ERROR);
    for (auto& c : Commands(r, mark)) EXPECT_NE(c[0], RDDCMD_POWER_UP);
    EXPECT_EQ(r.de()->SmartcardExtension.CardCapabilities.ATR.Length, 0);
  }));
}

TEST_F(Card, WarmResetWithoutAnswerPowersTheSlotDown) {
  auto config = DefaultConfig();
  sim::ProcessorCardConfig mute;
  mute.mute = true;
  config.userCard = std::make_shared<sim::ProcessorCard>(mute);
  auto& r = Plug(config);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    size_t mark = Mark(r);
    auto result = Power(f, SCARD_WARM_RESET);
    EXPECT_EQ(result.status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_TRUE(result.data.empty());
    auto commands = Commands(r, mark);
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], ByteVec({RDDCMD_WARM_RESET, 0x00, 0x00}));
    EXPECT_EQ(commands[1], ByteVec({RDDCMD_POWER_DOWN, 0x00, 0x00}));
  }));
}

TEST_F(Card, MalformedAnswerToResetRepliesAreRefusedWithoutCopying) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    sim::Fault longAtr;
    longAtr.kind = sim::FaultKind::kLongAtr;
    longAtr.count = 70;
    longAtr.letter = RDDCMD_POWER_UP;
    r.sim->QueueFault(longAtr);
    EXPECT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(r.de()->SmartcardExtension.CardCapabilities.ATR.Length, 0);

    sim::Fault liar;
    liar.kind = sim::FaultKind::kWrongLength;
    liar.delta = 5;  // states more bytes than it sends
    liar.letter = RDDCMD_POWER_UP;
    r.sim->QueueFault(liar);
    EXPECT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_DEVICE_DATA_ERROR);

    // A caller's buffer too small for the answer: refused, nothing written past it.
    auto small = Power(f, SCARD_COLD_RESET, 4);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(small.data.empty());
  }));
}

TEST_F(Card, PtsRefusedThenWarmResetAndTheDefaultPts) {
  auto config = DefaultConfig();
  auto card = sim::MakeDualCard();
  card->SetPtsMode(sim::PtsMode::kBadCheck);
  config.userCard = card;
  auto& r = Plug(config);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    ASSERT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_SUCCESS);
    size_t mark = Mark(r);
    sys().ClearLog();
    auto selected = Control(f, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4);
    auto commands = Commands(r, mark);
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(commands[0][0], RDDCMD_CARD_EXCHANGE);
    EXPECT_EQ(commands[0][5], 0xFF);
    EXPECT_EQ(commands[0][6], 0x11);  // T=1 wins when both are allowed
    EXPECT_EQ(commands[1][0], RDDCMD_WARM_RESET);
    EXPECT_EQ(commands[2][7], 0x11);  // default rate: Fl = 1, Dl = 1
    EXPECT_EQ(commands[3][0], RDDCMD_SET_PARAMETERS);
    EXPECT_GE(sys().FindLog("[SetProtocol] PTS selection fial\n"), 0);
    EXPECT_EQ(selected.status, STATUS_SUCCESS);
  }));
}

TEST_F(Card, ProtocolParametersForAnInverseCrcCardAndNoPtsForANonProtocol) {
  sim::AtrParameters atr;
  atr.inverse = true;
  atr.t0 = false;
  atr.t1 = true;
  atr.crc = true;
  atr.ta2 = 0x01;  // specific mode: no PTS
  auto config = DefaultConfig();
  config.userCard = CardWith(atr);
  auto& r = Plug(config);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    ASSERT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_SUCCESS);
    size_t mark = Mark(r);
    EXPECT_EQ(Control(f, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
    auto commands = Commands(r, mark);
    ASSERT_GE(commands.size(), 1u);
    EXPECT_EQ(commands[0][0], RDDCMD_SET_PARAMETERS);
    EXPECT_EQ(commands[0][3], 0x13);
  }));

  // A negotiable card asked for a protocol it does not offer: no PTS at all.
  auto dual = Plug(DefaultConfig(), 0, true).sim.get();
  (void)dual;
  auto& t1 = readers.back();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(t1);
    ASSERT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_SUCCESS);
    size_t mark = Mark(t1);
    EXPECT_EQ(Control(f, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0), 4).status, STATUS_INVALID_PARAMETER);
    for (auto& c : Commands(t1, mark)) EXPECT_NE(c[0], RDDCMD_CARD_EXCHANGE);
    EXPECT_FALSE(t1.card()->ReaderBusy);
  }));
}

TEST_F(Card, T1WaitingTimeExtensionIsToldToTheReaderFirst) {
  auto config = DefaultConfig();
  auto card = sim::MakeT1Card();
  config.userCard = card;
  auto& r = Plug(config);
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    ASSERT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(f, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
    // A command that takes the card three block waiting times asks for a WTX.
    card->SetProcessingTime(3 * 1600 * kMillisecond);
    size_t mark = Mark(r);
    auto reply = Control(f, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, {0x00, 0x84, 0x00, 0x00, 0x08}), 64);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    bool sawUpdate = false;
    for (auto& c : Commands(r, mark))
      if (c.size() == 8 && c[0] == RDDCMD_SET_PARAMETERS && c[3] == 0x04) {
        sawUpdate = true;
        EXPECT_EQ(ByteVec(c.begin(), c.begin() + 7), ByteVec({0x61, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}));
        EXPECT_GE(c[7], 1);
      }
    EXPECT_TRUE(sawUpdate);
  }));
}

TEST_F(Card, AChainedT1ResponseTakesSeveralExchangesAndOneRearm) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    ASSERT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(f, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
    // Select EF 0001 (300 bytes) and read 256 of them: more than one IFSC.
    ASSERT_EQ(Control(f, IOCTL_SMARTCARD_TRANSMIT,
                      Transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01}), 64).status,
              STATUS_SUCCESS);
    size_t mark = Mark(r);
    r.port->ClearRequests();
    auto read = Control(f, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x00}), 600);
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    ASSERT_EQ(read.data.size(), 8u + 256 + 2);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(read.data[8 + size_t(i)], i);
    size_t exchanges = 0;
    for (auto& c : Commands(r, mark)) exchanges += c[0] == RDDCMD_CARD_EXCHANGE;
    EXPECT_GE(exchanges, 2u);  // the card's answer comes in a chain
    size_t rearms = 0;
    for (auto& q : r.port->Requests())
      rearms += q.major == IRP_MJ_DEVICE_CONTROL && q.ioControlCode == IOCTL_SERIAL_SET_WAIT_MASK &&
                q.data == Ulong(CARD_TRACKING_WAIT_MASK);
    EXPECT_EQ(rearms, 1u);

    // A 69-byte command goes out in blocks of the card's IFSC (32).
    ASSERT_EQ(Control(f, IOCTL_SMARTCARD_TRANSMIT,
                      Transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x02}), 64).status,
              STATUS_SUCCESS);
    ByteVec update = {0x00, 0xD6, 0x00, 0x00, 0x40};
    update.resize(5 + 64, 0x5A);
    mark = Mark(r);
    r.port->ClearRequests();
    auto written = Control(f, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, update), 64);
    ASSERT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(ByteVec(written.data.begin() + 8, written.data.end()), ByteVec({0x90, 0x00}));
    exchanges = 0;
    for (auto& c : Commands(r, mark)) exchanges += c[0] == RDDCMD_CARD_EXCHANGE;
    EXPECT_GE(exchanges, 3u);
    rearms = 0;
    for (auto& q : r.port->Requests())
      rearms += q.major == IRP_MJ_DEVICE_CONTROL && q.ioControlCode == IOCTL_SERIAL_SET_WAIT_MASK &&
                q.data == Ulong(CARD_TRACKING_WAIT_MASK);
    EXPECT_EQ(rearms, 1u);
  }));
}

TEST_F(Card, SamSlotCallsSetReaderBusyInTheCardSlotRecord) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    bool busySeen = false;
    r.sim->GetTrace().SetSink([&](const sim::TraceEntry& e) {
      if (e.direction == sim::Direction::kHostToReader && r.card()->ReaderBusy) busySeen = true;
    });
    EXPECT_EQ(Power(f, SCARD_COLD_RESET, 64, true).status, STATUS_SUCCESS);
    r.sim->GetTrace().SetSink(nullptr);
    EXPECT_TRUE(busySeen);
    EXPECT_FALSE(r.card()->ReaderBusy);
    EXPECT_FALSE(r.de()->SamExtension.ReaderExtension->ReaderBusy);
  }));
}

TEST_F(Card, AStatedAnswerLengthBeyondTheReplyIsRefused) {
  auto& r = Plug();
  ASSERT_TRUE(sys().Run([&] {
    PFILE_OBJECT f = Open(r);
    ASSERT_EQ(Power(f, SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(Control(f, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
    sim::Fault liar;
    liar.kind = sim::FaultKind::kWrongLength;
    liar.delta = 40;
    liar.letter = RDDCMD_CARD_EXCHANGE;
    r.sim->QueueFault(liar);
    auto reply = Control(f, IOCTL_SMARTCARD_TRANSMIT, Transmit(SCARD_PROTOCOL_T1, {0x00, 0x84, 0x00, 0x00, 0x08}), 64);
    EXPECT_EQ(reply.status, STATUS_DEVICE_DATA_ERROR);
  }));
}

}  // namespace
