// The cards behind the reader: T=0 with its procedure bytes and file system,
// the P3 quirk of older firmware, PTS variants, and the T=1 block protocol.

#include "sim_fixture.h"

namespace simtest {
namespace {

const Bytes kChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

Bytes Sw(const Bytes& answer) {
  return answer.size() >= 2 ? Bytes(answer.end() - 2, answer.end()) : Bytes{};
}

TEST_F(SimTest, T0CardAnswersTheSameWhateverItsProcedureBytes) {
  struct Case {
    sim::T0Procedure procedure;
    unsigned nulls;
  };
  const Case cases[] = {{sim::T0Procedure::kAllAtOnce, 0},
                        {sim::T0Procedure::kByteByByte, 0},
                        {sim::T0Procedure::kMixed, 0},
                        {sim::T0Procedure::kAllAtOnce, 3},
                        {sim::T0Procedure::kByteByByte, 2}};
  auto card = sim::MakeT0Card();
  Start(Config(card));
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.procedure) * 10 + static_cast<int>(c.nulls));
    card->SetT0Procedure(c.procedure, c.nulls);
    Select(0, 0x00);
    // Case 4: SELECT answers 61 xx, GET RESPONSE fetches the FCI.
    EXPECT_EQ(Exchange(0, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01}), (Bytes{0x61, 0x0D}));
    EXPECT_EQ(Exchange(0, {0x00, 0xC0, 0x00, 0x00, 0x0D}),
              (Bytes{0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x00, 0x01, 0x80, 0x02, 0x01, 0x2C, 0x90, 0x00}));
    // Case 2: data with INS / complement procedure bytes, then 90 00.
    EXPECT_EQ(Exchange(0, {0x00, 0xB0, 0x00, 0x20, 0x04}), (Bytes{0x20, 0x21, 0x22, 0x23, 0x90, 0x00}));
    // Case 3 into the writable EF, read back.
    EXPECT_EQ(Exchange(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x02}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Exchange(0, {0x00, 0xD6, 0x00, 0x05, 0x03, 0xC1, 0xC2, 0xC3}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Exchange(0, {0x00, 0xB0, 0x00, 0x04, 0x05}), (Bytes{0x00, 0xC1, 0xC2, 0xC3, 0x00, 0x90, 0x00}));
    Bytes challenge = Exchange(0, kChallenge);
    EXPECT_EQ(challenge.size(), 10u);
    EXPECT_EQ(Sw(challenge), (Bytes{0x90, 0x00}));
  }
}

TEST_F(SimTest, T0StatusWordsForWrongCommands) {
  Start();
  Select(0, 0x00);
  const std::pair<Bytes, Bytes> cases[] = {
      {{0x00, 0x84, 0x00, 0x00, 0x00}, {0x6C, 0x08}},  // Le 256 for a challenge
      {{0x00, 0xB0, 0x00, 0x00, 0x04}, {0x69, 0x86}},  // no EF selected
      {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x12, 0x34}, {0x6A, 0x82}},
      {{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x01}, {0x90, 0x00}},
      {{0x00, 0xB0, 0x01, 0x28, 0x10}, {0x6C, 0x04}},  // only 4 bytes left at 0x128
      {{0x00, 0xB0, 0x02, 0x00, 0x01}, {0x6B, 0x00}},
      {{0x00, 0xD6, 0x00, 0x00, 0x01, 0x55}, {0x69, 0x82}},  // read only
      {{0x00, 0xC0, 0x00, 0x00, 0x05}, {0x69, 0x85}},
      {{0x00, 0x12, 0x00, 0x00, 0x00}, {0x6D, 0x00}},
      {{0x80, 0x84, 0x00, 0x00, 0x08}, {0x6E, 0x00}},
  };
  for (const auto& [command, sw] : cases) {
    EXPECT_EQ(Exchange(0, command), sw) << sim::Hex(command);
  }
  // A command whose data falls short of P3 gets no answer (the card waits).
  EXPECT_EQ(Exchange(0, {0x00, 0xD6, 0x00, 0x00, 0x04, 0x01}), Bytes{});
  // A card that thinks too long without null bytes: the reader gives up.
  auto slow = std::static_pointer_cast<sim::ProcessorCard>(reader->CardIn(0));
  slow->SetProcessingTime(5 * kS);
  EXPECT_EQ(Exchange(0, kChallenge), Bytes{});
  slow->SetT0Procedure(sim::T0Procedure::kAllAtOnce, 4);
  EXPECT_EQ(Exchange(0, kChallenge).size(), 10u);
}

TEST_F(SimTest, OlderFirmwareMangles255And254ByteReads) {
  struct Case {
    const char* fw;
    std::uint8_t p3;
    std::size_t answerLength;
  };
  const Case cases[] = {
      {"0010", 0xFF, 1},   {"0010", 0xFE, 0},   {"0003", 0xFF, 1},
      {"0010", 0x00, 258}, {"0011", 0xFF, 257}, {"0011", 0xFE, 256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fw) + " P3 " + std::to_string(c.p3));
    VirtualClock clk;
    TestLine l{clk};
    sim::Reader r(l, Config(sim::MakeT0Card(), c.fw));
    l.SetHostLines(true, true);
    clk.RunFor(3 * kS);
    for (const Bytes& p : {Cmd(0x62, 0), Cmd(0x61, 0, {0x00, 0x03, 0x14, 0x00, 0x00}),
                           BlockCmd(0x67, 0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x01}),
                           BlockCmd(0x67, 0, {0x00, 0xB0, 0x00, 0x00, c.p3})}) {
      l.received.clear();
      l.HostWrite(Frame(p));
      clk.RunFor(2 * kS);
    }
    Bytes all = l.ReceivedBytes();
    std::optional<Bytes> reply = FirstFrame(all);
    ASSERT_TRUE(reply.has_value());
    Bytes data = DataOf(*reply);
    EXPECT_EQ(data.size(), c.answerLength);
    if (c.answerLength > 2) {
      EXPECT_EQ(data[0x80], 0x80);
      EXPECT_EQ(Sw(data), (Bytes{0x90, 0x00}));
    }
  }
}

TEST_F(SimTest, PtsIsPassedToTheCardWhichAcceptsRefusesOrAnswersWrongly) {
  struct Case {
    const char* fw;
    sim::PtsMode mode;
    Bytes request;
    Bytes answer;  // empty: nothing came back
  };
  const Case cases[] = {
      {"0011", sim::PtsMode::kAccept, {0xFF, 0x10, 0x13, 0xFC}, {0xFF, 0x10, 0x13, 0xFC}},
      {"0011", sim::PtsMode::kAccept, {0xFF, 0x10, 0x11, 0xFE}, {0xFF, 0x10, 0x11, 0xFE}},
      {"0011", sim::PtsMode::kAccept, {0xFF, 0x10, 0x14, 0xFB}, {}},  // D = 8: beyond TA1
      {"0011", sim::PtsMode::kAccept, {0xFF, 0x11, 0x13, 0xFD}, {}},  // T=1 not offered
      {"0011", sim::PtsMode::kAccept, {0xFF, 0x10, 0x13, 0x00}, {}},  // bad PCK
      {"0003", sim::PtsMode::kAccept, {0xFF, 0x10, 0x13, 0xFC}, {}},  // 38400 on 9600-only firmware
      {"0011", sim::PtsMode::kSilent, {0xFF, 0x10, 0x11, 0xFE}, {}},
      {"0011", sim::PtsMode::kBadCheck, {0xFF, 0x10, 0x13, 0xFC}, {0xFF, 0x10, 0x13, 0xFD}},
      {"0011", sim::PtsMode::kWrongEcho, {0xFF, 0x10, 0x13, 0xFC}, {0xFF, 0x10, 0x12, 0xFD}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::Hex(c.request) + " " + c.fw + " mode " + std::to_string(static_cast<int>(c.mode)));
    VirtualClock clk;
    TestLine l{clk};
    auto card = sim::MakeT0Card();
    card->SetPtsMode(c.mode);
    sim::Reader r(l, Config(card, c.fw));
    l.SetHostLines(true, true);
    clk.RunFor(3 * kS);
    auto ask = [&](const Bytes& p) {
      l.received.clear();
      l.HostWrite(Frame(p));
      clk.RunFor(3 * kS);
      Bytes all = l.ReceivedBytes();
      return FirstFrame(all).value_or(Bytes{});
    };
    ask(Cmd(0x62, 0));
    EXPECT_EQ(DataOf(ask(BlockCmd(0x67, 0, c.request))), c.answer);
    bool accepted = c.mode == sim::PtsMode::kAccept && !c.answer.empty();
    EXPECT_EQ(card->D(), accepted ? sim::DiToD(c.request[2] & 0x0F) : 1u);
    // Whatever happened, a warm reset brings the card back at the default rate.
    ask(Cmd(0x64, 0));
    ask(Cmd(0x61, 0, {0x00, 0x03, 0x14, 0x00, 0x00}));
    EXPECT_EQ(DataOf(ask(BlockCmd(0x67, 0, kChallenge))).size(), 10u);
  }
}

TEST_F(SimTest, DualProtocolCardIsSelectedIntoT1ByPts) {
  auto card = sim::MakeDualCard();
  Start(Config(card));
  PowerUp(0);
  EXPECT_EQ(card->ActiveProtocol(), 0);
  EXPECT_EQ(Exchange(0, {0xFF, 0x11, 0x13, 0xFD}), (Bytes{0xFF, 0x11, 0x13, 0xFD}));
  EXPECT_EQ(card->ActiveProtocol(), 1);
  ASSERT_EQ(Must(Cmd(0x61, 0, {0x10, 0x00, 0x00, 0x4D, 0x00}))[0], 0x62);
  Bytes block = Exchange(0, T1(0x00, kChallenge));
  ASSERT_EQ(block.size(), 4u + 10u);
  EXPECT_EQ(block[1], 0x00);
  // A second PTS is not taken: it belongs right after the answer-to-reset.
  EXPECT_EQ(Exchange(0, {0xFF, 0x10, 0x11, 0xFE}), Bytes{});
}

// ----- T=1 -------------------------------------------------------------------

class T1Test : public SimTest {
 protected:
  void SetUp() override {
    card = sim::MakeT1Card();
    Start(Config(card));
    Select(0, 0x10);
  }
  // One block to the card and its block back.
  Bytes Send(std::uint8_t pcb, const Bytes& inf) { return Exchange(0, T1(pcb, inf)); }

  std::shared_ptr<sim::ProcessorCard> card;
};

TEST_F(T1Test, GetChallengeIsOneIBlockEachWay) {
  Bytes b = Send(0x00, kChallenge);
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(b[1], 0x00);  // N(S) 0, no chaining
  EXPECT_EQ(b[2], 10);
  EXPECT_EQ(Bytes(b.begin() + 11, b.begin() + 13), (Bytes{0x90, 0x00}));
  std::uint8_t lrc = 0;
  for (std::uint8_t x : b) lrc ^= x;
  EXPECT_EQ(lrc, 0);
  b = Send(0x40, kChallenge);  // the host's next I-block carries N(S) 1
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(b[1], 0x40);
}

TEST_F(T1Test, ChainingBothWays) {
  // Host to card: UPDATE BINARY of 60 bytes goes as 32 + 32 + 1 bytes (IFSC 32).
  Bytes update = {0x00, 0xD6, 0x00, 0x00, 60};
  for (int i = 0; i < 60; ++i) update.push_back(static_cast<std::uint8_t>(0xA0 + i));
  ASSERT_EQ(Send(0x00, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x02}).size(), 6u);
  EXPECT_EQ(Send(0x60, Bytes(update.begin(), update.begin() + 32)), T1(0x80, {}));  // R(N(R)=0)
  EXPECT_EQ(Send(0x20, Bytes(update.begin() + 32, update.begin() + 64)), T1(0x90, {}));
  Bytes last = Send(0x40, Bytes(update.begin() + 64, update.end()));
  EXPECT_EQ(last, T1(0x40, {0x90, 0x00}));
  const Bytes& file = *card->Files().FileData(0x0002);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 60), Bytes(update.begin() + 5, update.end()));

  // Card to host: 64 bytes plus status word in IFSD 32 blocks, the host asking
  // for each further part with R(N(R)).
  Bytes got;
  Bytes b = Send(0x00, {0x00, 0xB0, 0x00, 0x00, 64});
  std::uint8_t expectNs = 1;
  int blocks = 1;
  while (b.size() > 3 && (b[1] & 0x20)) {
    EXPECT_EQ(b[2], 32);
    got.insert(got.end(), b.begin() + 3, b.end() - 1);
    b = Send(static_cast<std::uint8_t>(0x80 | (expectNs << 4)), {});
    EXPECT_EQ((b[1] >> 6) & 1, expectNs);
    expectNs ^= 1;
    ++blocks;
  }
  got.insert(got.end(), b.begin() + 3, b.end() - 1);
  EXPECT_EQ(blocks, 3);
  ASSERT_EQ(got.size(), 66u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 60), Bytes(update.begin() + 5, update.end()));
  EXPECT_EQ(Bytes(got.begin() + 60, got.end()), (Bytes{0x00, 0x00, 0x00, 0x00, 0x90, 0x00}));

  // After S(IFS request 254) the same answer comes in one block.
  EXPECT_EQ(Send(0xC1, {0xFE}), T1(0xE1, {0xFE}));
  b = Send(0x40, {0x00, 0xB0, 0x00, 0x00, 64});
  EXPECT_EQ(b[2], 66);
  EXPECT_EQ(b[1] & 0x20, 0);
}

TEST_F(T1Test, LongCommandAsksForWaitingTimeExtension) {
  card->SetProcessingTime(3 * kS);  // BWT with BWI 4 is about 1.6 s
  EXPECT_EQ(Send(0x00, kChallenge), T1(0xC3, {0x02}));
  // Without telling the reader, it gives up after one BWT.
  EXPECT_EQ(Send(0xE3, {0x02}), Bytes{});
  // Once more, this time with the waiting-time extension update first.
  card->SetProcessingTime(3 * kS);
  EXPECT_EQ(Send(0xC0, {}), T1(0xE0, {}));
  EXPECT_EQ(Send(0x00, kChallenge), T1(0xC3, {0x02}));
  ASSERT_EQ(Must(Cmd(0x61, 0, {0x04, 0x00, 0x00, 0x00, 0x02}))[0], 0x62);
  vk::Nanos before = clock.Now();
  Bytes b = Send(0xE3, {0x02});
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(b[1], 0x00);
  EXPECT_GE(clock.Now() - before, 3 * kS);
  // The extension held for that block only.
  EXPECT_EQ(reader->Slot(0).wtx, 0);
}

TEST_F(T1Test, ErrorsAreAnsweredWithRBlocksAndResynchronisationStartsAfresh) {
  Bytes bad = T1(0x00, kChallenge);
  bad.back() ^= 0xFF;
  EXPECT_EQ(Exchange(0, bad), T1(0x81, {}));  // EDC error, N(R) 0
  Bytes wrongLen = T1(0x00, kChallenge);
  wrongLen[2] = 4;
  wrongLen.back() ^= 5 ^ 4;
  EXPECT_EQ(Exchange(0, wrongLen), T1(0x82, {}));
  EXPECT_EQ(Send(0x40, kChallenge), T1(0x82, {}));  // wrong N(S)
  // The card's answer arrives damaged; an R-block brings it again, intact.
  card->CorruptNextBlocks(1);
  Bytes damaged = Send(0x00, kChallenge);
  ASSERT_EQ(damaged.size(), 14u);
  Bytes again = Send(0x80, {});  // R(N(R)=0): send your I-block 0 again
  ASSERT_EQ(again.size(), 14u);
  EXPECT_EQ(Bytes(damaged.begin(), damaged.end() - 1), Bytes(again.begin(), again.end() - 1));
  EXPECT_NE(damaged.back(), again.back());
  EXPECT_EQ(again, T1(0x00, Bytes(again.begin() + 3, again.end() - 1)));
  // A lost block gives no answer; sent again, it is taken.
  card->IgnoreNextBlocks(1);
  EXPECT_EQ(Send(0x40, kChallenge), Bytes{});
  EXPECT_EQ(Send(0x40, kChallenge).size(), 14u);
  // Resynchronisation: both sequence numbers back to 0, IFSD back to 32.
  EXPECT_EQ(Send(0xC1, {0x80}), T1(0xE1, {0x80}));
  EXPECT_EQ(Send(0xC0, {}), T1(0xE0, {}));
  EXPECT_EQ(card->Ifsd(), 32);
  EXPECT_EQ(card->ResyncCount(), 1);
  Bytes b = Send(0x00, kChallenge);
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(b[1], 0x00);
}

TEST_F(T1Test, CardsOwnIfsRequestComesBeforeItsAnswer) {
  card->RequestIfs(0x10);
  EXPECT_EQ(Send(0x00, kChallenge), T1(0xC1, {0x10}));
  Bytes b = Send(0xE1, {0x10});
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(b[1], 0x00);
  EXPECT_EQ(card->Ifsc(), 0x10);
  // From now on the card takes at most 16 bytes per block.
  Bytes big = {0x00, 0xD6, 0x00, 0x00, 0x0C};
  big.resize(17, 0x33);
  EXPECT_EQ(Send(0x40, big), T1(0x92, {}));
}

TEST_F(SimTest, T1CardWithCrcNeedsTheReaderToKnow) {
  sim::ProcessorCardConfig cfg;
  cfg.atr.t0 = false;
  cfg.atr.t1 = true;
  cfg.atr.crc = true;
  auto card = std::make_shared<sim::ProcessorCard>(cfg);
  Start(Config(card));
  Select(0, 0x11);
  Bytes b = Exchange(0, T1(0x00, kChallenge, true));
  ASSERT_EQ(b.size(), 15u);
  EXPECT_EQ(b, T1(0x00, Bytes(b.begin() + 3, b.end() - 2), true));
  // Told LRC, the reader cuts the card's block one byte short.
  ASSERT_EQ(Must(Cmd(0x61, 0, {0x10, 0x00, 0x00, 0x4D, 0x00}))[0], 0x62);
  EXPECT_EQ(Exchange(0, T1(0x40, kChallenge, true)).size(), 14u);
}

}  // namespace
}  // namespace simtest
