// Answer-to-reset analysis: ISO/IEC 7816-3 structures and cards of several
// kinds, the rate chosen for a serial reader, and the refusal of malformed
// answers.
#include <gtest/gtest.h>

#include <string>

#include "slot.h"
#include "vk/atr_analysis.h"

using vk::smclib::AnalyzeAtr;
using vk::smclib::AtrAnalysis;
using vk::smclib::AtrReader;

namespace {

const std::uint32_t kRates[] = {9600, 19200, 38400};
AtrReader Reader() {
  AtrReader r;
  r.dataRates = kRates;
  return r;
}

AtrAnalysis Analyze(const std::vector<std::uint8_t>& atr, const AtrReader& reader = Reader()) {
  return AnalyzeAtr(std::span<const std::uint8_t>(atr.data(), atr.size()), reader);
}

// The fixed answer a memory card is reported with: TA1 18, T=0 and T=1, 15 historical bytes.
const std::vector<std::uint8_t> kMemoryCardAtr = {0x3B, 0xBF, 0x18, 0x00, 0x80, 0x31, 0x70, 0x35,
                                                  0x53, 0x54, 0x41, 0x52, 0x43, 0x4F, 0x53, 0x20,
                                                  0x53, 0x32, 0x31, 0x20, 0x43, 0x90, 0x00, 0x9B};

struct Known {
  const char* name;
  std::vector<std::uint8_t> atr;
  bool inverse;
  std::uint32_t protocols;
  std::uint32_t state;
  std::uint8_t fi, di, ptsFl, ptsDl;
  std::uint8_t n, wi, ifsc, bwi, cwi, edc;
  size_t historical;
};

class KnownAtr : public ::testing::TestWithParam<Known> {};

TEST_P(KnownAtr, ParsesAndChoosesRate) {
  const Known& k = GetParam();
  AtrAnalysis a = Analyze(k.atr);
  ASSERT_TRUE(a.valid) << a.error;
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(a.inverse, k.inverse);
  EXPECT_EQ(a.protocols, k.protocols);
  EXPECT_EQ(a.state, k.state);
  EXPECT_EQ(a.fi, k.fi);
  EXPECT_EQ(a.di, k.di);
  EXPECT_EQ(a.ptsFl, k.ptsFl);
  EXPECT_EQ(a.ptsDl, k.ptsDl);
  EXPECT_TRUE(a.rateSupported);
  EXPECT_EQ(a.n, k.n);
  EXPECT_EQ(a.wi, k.wi);
  EXPECT_EQ(a.ifsc, k.ifsc);
  EXPECT_EQ(a.bwi, k.bwi);
  EXPECT_EQ(a.cwi, k.cwi);
  EXPECT_EQ(a.edc, k.edc);
  EXPECT_EQ(a.historicalLength, k.historical);
  EXPECT_EQ(a.length, k.atr.size());
}

constexpr auto T0 = SCARD_PROTOCOL_T0;
constexpr auto T1 = SCARD_PROTOCOL_T1;
constexpr auto NEG = SCARD_NEGOTIABLE;
constexpr auto SPEC = SCARD_SPECIFIC;

INSTANTIATE_TEST_SUITE_P(
    Cards, KnownAtr,
    ::testing::Values(
        // Smallest structure: T0 only, two historical bytes, T=0 implied.
        Known{"MinimalT0", {0x3B, 0x02, 0x14, 0x50}, false, T0, NEG, 1, 1, 1, 1, 0, 10, 32, 4, 13, 0, 2},
        // Inverse convention, TB1 and TC1 (N = 8), T=0 only.
        Known{"InverseT0", {0x3F, 0x65, 0x25, 0x08, 0x36, 0x04, 0x6C, 0x90, 0x00}, true, T0, NEG, 1, 1, 1, 1, 8,
              10, 32, 4, 13, 0, 5},
        // T=0 and T=1 with TA1 18 (D = 12): 38400 bit/s is the best the reader lists (D = 4).
        Known{"DualTa118", kMemoryCardAtr, false, T0 | T1, NEG, 1, 8, 1, 3, 0, 10, 0x70, 3, 5, 0, 15},
        // T=1 only, IFSC 254, BWI 4, CWI 5, TCK.
        Known{"T1Only",
              smct::WithTck({0x3B, 0xE9, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x4A, 0x43, 0x4F, 0x50, 0x34, 0x31,
                             0x56, 0x32, 0x32}),
              false, T1, NEG, 1, 1, 1, 1, 0, 10, 0xFE, 4, 5, 0, 9},
        // T=1 with CRC (TC3 bit 0) and TC1 = FF.
        Known{"T1Crc", smct::WithTck({0x3B, 0xC0 | 0x03, 0xFF, 0x81, 0x71, 0x20, 0x45, 0x01, 0xAA, 0xBB, 0xCC}),
              false, T1, NEG, 1, 1, 1, 1, 0xFF, 10, 0x20, 4, 5, 1, 3},
        // Specific mode (TA2 = 00: T=0 with the TA1 rate in force), TC2 = WI 0x20.
        Known{"SpecificT0", {0x3B, 0x94, 0x13, 0x50, 0x00, 0x20, 0x41, 0x42, 0x43, 0x44}, false, T0, SPEC, 1, 3, 1,
              3, 0, 0x20, 32, 4, 13, 0, 4},
        // Specific mode with implicit parameters (TA2 bit 5): the default rate.
        Known{"SpecificImplicit", smct::WithTck({0x3B, 0x90, 0x96, 0x91, 0x11, 0x01}), false, T1, SPEC, 9, 6, 1, 1,
              0, 10, 32, 4, 13, 0, 0},
        // TA1 96 (F = 512, D = 32): no rate of the reader fits, the default stays.
        Known{"Ta1AboveReader", {0x3B, 0x12, 0x96, 0x01, 0x02}, false, T0, NEG, 9, 6, 1, 1, 0, 10, 32, 4, 13, 0,
              2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AtrAnalysis, RawInverseBytesAreDecoded) {
  // The inverse-convention answer above as it appears on the line read in
  // direct convention: each byte bit-reversed and complemented.
  const std::vector<std::uint8_t> decoded = {0x3F, 0x65, 0x25, 0x08, 0x36, 0x04, 0x6C, 0x90, 0x00};
  std::vector<std::uint8_t> raw;
  for (std::uint8_t b : decoded) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
      if (b & (1 << i)) r |= std::uint8_t(0x80 >> i);
    raw.push_back(std::uint8_t(~r));
  }
  ASSERT_EQ(raw[0], 0x03);
  AtrAnalysis a = Analyze(raw);
  ASSERT_TRUE(a.valid) << a.error;
  EXPECT_TRUE(a.rawInverse);
  EXPECT_TRUE(a.inverse);
  EXPECT_EQ(a.n, 8);
  EXPECT_EQ(std::vector<std::uint8_t>(a.historical, a.historical + a.historicalLength),
            (std::vector<std::uint8_t>{0x36, 0x04, 0x6C, 0x90, 0x00}));
}

TEST(AtrAnalysis, RateFollowsTheReadersList) {
  // TA1 13 (D = 4) runs at 38400 bit/s; a reader listing only 9600 keeps D = 1.
  const std::vector<std::uint8_t> atr = {0x3B, 0x12, 0x13, 0x01, 0x02};
  EXPECT_EQ(Analyze(atr).ptsDl, 3);
  EXPECT_EQ(Analyze(atr).ptsRate, 38397u);
  AtrReader slow;
  const std::uint32_t only9600[] = {9600};
  slow.dataRates = only9600;
  EXPECT_EQ(Analyze(atr, slow).ptsDl, 1);
  // TA1 94 (F = 512, D = 8) at 3.571 MHz: no D up to 8 gives a listed rate.
  EXPECT_EQ(Analyze({0x3B, 0x10, 0x94}).ptsFl, 1);
}

TEST(AtrAnalysis, TimesAtTheDefaultRate) {
  // BWI 4, CWI 13, N 0 at F 372, D 1, 3.571 MHz: etu 104.17 µs.
  AtrAnalysis a = Analyze(smct::WithTck({0x3B, 0x80, 0x81, 0x31, 0x20, 0x4D}));
  ASSERT_TRUE(a.valid) << a.error;
  EXPECT_NEAR(a.gtUs, 1251, 2);        // 12 etu
  EXPECT_NEAR(a.cwtUs, 854523, 2);     // (11 + 2^13) etu
  EXPECT_NEAR(a.bwtUs, 1601236, 2);    // 11 etu + 2^4 * 960 * 372 / f
  EXPECT_NEAR(a.wtUs, 1000057, 2);     // 960 * WI(10) * F / f
  // N = 255 under T=1 alone: the minimum guard time of 11 etu.
  AtrAnalysis b = Analyze(smct::WithTck({0x3B, 0xC0, 0xFF, 0x81, 0x31, 0x20, 0x4D}));
  ASSERT_TRUE(b.valid) << b.error;
  EXPECT_NEAR(b.gtUs, 1146, 2);
}

struct Bad {
  const char* name;
  std::vector<std::uint8_t> atr;
};

class MalformedAtr : public ::testing::TestWithParam<Bad> {};

TEST_P(MalformedAtr, IsRefused) {
  AtrAnalysis a = Analyze(GetParam().atr);
  EXPECT_FALSE(a.valid);
  EXPECT_EQ(a.status, STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_STRNE(a.error, "");
}

std::vector<std::uint8_t> Long34() {
  std::vector<std::uint8_t> atr = {0x3B, 0x0F};
  atr.resize(34, 0x41);
  return atr;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedAtr,
    ::testing::Values(Bad{"Empty", {}}, Bad{"OnlyTs", {0x3B}}, Bad{"BadTs", {0x3A, 0x00}},
                      Bad{"CutInInterfaceBytes", {0x3B, 0x80}}, Bad{"CutInTd", {0x3B, 0x80, 0x81}},
                      Bad{"CutInHistorical", {0x3B, 0x05, 0x01, 0x02}},
                      Bad{"T1WithoutTck", {0x3B, 0x80, 0x01}}, Bad{"T1WrongTck", {0x3B, 0x80, 0x01, 0x80}},
                      Bad{"TwoExtraBytes", {0x3B, 0x00, 0x00, 0x00}}, Bad{"Longer33", Long34()},
                      Bad{"IfscFF", smct::WithTck({0x3B, 0x80, 0x81, 0x11, 0xFF})},
                      Bad{"WiZero", {0x3B, 0x80, 0x40, 0x00}},
                      Bad{"SpecificReservedTa1", {0x3B, 0x90, 0x70, 0x10, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AtrAnalysis, ThirtyThreeBytesIsTheLimit) {
  std::vector<std::uint8_t> atr = {0x3B, 0x0F};
  atr.resize(17, 0x41);  // TS T0 and 15 historical bytes
  EXPECT_TRUE(Analyze(atr).valid);
  // 33 bytes with interface levels: TD chains filling the answer.
  std::vector<std::uint8_t> full = {0x3B, 0x8F};
  for (int i = 0; i < 15; ++i) full.push_back(0x80);  // TD1..TD15, T=0 each, each announcing the next
  full.push_back(0x00);                                // TD16: nothing follows
  // 2 + 16 = 18 bytes, plus 15 historical bytes = 33.
  full.resize(33, 0x41);
  EXPECT_TRUE(Analyze(full).valid) << Analyze(full).error;
  full.push_back(0x41);
  EXPECT_FALSE(Analyze(full).valid);
}

// The library record gets what the analysis found.
class UpdateCapabilities : public vkt::SystemTest {};

TEST_F(UpdateCapabilities, FillsTheCardCapabilities) {
  sys().Run([&] {
    smct::Slot slot;
    ASSERT_EQ(slot.Init(), STATUS_SUCCESS);
    slot.ext.ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
    slot.SetAtr(kMemoryCardAtr);
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&slot.ext), STATUS_SUCCESS);
    const auto& cc = slot.ext.CardCapabilities;
    EXPECT_EQ(slot.ext.ReaderCapabilities.CurrentState, ULONG(SCARD_NEGOTIABLE));
    EXPECT_EQ(cc.Protocol.Supported, ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(cc.PtsData.Fl, 1);
    EXPECT_EQ(cc.PtsData.Dl, 3);
    EXPECT_EQ(cc.Fl, 1);  // in force until a PTS
    EXPECT_EQ(cc.Dl, 1);
    EXPECT_EQ(cc.T1.IFSC, 0x70);
    EXPECT_EQ(cc.T1.BWI, 3);
    EXPECT_EQ(cc.T1.CWI, 5);
    EXPECT_EQ(cc.HistoricalChars.Length, 15);
    EXPECT_EQ(cc.ATR.Length, 24);
    EXPECT_EQ(slot.ext.T1.State, T1_INIT);

    // A specific-mode inverse card: state SPECIFIC, TA1 in force.
    slot.SetAtr({0x3F, 0x94, 0x13, 0x50, 0x00, 0x20, 0x41, 0x42, 0x43, 0x44});
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&slot.ext), STATUS_SUCCESS);
    EXPECT_EQ(slot.ext.ReaderCapabilities.CurrentState, ULONG(SCARD_SPECIFIC));
    EXPECT_TRUE(cc.InversConvention);
    EXPECT_EQ(cc.Dl, 3);
    EXPECT_EQ(cc.T0.WI, 0x20);

    // A malformed one is refused and leaves the state alone.
    slot.ext.ReaderCapabilities.CurrentState = SCARD_SWALLOWED;
    slot.SetAtr({0x3B, 0x80, 0x01});
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&slot.ext), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(slot.ext.ReaderCapabilities.CurrentState, ULONG(SCARD_SWALLOWED));
    // A length beyond the buffer is cut to the buffer, and refused as longer than 33 bytes.
    slot.ext.CardCapabilities.ATR.Length = 255;
    EXPECT_EQ(SmartcardUpdateCardCapabilities(&slot.ext), STATUS_UNRECOGNIZED_MEDIA);
    slot.Exit();
  });
}

}  // namespace
