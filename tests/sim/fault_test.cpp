// Faults on demand and at a seeded rate, hostile input, and the trace.

#include <functional>

#include "sim_fixture.h"

namespace simtest {
namespace {

using sim::Fault;
using sim::FaultKind;

Fault Make(FaultKind kind, vk::Nanos time = 0, std::size_t count = 0, int delta = 1) {
  Fault f;
  f.kind = kind;
  f.time = time;
  f.count = count;
  f.delta = delta;
  return f;
}

// Longest pause between two received bytes, and where it fell.
std::pair<vk::Nanos, std::size_t> LongestGap(const std::vector<Received>& r) {
  vk::Nanos gap = 0;
  std::size_t at = 0;
  for (std::size_t i = 1; i < r.size(); ++i)
    if (r[i].time - r[i - 1].time > gap) {
      gap = r[i].time - r[i - 1].time;
      at = i;
    }
  return {gap, at};
}

TEST_F(SimTest, EachFaultShowsOnTheLine) {
  struct Case {
    const char* what;
    std::vector<Fault> faults;
    Bytes command;
    vk::Nanos wait;
    bool carriedOut;
    std::function<void(const std::vector<Received>&, const Bytes&)> check;
  };
  const Bytes status = Cmd(0x65, 0);
  const Bytes type = Cmd(0x60, 0);
  const Case cases[] = {
      {"nak", {Make(FaultKind::kNak)}, status, 1 * kS, false,
       [](const auto&, const Bytes& all) { EXPECT_EQ(all, (Bytes{0x10, 0x02, 0x15, 0x15, 0x10, 0x03})); }},
      {"bad check", {Make(FaultKind::kBadCheck)}, status, 1 * kS, true,
       [](const auto&, const Bytes& all) {
         bool bad = false;
         EXPECT_FALSE(FirstFrame(all, &bad).has_value());
         EXPECT_TRUE(bad);
       }},
      {"noise", {Make(FaultKind::kNoise, 0, 12)}, status, 1 * kS, true,
       [](const auto&, const Bytes& all) {
         ASSERT_GE(all.size(), 14u);
         for (std::size_t i = 0; i < 12; ++i) EXPECT_NE(all[i], 0x10);
         EXPECT_EQ(all[12], 0x10);
         EXPECT_EQ(all[13], 0x02);
         EXPECT_EQ(FirstFrame(all).value_or(Bytes{}).at(0), 0x61);
       }},
      {"split at random, 2.5 s apart", {Make(FaultKind::kSplit, 2500 * kMs)}, type, 30 * kS, true,
       [](const std::vector<Received>& r, const Bytes& all) {
         EXPECT_EQ(FirstFrame(all).value_or(Bytes{}).size(), 20u);
         ASSERT_GE(r.size(), 2u);
         EXPECT_GE(r[1].time - r[0].time, 2500 * kMs);  // between DLE and STX
         EXPECT_GE(LongestGap(r).first, 2500 * kMs);
       }},
      {"split in 3-byte chunks", {Make(FaultKind::kSplit, 100 * kMs, 3)}, type, 10 * kS, true,
       [](const std::vector<Received>& r, const Bytes& all) {
         EXPECT_TRUE(FirstFrame(all).has_value());
         for (std::size_t i = 3; i < r.size(); i += 3) EXPECT_GE(r[i].time - r[i - 1].time, 100 * kMs);
       }},
      {"delay past 60 s", {Make(FaultKind::kDelay, 61 * kS)}, status, 70 * kS, true,
       [](const std::vector<Received>& r, const Bytes& all) {
         EXPECT_TRUE(FirstFrame(all).has_value());
       }},
      {"delay past 300 s", {Make(FaultKind::kDelay, 301 * kS)}, status, 310 * kS, true,
       [](const std::vector<Received>&, const Bytes& all) { EXPECT_TRUE(FirstFrame(all).has_value()); }},
      {"silence", {Make(FaultKind::kSilence)}, status, 400 * kS, false,
       [](const std::vector<Received>& r, const Bytes&) { EXPECT_TRUE(r.empty()); }},
      {"endless", {Make(FaultKind::kEndless, 0, 3000)}, status, 10 * kS, true,
       [](const std::vector<Received>& r, const Bytes& all) {
         ASSERT_EQ(all.size(), 3002u);
         EXPECT_EQ(all[0], 0x10);
         for (std::size_t i = 2; i < all.size(); ++i) ASSERT_NE(all[i], 0x10);
         EXPECT_LT(LongestGap(r).first, 2 * kMs);  // no pause for a 2 s time-out to end
       }},
      {"oversize", {Make(FaultKind::kOversize, 0, 1100)}, status, 10 * kS, true,
       [](const std::vector<Received>&, const Bytes& all) {
         EXPECT_GT(all.size(), 1048u);
         Bytes p = FirstFrame(all).value_or(Bytes{});
         ASSERT_EQ(p.size(), 1100u);
         EXPECT_EQ(DataOf(p).size(), 1096u);
       }},
      {"wrong length", {Make(FaultKind::kWrongLength, 0, 0, 5)}, type, 1 * kS, true,
       [](const std::vector<Received>&, const Bytes& all) {
         Bytes p = FirstFrame(all).value_or(Bytes{});
         ASSERT_EQ(p.size(), 20u);
         EXPECT_EQ(p[3], 16 + 5);
       }},
      {"noise and split together", {Make(FaultKind::kNoise, 0, 4), Make(FaultKind::kSplit, 0, 5)}, type,
       10 * kS, true, [](const std::vector<Received>&, const Bytes& all) {
         EXPECT_EQ(FirstFrame(all).value_or(Bytes{}).size(), 20u);
       }},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reader->QueueFaults(c.faults);
    std::uint64_t before = reader->CommandsCarriedOut();
    line.received.clear();
    line.HostWrite(Frame(c.command));
    clock.RunFor(c.wait);
    c.check(line.received, line.ReceivedBytes());
    EXPECT_EQ(reader->CommandsCarriedOut() - before, c.carriedOut ? 1u : 0u);
    // The fault was for one reply only.
    EXPECT_EQ(Must(status).at(0), 0x61);
  }
}

TEST_F(SimTest, ReplyDelayReachesTheFirstByteTimeOut) {
  Start();
  reader->QueueFault(Make(FaultKind::kDelay, 61 * kS));
  line.received.clear();
  vk::Nanos sent = clock.Now();
  line.HostWrite(Frame(Cmd(0x65, 0)));
  clock.RunFor(100 * kS, [&] { return HasFrame(); });
  ASSERT_FALSE(line.received.empty());
  EXPECT_GE(line.received.front().time - sent, 61 * kS);
}

TEST_F(SimTest, FaultFiltersAndLongAtrAndUnplug) {
  Start();
  Fault onType = Make(FaultKind::kBadCheck);
  onType.letter = 0x60;
  reader->QueueFault(onType);
  Fault longAtr = Make(FaultKind::kLongAtr, 0, 80);
  longAtr.slot = 1;
  reader->QueueFault(longAtr);
  EXPECT_TRUE(Ask(Cmd(0x65, 0)).has_value());  // not the filtered letter
  EXPECT_EQ(DataOf(PowerUp(0)).size(), 1 + sim::MakeT0Card()->Atr().size());
  EXPECT_EQ(DataOf(PowerUp(1)).size(), 81u);  // card-type byte and 80 ATR bytes
  EXPECT_FALSE(Ask(Cmd(0x60, 0)).has_value());
  EXPECT_TRUE(Ask(Cmd(0x60, 0)).has_value());

  reader->QueueFault(Make(FaultKind::kUnplug));
  EXPECT_FALSE(Ask(Cmd(0x65, 0), 2 * kS).has_value());
  EXPECT_FALSE(line.Dsr());
  EXPECT_FALSE(line.Cts());
}

TEST_F(SimTest, FaultRatesRepeatFromTheSeed) {
  auto run = [](std::uint64_t seed) {
    VirtualClock c;
    TestLine l{c};
    sim::ReaderConfig config;
    config.seed = seed;
    sim::Reader r(l, config);
    r.SetFaultRate(Make(FaultKind::kNak), 0.3);
    r.SetFaultRate(Make(FaultKind::kSplit, 20 * kMs), 0.3);
    l.SetHostLines(true, true);
    c.RunFor(3 * kS);
    std::vector<std::string> outcome;
    for (int i = 0; i < 40; ++i) {
      l.received.clear();
      l.HostWrite(Frame(Cmd(0x65, 0)));
      c.RunFor(2 * kS);
      Bytes all = l.ReceivedBytes();
      std::optional<Bytes> p = FirstFrame(all);
      std::string s = !p ? "none" : (*p == Bytes{0x15}) ? "nak" : "ok";
      s += std::to_string(LongestGap(l.received).first / kMs);
      outcome.push_back(s);
    }
    return outcome;
  };
  std::vector<std::string> a = run(7), b = run(7), c = run(8);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  int naks = 0, splits = 0;
  for (const std::string& s : a) {
    naks += s.rfind("nak", 0) == 0;
    splits += s.rfind("ok", 0) == 0 && s != "ok0";
  }
  EXPECT_GT(naks, 3);
  EXPECT_GT(splits, 3);
}

TEST_F(SimTest, CommandsArrivingWhileTheReaderIsBusyAreIgnored) {
  Start();
  reader->QueueFault(Make(FaultKind::kDelay, 5 * kS));
  line.HostWrite(Frame(Cmd(0x60, 0)));
  clock.RunFor(1 * kS);
  line.HostWrite(Frame(Cmd(0x65, 0)));
  clock.RunFor(10 * kS);
  Bytes all = line.ReceivedBytes();
  std::size_t end = 0;
  std::optional<Bytes> first = FirstFrame(all, nullptr, &end);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ((*first)[0], 0x60);
  EXPECT_EQ(end, all.size());  // and nothing after it
}

TEST_F(SimTest, HostileInputNeverBreaksTheReader) {
  sim::ReaderConfig config = Config(sim::MakeDualCard());
  config.seed = 99;
  Start(config);
  reader->SetFaultRate(Make(FaultKind::kSplit, 1 * kMs), 0.1);
  reader->SetFaultRate(Make(FaultKind::kWrongLength, 0, 0, -3), 0.05);
  sim::Rng rng(2024);
  const std::uint8_t letters[] = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x67, 0x6B, 0x10, 0x15, 0x00};
  for (int round = 0; round < 400; ++round) {
    Bytes wire;
    switch (rng.Below(4)) {
      case 0: {  // bytes at random, DLEs frequent
        std::size_t n = rng.Below(300);
        for (std::size_t i = 0; i < n; ++i) wire.push_back(rng.Chance(0.2) ? 0x10 : rng.Byte());
        break;
      }
      case 1: {  // a framed command with random arguments
        Bytes p = {letters[rng.Below(sizeof letters)], static_cast<std::uint8_t>(rng.Below(3)), 0x00};
        std::size_t n = rng.Below(40);
        for (std::size_t i = 0; i < n; ++i) p.push_back(rng.Byte());
        wire = Frame(p);
        break;
      }
      case 2: {  // a well-formed block command with a random block
        Bytes block;
        std::size_t n = rng.Below(280);
        for (std::size_t i = 0; i < n; ++i) block.push_back(rng.Byte());
        if (rng.Chance(0.3) && !block.empty()) block[0] = 0xFF;
        wire = Frame(BlockCmd(rng.Chance(0.5) ? 0x67 : 0x6B, static_cast<std::uint8_t>(rng.Below(2)), block));
        break;
      }
      case 3: {  // a frame far beyond what the reader keeps
        Bytes p(5000, 0x41);
        wire = Frame(p);
        break;
      }
    }
    if (rng.Chance(0.05)) line.SetHostRate(rng.Chance(0.5) ? 9600 : 19200);
    if (rng.Chance(0.03)) line.SetHostLines(false, true), line.SetHostLines(true, true);
    line.HostWrite(wire);
    clock.RunFor(30 * kS, [&] { return line.Idle(); });
    clock.RunFor(static_cast<vk::Nanos>(rng.Below(400)) * kMs);
  }
  // Afterwards it still answers, at its own rate.
  reader->ClearFaults();
  clock.RunFor(400 * kS);  // every late reply is out
  line.SetHostRate(line.Rate());
  line.SetHostLines(false, true);
  line.SetHostLines(true, true);
  clock.RunFor(20 * kS);
  EXPECT_EQ(Must(Cmd(0x65, 0)).at(0), 0x61);
}

TEST_F(SimTest, TraceNamesCommandsRepliesAndEvents) {
  Start();
  reader->GetTrace().Clear();
  std::vector<std::string> lines;
  reader->GetTrace().SetSink([&](const sim::TraceEntry& e) { lines.push_back(sim::Trace::Format(e)); });
  Must(Cmd(0x60, 0));
  reader->RemoveCard(0);
  const auto& entries = reader->GetTrace().Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].direction, sim::Direction::kHostToReader);
  EXPECT_EQ(entries[0].name, "READER_TYPE");
  EXPECT_EQ(entries[0].raw, Frame(Cmd(0x60, 0)));
  EXPECT_EQ(entries[1].direction, sim::Direction::kReaderToHost);
  EXPECT_EQ(entries[1].name, "TYPE");
  EXPECT_EQ(entries[1].raw.size(), line.received.size());
  EXPECT_GE(entries[1].time, entries[0].time);
  EXPECT_EQ(entries[2].name, "REMOVE");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("H>R READER_TYPE slot=0 | 10 02 60 00 00 60 10 03"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("R>H TYPE len=16 data=56 58 37"), std::string::npos) << lines[1];
}

}  // namespace
}  // namespace simtest
