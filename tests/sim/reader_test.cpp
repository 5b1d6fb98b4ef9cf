// The reader's framing, its eight commands on both slots, the firmware
// variants, the memory-card command set, the rate change, modem lines and DTR.

#include "sim_fixture.h"

namespace simtest {
namespace {

const Bytes kNak = {0x15};

TEST_F(SimTest, FramesThatAreNotRightAreNakedAndGoodOnesAnswered) {
  Start();
  struct Case {
    const char* what;
    Bytes wire;
    bool nak;
  };
  Bytes good = Frame(Cmd(0x65, 0));
  Bytes badCheck = good;
  badCheck[good.size() - 3] ^= 0x01;
  const Case cases[] = {
      {"good status query", good, false},
      {"bad check byte", badCheck, true},
      {"DLE followed by 41 inside the frame", {0x10, 0x02, 0x65, 0x00, 0x10, 0x41, 0x00, 0x10, 0x03}, true},
      {"unknown command letter 66", Frame(Cmd(0x66, 0)), true},
      {"empty payload", {0x10, 0x02, 0x00, 0x10, 0x03}, true},
      {"no check byte at all", {0x10, 0x02, 0x10, 0x03}, true},
      {"payload too short for its command", Frame({0x61, 0x00, 0x00, 0x10}), true},
      {"block length disagrees with the block", Frame({0x67, 0x00, 0x00, 0x00, 0x05, 0x00}), true},
      {"slot byte 2", Frame(Cmd(0x62, 2)), true},
      {"noise ahead of a good frame", Concat({0x41, 0x03, 0x99, 0x02}, good), false},
      {"an unfinished frame, then a good one", Concat({0x10, 0x02, 0x62, 0x00}, good), false},
  };
  for (const Case& c : cases) {
    line.received.clear();
    line.HostWrite(c.wire);
    clock.RunFor(1 * kS, [&] { return HasFrame(); });
    Bytes all = line.ReceivedBytes();
    std::optional<Bytes> reply = FirstFrame(all);
    ASSERT_TRUE(reply.has_value()) << c.what;
    if (c.nak) {
      EXPECT_EQ(all, (Bytes{0x10, 0x02, 0x15, 0x15, 0x10, 0x03})) << c.what;
    } else {
      EXPECT_EQ((*reply)[0], 0x61) << c.what;
    }
  }
}

TEST_F(SimTest, DoubledDlesAreUndoubledInCommandsAndDoubledInReplies) {
  Start();
  Select(0, 0x00);
  // UPDATE BINARY of 10 10 into EF 0002 (the payload's 0x10 bytes go doubled),
  // then READ BINARY back: the reply carries the 0x10 bytes doubled too.
  ASSERT_EQ(Exchange(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x02}), (Bytes{0x90, 0x00}));
  ASSERT_EQ(Exchange(0, {0x00, 0xD6, 0x00, 0x00, 0x02, 0x10, 0x10}), (Bytes{0x90, 0x00}));
  Bytes reply = Must(BlockCmd(0x67, 0, {0x00, 0xB0, 0x00, 0x00, 0x03}));
  EXPECT_EQ(DataOf(reply), (Bytes{0x10, 0x10, 0x00, 0x90, 0x00}));
  Bytes wire = line.ReceivedBytes();
  std::size_t dles = 0;
  for (std::uint8_t b : wire) dles += b == 0x10;
  EXPECT_GE(dles, 6u);  // DLE STX, four doubled data DLEs, DLE ETX
}

TEST_F(SimTest, ReaderTypeCarriesIdentificationAndFirmwareDigits) {
  for (const char* fw : {"0003", "0010", "0011", "0042"}) {
    SCOPED_TRACE(fw);
    VirtualClock c;
    TestLine l{c};
    sim::ReaderConfig config = Config(nullptr, fw);
    config.identification = Bytes(16, 0x41);
    sim::Reader r(l, config);
    l.SetHostLines(true, true);
    c.RunFor(3 * kS);
    l.HostWrite(Frame(Cmd(0x60, 0)));
    c.RunFor(1 * kS);
    Bytes all = l.ReceivedBytes();
    std::optional<Bytes> reply = FirstFrame(all);
    ASSERT_TRUE(reply.has_value());
    ASSERT_GE(reply->size(), 20u);
    EXPECT_EQ((*reply)[0], 0x60);
    EXPECT_EQ((*reply)[1], 0x00);
    EXPECT_EQ(Bytes(reply->begin() + 4, reply->begin() + 16), Bytes(12, 0x41));
    EXPECT_EQ(std::string(reply->begin() + 16, reply->begin() + 20), fw);
  }
}

TEST_F(SimTest, StatusReportsCardInUserSlotAndPower) {
  Start(Config(nullptr));
  Bytes r = Must(Cmd(0x65, 0));
  ASSERT_GE(r.size(), 6u);
  EXPECT_EQ(r[0], 0x61);
  EXPECT_EQ(r[4] & 0x08, 0);
  EXPECT_EQ(r[5] & 0x08, 0x08);  // the SAM is fitted
  reader->InsertCard(sim::MakeT0Card());
  PowerUp(0);
  r = Must(Cmd(0x65, 0));
  EXPECT_EQ(r[4] & 0x0C, 0x0C);
  EXPECT_EQ(r[5] & 0x04, 0);
}

TEST_F(SimTest, AnswerToResetFollowsFirmwareAndCardKind) {
  struct Case {
    const char* fw;
    std::shared_ptr<sim::Card> card;
    int typeByte;  // -1: none expected
  };
  const Case cases[] = {
      {"0003", sim::MakeT0Card(), -1},
      {"0004", sim::MakeT0Card(), 0x01},
      {"0011", sim::MakeT0Card(), 0x01},
      {"0011", sim::MakeMemoryCard(false), 0x02},
      {"0011", sim::MakeMemoryCard(true), 0x03},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fw) + " type " + std::to_string(c.typeByte));
    VirtualClock clk;
    TestLine l{clk};
    sim::Reader r(l, Config(c.card, c.fw));
    l.SetHostLines(true, true);
    clk.RunFor(3 * kS);
    for (std::uint8_t letter : {0x62, 0x64}) {  // power up, then warm reset
      l.received.clear();
      l.HostWrite(Frame(Cmd(letter, 0)));
      clk.RunFor(1 * kS);
      Bytes all = l.ReceivedBytes();
      std::optional<Bytes> reply = FirstFrame(all);
      ASSERT_TRUE(reply.has_value());
      Bytes data = DataOf(*reply);
      EXPECT_EQ((*reply)[1], 0x00);
      Bytes atr = c.card->Memory() ? Bytes{0xA2, 0x13, 0x10, 0x91}
                                   : static_cast<sim::ProcessorCard&>(*c.card).Atr();
      Bytes expected = c.typeByte < 0 ? atr : Concat({static_cast<std::uint8_t>(c.typeByte)}, atr);
      EXPECT_EQ(data, expected);
    }
  }
}

TEST_F(SimTest, SamSlotAnswersOnSlotOneAndEmptyOrMuteSlotsGiveNoAnswer) {
  sim::ProcessorCardConfig mute;
  mute.mute = true;
  Start(Config(std::make_shared<sim::ProcessorCard>(mute)));
  Bytes sam = PowerUp(1);
  EXPECT_EQ(sam[1], 0x01);
  EXPECT_EQ(DataOf(sam), Concat({0x01}, sim::MakeSam()->Atr()));
  EXPECT_EQ(PowerUp(0), (Bytes{0x64, 0x00, 0x00, 0x00}));  // the mute card
  reader->RemoveCard(0);
  EXPECT_EQ(PowerUp(0), (Bytes{0x64, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Must(Cmd(0x64, 0)), (Bytes{0x64, 0x00, 0x00, 0x00}));
  // A SAM exchange after a power down of the SAM is refused as no card.
  EXPECT_EQ(Must(Cmd(0x63, 1)), (Bytes{0x62, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Must(BlockCmd(0x67, 1, {0x00, 0x84, 0x00, 0x00, 0x08})), (Bytes{0x67, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Must(BlockCmd(0x67, 0, {0x00, 0x84, 0x00, 0x00, 0x08})), (Bytes{0x67, 0x00, 0x00, 0x00}));
}

TEST_F(SimTest, SetParametersNeedsAPoweredCardAndIsApplied) {
  Start();
  EXPECT_EQ(Must(Cmd(0x61, 0, {0x00, 0x03, 0x14, 0x00, 0x00})), (Bytes{0x67, 0x00, 0x00, 0x00}));
  // The waiting-time extension alone is acknowledged whatever the slot holds.
  EXPECT_EQ(Must(Cmd(0x61, 0, {0x04, 0x00, 0x00, 0x00, 0x03}))[0], 0x62);
  EXPECT_EQ(reader->Slot(0).wtx, 3);

  Select(1, 0x00);
  const Bytes challenge = {0x00, 0x84, 0x00, 0x00, 0x08};
  EXPECT_EQ(Exchange(1, challenge).size(), 10u);
  // T=1 or the inverse convention on a direct-convention T=0 SAM: the SAM
  // cannot follow and the reader brings back nothing.
  for (std::uint8_t flags : {0x10, 0x02}) {
    SCOPED_TRACE(static_cast<int>(flags));
    ASSERT_EQ(Must(Cmd(0x61, 1, {flags, 0x03, 0x14, 0x00, 0x00}))[0], 0x62);
    EXPECT_EQ(Must(BlockCmd(0x67, 1, challenge)), (Bytes{0x64, 0x01, 0x00, 0x00}));
  }
  ASSERT_EQ(Must(Cmd(0x61, 1, {0x00, 0x03, 0x14, 0x00, 0x00}))[0], 0x62);
  EXPECT_EQ(Exchange(1, challenge).size(), 10u);
}

TEST_F(SimTest, MemoryCardCommandSet) {
  auto card = sim::MakeMemoryCard(true);
  Start(Config(card));
  auto mem = [&](const Bytes& block) { return DataOf(Must(BlockCmd(0x6B, 0, block))); };
  EXPECT_EQ(mem({0x01, 0x00, 0x00, 0x04}), (Bytes{0x06}));  // not powered
  PowerUp(0);
  EXPECT_EQ(mem({0x04, 0x00, 0x00}), (Bytes{0x00, 0x03, 0x01, 0x00, 0x01}));
  EXPECT_EQ(mem({0x02, 0x00, 0x10, 0x02, 0xAA, 0xBB}), (Bytes{0x03}));  // PIN first
  EXPECT_EQ(mem({0x03, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}), (Bytes{0x04, 0x02}));
  EXPECT_EQ(mem({0x03, 0x00, 0x00, 0x03, 0x12, 0x34, 0x56}), (Bytes{0x00, 0x03}));
  EXPECT_EQ(mem({0x02, 0x00, 0x10, 0x02, 0xAA, 0xBB}), (Bytes{0x00}));
  EXPECT_EQ(mem({0x01, 0x00, 0x0F, 0x04}), (Bytes{0x00, 0xFF, 0xAA, 0xBB, 0xFF}));
  EXPECT_EQ(mem({0x01, 0x00, 0xFE, 0x04}), (Bytes{0x02}));  // beyond the end
  EXPECT_EQ(mem({0x01, 0x00, 0x00}), (Bytes{0x0E}));
  EXPECT_EQ(mem({0x77}), (Bytes{0x0F}));
  EXPECT_EQ(mem({}), (Bytes{0x0E}));
  // A processor card, and no card at all.
  EXPECT_EQ(DataOf(Must(BlockCmd(0x6B, 1, {0x01, 0x00, 0x00, 0x01}))), (Bytes{0x07}));
  reader->RemoveCard(0);
  EXPECT_EQ(mem({0x01, 0x00, 0x00, 0x01}), (Bytes{0x01}));
}

TEST_F(SimTest, AcceptedRateChangeSwitchesTheReaderAfterItsReply) {
  Start();
  Bytes r = Must(BlockCmd(0x6B, 0, {0x80, 0x00, 0x04}));
  EXPECT_EQ(DataOf(r), (Bytes{0x00}));
  vk::Nanos replyEnd = line.received.back().time;
  EXPECT_FALSE(line.received.back().garbled);
  clock.RunFor(50 * kMs);
  EXPECT_EQ(line.Rate(), 4800u);
  EXPECT_EQ(reader->GetTrace().Entries().back().name, "RATE");
  EXPECT_GT(reader->GetTrace().Entries().back().time, replyEnd);
  // The old rate now garbles; at the new one the reader answers. A DTR pulse
  // (as the host gives after changing its port) keeps the new rate.
  EXPECT_FALSE(Ask(Cmd(0x65, 0), 1 * kS).has_value());
  line.SetHostRate(4800);
  line.SetHostLines(false, true);
  line.SetHostLines(true, true);
  clock.RunFor(1500 * kMs);
  EXPECT_EQ(Must(Cmd(0x65, 0))[0], 0x61);
  // Refused codes leave the rate alone.
  for (std::uint8_t code : {0x00, 0x07, 0xFF}) {
    EXPECT_EQ(DataOf(Must(BlockCmd(0x6B, 1, {0x80, 0x00, code}))), (Bytes{0x02}));
  }
  clock.RunFor(50 * kMs);
  EXPECT_EQ(line.Rate(), 4800u);
}

TEST_F(SimTest, ModemLinesFollowCardsAndTheCable) {
  Start(Config(nullptr));
  EXPECT_TRUE(line.Dsr());
  EXPECT_FALSE(line.Cts());
  vk::Nanos t0 = clock.Now();
  reader->InsertCard(sim::MakeT1Card(), 0, t0 + 5 * kS);
  reader->RemoveCard(0, t0 + 7 * kS);
  clock.RunUntil(t0 + 5 * kS - 1);
  EXPECT_FALSE(line.Cts());
  clock.RunUntil(t0 + 5 * kS);
  EXPECT_TRUE(line.Cts());
  clock.RunUntil(t0 + 7 * kS);
  EXPECT_FALSE(line.Cts());

  reader->InsertCard(sim::MakeT1Card());
  reader->Unplug(t0 + 8 * kS);
  clock.RunUntil(t0 + 8 * kS);
  EXPECT_FALSE(line.Dsr());
  EXPECT_FALSE(line.Cts());
  EXPECT_FALSE(Ask(Cmd(0x65, 0), 2 * kS).has_value());
  // Plugged back in it boots again: silent for the boot time, then answering.
  reader->Replug();
  EXPECT_TRUE(line.Dsr());
  EXPECT_TRUE(line.Cts());
  EXPECT_FALSE(Ask(Cmd(0x65, 0), 1 * kS).has_value());
  clock.RunFor(1 * kS);
  EXPECT_EQ(Must(Cmd(0x65, 0))[0], 0x61);
  EXPECT_EQ(Must(Cmd(0x65, 0))[4] & 0x04, 0);  // cards came back unpowered
}

TEST_F(SimTest, DtrHoldsTheReaderAndItSettlesAfterRising) {
  reader = std::make_unique<sim::Reader>(line, Config());
  EXPECT_TRUE(line.Dsr());
  EXPECT_TRUE(line.Cts());
  EXPECT_FALSE(Ask(Cmd(0x65, 0), 5 * kS).has_value());  // DTR never raised
  line.SetHostLines(true, true);
  EXPECT_FALSE(Ask(Cmd(0x65, 0), 1500 * kMs).has_value());  // still booting
  clock.RunFor(600 * kMs);
  EXPECT_TRUE(Ask(Cmd(0x65, 0)).has_value());  // answered within the host's 3 s
  // A later drop and rise: ready again within the host's 1.5 s.
  line.SetHostLines(false, true);
  line.SetHostLines(true, true);
  EXPECT_FALSE(Ask(Cmd(0x65, 0), 800 * kMs).has_value());
  clock.RunFor(300 * kMs);
  EXPECT_TRUE(Ask(Cmd(0x65, 0)).has_value());
  // DTR dropping while a reply is on its way cuts the reply off.
  line.received.clear();
  line.HostWrite(Frame(Cmd(0x60, 0)));
  clock.RunFor(10 * kS, [&] { return line.received.size() >= 4; });
  line.SetHostLines(false, true);
  clock.RunFor(2 * kS);
  EXPECT_FALSE(HasFrame());
  EXPECT_LT(line.received.size(), 10u);
}

}  // namespace
}  // namespace simtest
