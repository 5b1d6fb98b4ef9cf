// libFuzzer target: the answer-to-reset analysis. The first byte picks the
// reader's figures, the rest is the answer (up to a few bytes beyond 33).
#include <cstdint>
#include <cstdlib>

#include "platform/smclib.h"
#include "vk/atr_analysis.h"

using namespace vk::smclib;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 40) return 0;
  static const std::uint32_t kRates[][3] = {{9600, 19200, 38400}, {9600, 0, 0}, {10753, 115200, 223200}};
  const std::uint8_t config = data[0];
  AtrReader reader;
  reader.clockKhz = (config & 0x80) ? 4000 : 3571;
  reader.maxClockKhz = reader.clockKhz;
  const unsigned set = (config & 0x03) % 3;
  const std::size_t entries = (config >> 2) & 0x03;  // 0: no list, any rate up to maxDataRate
  reader.dataRates = std::span<const std::uint32_t>(kRates[set], entries > 3 ? 3 : entries);
  reader.maxDataRate = (config & 0x40) ? 0 : 115200;

  // Copy into a buffer of the exact size, so that any read beyond it is caught.
  const std::size_t length = size - 1;
  auto* atr = static_cast<std::uint8_t*>(std::malloc(length ? length : 1));
  for (std::size_t i = 0; i < length; ++i) atr[i] = data[1 + i];
  AtrAnalysis a = AnalyzeAtr(std::span<const std::uint8_t>(atr, length), reader);
  std::free(atr);

  if (a.valid) {
    if (a.length != length || length < 2 || length > kMaxAtrLength) std::abort();
    if (a.historicalLength > kMaxHistorical || a.levels > kMaxLevels) std::abort();
    if (a.state != SCARD_NEGOTIABLE && a.state != SCARD_SPECIFIC) std::abort();
    if (FValue(a.ptsFl) == 0 || DValue(a.ptsDl) == 0) std::abort();
    if (a.etuUs == 0 || a.ifsc == 0 || a.ifsc == 0xFF) std::abort();
    if (a.tckNeeded && !a.tckOk) std::abort();
    // Without a specific mode the choice never exceeds what the card offers.
    if (!a.specific && a.ptsDl != 1 && (a.ptsFl != a.fi || DValue(a.ptsDl) > a.d)) std::abort();
  } else if (a.status != STATUS_UNRECOGNIZED_MEDIA) {
    std::abort();
  }
  return 0;
}
