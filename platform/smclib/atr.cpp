// Answer-to-reset analysis (ISO/IEC 7816-3, 8.2 and 8.3) and the choice of
// the rate for the PTS. Pure computation: no kernel call, so that the
// command-line program and the fuzzers can use it as it is.
#include <cstring>

#include "platform/smclib.h"
#include "vk/atr_analysis.h"

namespace vk::smclib {

namespace {

constexpr std::uint32_t kF[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
constexpr std::uint32_t kFmax[16] = {4000, 5000, 6000, 8000, 12000, 16000, 20000, 0,
                                     0,    5000, 7500, 10000, 15000, 20000, 0,   0};
constexpr std::uint32_t kD[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::uint8_t ReverseBits(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (b & (1u << i)) r = static_cast<std::uint8_t>(r | (0x80u >> i));
  return r;
}

// Rate in bit/s of F and D at a clock in kHz.
std::uint32_t Rate(std::uint32_t clockKhz, std::uint32_t f, std::uint32_t d) {
  if (f == 0) return 0;
  return static_cast<std::uint32_t>(std::uint64_t(clockKhz) * 1000u * d / f);
}

// A rate counts as the listed one within 2 %: 3.571 MHz / 372 gives 9599.
bool RateListed(const AtrReader& reader, std::uint32_t rate) {
  if (rate == 0) return false;
  if (reader.dataRates.empty()) return reader.maxDataRate == 0 || rate <= reader.maxDataRate + reader.maxDataRate / 50;
  for (std::uint32_t listed : reader.dataRates) {
    std::uint64_t diff = rate > listed ? rate - listed : listed - rate;
    if (diff * 50 <= listed) return true;
  }
  return false;
}

std::uint32_t NanosToMicrosUp(std::uint64_t ns) {
  std::uint64_t us = (ns + 999) / 1000;
  return us > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(us);
}

AtrAnalysis Refuse(AtrAnalysis a, const char* why) {
  a.valid = false;
  a.status = STATUS_UNRECOGNIZED_MEDIA;
  a.error = why;
  return a;
}

}  // namespace

std::uint32_t FValue(std::uint8_t fi) { return kF[fi & 0x0F]; }
std::uint32_t FmaxKhz(std::uint8_t fi) { return kFmax[fi & 0x0F]; }
std::uint32_t DValue(std::uint8_t di) { return kD[di & 0x0F]; }

AtrAnalysis AnalyzeAtr(std::span<const std::uint8_t> atr, const AtrReader& reader) {
  AtrAnalysis a;
  if (atr.size() < 2) return Refuse(a, "shorter than TS and T0");
  if (atr.size() > kMaxAtrLength) return Refuse(a, "longer than 33 bytes");

  std::uint8_t b[kMaxAtrLength];
  const std::size_t len = atr.size();
  std::memcpy(b, atr.data(), len);
  if (b[0] == 0x03) {  // inverse convention read as direct: decode every byte
    a.rawInverse = true;
    for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(~ReverseBits(b[i]));
  }
  a.ts = b[0];
  if (a.ts == 0x3F) a.inverse = true;
  else if (a.ts != 0x3B) return Refuse(a, "TS is neither 3B nor 3F");
  a.t0 = b[1];

  // Interface bytes, level by level. levelProtocol[i] is the protocol that
  // the bytes of level i+1 belong to (the T of TDi); levels 1 and 2 are global.
  int levelProtocol[kMaxLevels + 1] = {};
  std::size_t pos = 2;
  std::uint8_t y = static_cast<std::uint8_t>(a.t0 >> 4);
  bool hasTd1 = false;
  for (std::size_t i = 0;; ++i) {
    if (i >= kMaxLevels) {
      if (y) return Refuse(a, "too many interface levels");
      break;
    }
    AtrAnalysis::Level& lv = a.level[i];
    a.levels = i + 1;
    if (y & 0x1) {
      if (pos >= len) return Refuse(a, "cut short in the interface bytes");
      lv.hasTa = true;
      lv.ta = b[pos++];
    }
    if (y & 0x2) {
      if (pos >= len) return Refuse(a, "cut short in the interface bytes");
      lv.hasTb = true;
      lv.tb = b[pos++];
    }
    if (y & 0x4) {
      if (pos >= len) return Refuse(a, "cut short in the interface bytes");
      lv.hasTc = true;
      lv.tc = b[pos++];
    }
    if (!(y & 0x8)) break;
    if (pos >= len) return Refuse(a, "cut short in the interface bytes");
    lv.hasTd = true;
    lv.td = b[pos++];
    int t = lv.td & 0x0F;
    a.offered = static_cast<std::uint16_t>(a.offered | (1u << t));
    if (i == 0) {
      hasTd1 = true;
      a.firstProtocol = t;
    }
    levelProtocol[i + 1] = t;
    y = static_cast<std::uint8_t>(lv.td >> 4);
  }
  if (!hasTd1) a.offered = 1;

  a.historicalLength = static_cast<std::uint8_t>(a.t0 & 0x0F);
  if (len - pos < a.historicalLength) return Refuse(a, "cut short in the historical bytes");
  std::memcpy(a.historical, b + pos, a.historicalLength);
  pos += a.historicalLength;

  a.tckNeeded = (a.offered & ~1u) != 0;
  if (pos < len) {
    a.tckPresent = true;
    a.tck = b[pos];
    std::uint8_t x = 0;
    for (std::size_t i = 1; i <= pos; ++i) x ^= b[i];
    a.tckOk = x == 0;
    ++pos;
  }
  a.length = pos;
  if (a.tckNeeded && !a.tckPresent) return Refuse(a, "TCK missing");
  if (a.tckNeeded && !a.tckOk) return Refuse(a, "TCK wrong");
  if (pos != len) return Refuse(a, "bytes beyond the answer-to-reset");

  // Global interface bytes.
  const AtrAnalysis::Level& l1 = a.level[0];
  if (l1.hasTa) {
    a.fi = static_cast<std::uint8_t>(l1.ta >> 4);
    a.di = static_cast<std::uint8_t>(l1.ta & 0x0F);
  }
  a.f = FValue(a.fi);
  a.d = DValue(a.di);
  a.fmaxKhz = FmaxKhz(a.fi);
  if (l1.hasTb) {
    a.ii = static_cast<std::uint8_t>((l1.tb >> 5) & 0x03);
    a.pi1 = static_cast<std::uint8_t>(l1.tb & 0x1F);
  }
  if (l1.hasTc) a.n = l1.tc;
  if (a.levels > 1) {
    const AtrAnalysis::Level& l2 = a.level[1];
    if (l2.hasTa) {
      a.specific = true;
      a.specificProtocol = static_cast<std::uint8_t>(l2.ta & 0x0F);
      a.specificImplicit = (l2.ta & 0x10) != 0;
      a.canChangeMode = (l2.ta & 0x80) == 0;
    }
    if (l2.hasTc) {
      if (l2.tc == 0) return Refuse(a, "TC2 (WI) is 0");
      a.wi = l2.tc;
    }
  }
  // Protocol-specific bytes: the first of each kind for T=1, from level 3 on.
  bool ta1Seen = false, tb1Seen = false, tc1Seen = false;
  for (std::size_t i = 2; i < a.levels; ++i) {
    if (levelProtocol[i] != 1) continue;
    const AtrAnalysis::Level& lv = a.level[i];
    if (lv.hasTa && !ta1Seen) {
      ta1Seen = true;
      if (lv.ta == 0x00 || lv.ta == 0xFF) return Refuse(a, "IFSC 00 or FF");
      a.ifsc = lv.ta;
    }
    if (lv.hasTb && !tb1Seen) {
      tb1Seen = true;
      a.bwi = static_cast<std::uint8_t>(lv.tb >> 4);
      a.cwi = static_cast<std::uint8_t>(lv.tb & 0x0F);
    }
    if (lv.hasTc && !tc1Seen) {
      tc1Seen = true;
      a.edc = static_cast<std::uint8_t>(lv.tc & 0x01);
    }
  }

  // Protocols and mode.
  if (a.specific) {
    a.state = SCARD_SPECIFIC;
    if (a.specificProtocol == 0) a.protocols = SCARD_PROTOCOL_T0;
    else if (a.specificProtocol == 1) a.protocols = SCARD_PROTOCOL_T1;
  } else {
    a.state = SCARD_NEGOTIABLE;
    if (a.offered & 0x1) a.protocols |= SCARD_PROTOCOL_T0;
    if (a.offered & 0x2) a.protocols |= SCARD_PROTOCOL_T1;
  }

  // Rate: in specific mode the one in force; otherwise the highest that
  // both the card (F = Fi, D up to Di) and the reader allow, else the default.
  std::uint32_t clock = reader.clockKhz ? reader.clockKhz : 3571;
  a.clockKhz = clock;
  std::uint8_t fl = 1, dl = 1;
  if (a.specific) {
    if (!a.specificImplicit) {
      if (a.f == 0 || a.d == 0) return Refuse(a, "specific mode with reserved TA1");
      fl = a.fi;
      dl = a.di;
    }
  } else if (a.f != 0 && a.d != 0 && clock <= a.fmaxKhz) {
    std::uint32_t best = 0;
    for (std::uint8_t x = 1; x <= 9; ++x) {
      std::uint32_t dx = DValue(x);
      if (dx == 0 || dx > a.d) continue;
      std::uint32_t rate = Rate(clock, a.f, dx);
      if (RateListed(reader, rate) && rate > best) {
        best = rate;
        fl = a.fi;
        dl = x;
      }
    }
  }
  a.ptsFl = fl;
  a.ptsDl = dl;
  const std::uint32_t F = FValue(fl), D = DValue(dl);
  a.ptsRate = Rate(clock, F, D);
  a.rateSupported = RateListed(reader, a.ptsRate);

  // Times at that rate, computed in nanoseconds and rounded up to µs.
  const std::uint64_t etuNs = std::uint64_t(F) * 1000000u / (std::uint64_t(D) * clock);
  a.etuUs = NanosToMicrosUp(etuNs);
  std::uint64_t gtEtu;
  if (a.n == 0xFF) gtEtu = (a.protocols == SCARD_PROTOCOL_T1) ? 11 : 12;
  else gtEtu = 12u + a.n;
  a.gtUs = NanosToMicrosUp(gtEtu * etuNs);
  a.wtUs = NanosToMicrosUp(std::uint64_t(a.wi) * 960u * F * 1000000u / clock);
  a.cwtUs = NanosToMicrosUp((11u + (std::uint64_t(1) << a.cwi)) * etuNs);
  a.bwtUs = NanosToMicrosUp(11u * etuNs + (std::uint64_t(1) << a.bwi) * 960u * 372u * 1000000u / clock);

  a.valid = true;
  a.status = STATUS_SUCCESS;
  a.error = "";
  return a;
}

}  // namespace vk::smclib
