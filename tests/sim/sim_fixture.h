// A simulated reader on an in-memory line, and a scripted host for it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "sim/reader.h"
#include "test_line.h"

namespace simtest {

constexpr vk::Nanos kMs = vk::kMillisecond;
constexpr vk::Nanos kS = vk::kSecond;

inline Bytes Cmd(std::uint8_t letter, std::uint8_t slot) { return Bytes{letter, slot, 0x00}; }

inline Bytes Cmd(std::uint8_t letter, std::uint8_t slot, const Bytes& args) {
  Bytes p(3 + args.size());
  p[0] = letter;
  p[1] = slot;
  for (std::size_t i = 0; i < args.size(); ++i) p[3 + i] = args[i];
  return p;
}

inline Bytes BlockCmd(std::uint8_t letter, std::uint8_t slot, const Bytes& block) {
  Bytes p(5 + block.size());
  p[0] = letter;
  p[1] = slot;
  p[3] = static_cast<std::uint8_t>(block.size() >> 8);
  p[4] = static_cast<std::uint8_t>(block.size());
  std::copy(block.begin(), block.end(), p.begin() + 5);
  return p;
}

// Data of a data reply, by its own length field.
inline Bytes DataOf(const Bytes& reply) {
  if (reply.size() < 4) return {};
  std::size_t n = static_cast<std::size_t>(reply[2] << 8 | reply[3]);
  if (reply.size() < 4 + n) return {};
  return Bytes(reply.begin() + 4, reply.begin() + 4 + static_cast<long>(n));
}

// A T=1 block as the host builds it.
inline Bytes T1(std::uint8_t pcb, const Bytes& inf, bool crc = false) {
  Bytes b(3 + inf.size());
  b[1] = pcb;
  b[2] = static_cast<std::uint8_t>(inf.size());
  std::copy(inf.begin(), inf.end(), b.begin() + 3);
  if (crc) {
    std::uint16_t c = 0xFFFF;
    for (std::uint8_t x : b) {
      c ^= x;
      for (int i = 0; i < 8; ++i) c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0x8408) : static_cast<std::uint16_t>(c >> 1);
    }
    b.push_back(static_cast<std::uint8_t>(c >> 8));
    b.push_back(static_cast<std::uint8_t>(c));
  } else {
    std::uint8_t x = 0;
    for (std::uint8_t y : b) x ^= y;
    b.push_back(x);
  }
  return b;
}

inline Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes c(a.size() + b.size());
  std::copy(a.begin(), a.end(), c.begin());
  std::copy(b.begin(), b.end(), c.begin() + static_cast<long>(a.size()));
  return c;
}

class SimTest : public ::testing::Test {
 protected:
  static sim::ReaderConfig Config(std::shared_ptr<sim::Card> user = sim::MakeT0Card(),
                                  std::string firmware = "0011") {
    sim::ReaderConfig c;
    c.firmware = std::move(firmware);
    c.userCard = std::move(user);
    c.sam = sim::MakeSam();
    return c;
  }

  // Builds the reader, raises DTR and RTS and lets it boot.
  void Start(sim::ReaderConfig config = Config()) {
    reader = std::make_unique<sim::Reader>(line, std::move(config));
    line.SetHostLines(true, true);
    clock.RunFor(3 * kS);
  }

  // True once the bytes received hold a complete frame (good or not).
  bool HasFrame() const {
    bool bad = false;
    Bytes all = line.ReceivedBytes();
    return FirstFrame(all, &bad).has_value() || bad;
  }

  // Sends one command frame and waits for a reply frame. Nothing when no good
  // frame came within `wait`.
  std::optional<Bytes> Ask(const Bytes& payload, vk::Nanos wait = 10 * kS) {
    line.received.clear();
    line.HostWrite(Frame(payload));
    clock.RunFor(wait, [&] { return HasFrame(); });
    Bytes all = line.ReceivedBytes();
    return FirstFrame(all);
  }

  Bytes Must(const Bytes& payload, vk::Nanos wait = 10 * kS) {
    std::optional<Bytes> r = Ask(payload, wait);
    EXPECT_TRUE(r.has_value()) << "no reply to " << sim::Hex(payload);
    return r.value_or(Bytes{});
  }

  // Card exchange data, or nothing when the reply is not a data reply.
  Bytes Exchange(std::uint8_t slot, const Bytes& toCard) {
    Bytes r = Must(BlockCmd(0x67, slot, toCard));
    EXPECT_FALSE(r.empty());
    if (r.empty() || r[0] != 0x64) return {};
    return DataOf(r);
  }

  Bytes PowerUp(std::uint8_t slot) { return Must(Cmd(0x62, slot)); }

  // Power up and parameters: T=0 (flags 0x00) or T=1 (flags 0x10 | extra).
  void Select(std::uint8_t slot, std::uint8_t flags, std::uint8_t bwiCwi = 0x4D) {
    PowerUp(slot);
    bool t1 = flags & 0x10;
    Bytes r = Must(Cmd(0x61, slot, {flags, 0x03, static_cast<std::uint8_t>(t1 ? 0 : 20),
                                    static_cast<std::uint8_t>(t1 ? bwiCwi : 0), 0x00}));
    ASSERT_FALSE(r.empty());
    ASSERT_EQ(r[0], 0x62);
  }

  VirtualClock clock;
  TestLine line{clock};
  std::unique_ptr<sim::Reader> reader;
};

}  // namespace simtest
