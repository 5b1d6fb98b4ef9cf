// Analysis of an answer-to-reset (ISO/IEC 7816-3) as the smart card library
// makes it: one call that parses the bytes and works out what the library
// would put into the card capabilities for a given reader.
//
// The bytes are taken as the reader delivers them: already decoded, so that
// TS reads 3B (direct convention) or 3F (inverse convention). A buffer whose
// TS reads 03 holds the inverse-convention bytes as sent on the line, without
// decoding; it is accepted too and decoded here (every byte bit-reversed and
// complemented) before it is parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ntstatus.h"

namespace vk::smclib {

// What the reader offers for the rate selection.
struct AtrReader {
  std::uint32_t clockKhz = 3571;     // card clock the reader runs (CLKFrequency.Default)
  std::uint32_t maxClockKhz = 3571;  // CLKFrequency.Max
  // Data rates in bit/s the reader can run (DataRatesSupported). Empty: any
  // rate up to maxDataRate.
  std::span<const std::uint32_t> dataRates;
  std::uint32_t maxDataRate = 9600;  // DataRate.Max, used without a list
};

constexpr std::size_t kMaxAtrLength = 33;
constexpr std::size_t kMaxHistorical = 15;
constexpr std::size_t kMaxLevels = 16;

struct AtrAnalysis {
  bool valid = false;
  NTSTATUS status = STATUS_UNRECOGNIZED_MEDIA;  // STATUS_SUCCESS when valid
  const char* error = "";                        // why the answer was refused

  bool inverse = false;     // TS = 3F
  bool rawInverse = false;  // the buffer held undecoded inverse bytes (TS read 03)
  std::uint8_t ts = 0, t0 = 0;
  std::size_t length = 0;   // bytes the structure covers, TCK included

  // Interface bytes by level (index 0 = TA1/TB1/TC1/TD1).
  std::size_t levels = 0;
  struct Level {
    bool hasTa = false, hasTb = false, hasTc = false, hasTd = false;
    std::uint8_t ta = 0, tb = 0, tc = 0, td = 0;
  } level[kMaxLevels];

  std::uint8_t historicalLength = 0;
  std::uint8_t historical[kMaxHistorical] = {};

  bool tckNeeded = false;   // a protocol other than T=0 is indicated
  bool tckPresent = false;
  bool tckOk = false;
  std::uint8_t tck = 0;

  std::uint16_t offered = 0;     // bit n: T=n indicated in a TDi (T=0 when there is no TD1)
  std::uint32_t protocols = 0;   // SCARD_PROTOCOL_T0 / T1 the card can be run with
  int firstProtocol = 0;         // the first protocol offered

  // Global bytes.
  std::uint8_t fi = 1, di = 1;   // TA1 indices (1, 1 without TA1)
  std::uint32_t f = 372, d = 1;  // their values (0 for a reserved index)
  std::uint32_t fmaxKhz = 5000;  // maximum clock for fi
  std::uint8_t ii = 0, pi1 = 0;  // TB1 (deprecated programming voltage bytes)
  std::uint8_t n = 0;            // TC1: extra guard time integer
  std::uint8_t wi = 10;          // TC2: T=0 waiting integer

  bool specific = false;         // TA2 present: specific mode
  std::uint8_t specificProtocol = 0;
  bool specificImplicit = false; // TA2 bit 5: parameters implicit, not those of TA1
  bool canChangeMode = false;    // TA2 bit 8 clear: a warm reset gives the negotiable mode

  // T=1 parameters (first TA/TB/TC after a TD that indicates T=1).
  std::uint8_t ifsc = 32;
  std::uint8_t cwi = 13, bwi = 4;
  std::uint8_t edc = 0;          // bit 0: CRC

  // Rate selection and the times at that rate.
  std::uint8_t ptsFl = 1, ptsDl = 1;  // indices chosen (the ones in force in specific mode)
  std::uint32_t ptsRate = 0;          // bit/s at the reader's clock
  bool rateSupported = false;         // the reader lists that rate
  std::uint32_t clockKhz = 0;         // the clock the times are computed for
  std::uint32_t etuUs = 0;            // one etu at the chosen rate, microseconds (rounded up)
  std::uint32_t gtUs = 0;             // guard time
  std::uint32_t wtUs = 0;             // T=0 waiting time
  std::uint32_t cwtUs = 0;            // T=1 character waiting time
  std::uint32_t bwtUs = 0;            // T=1 block waiting time

  std::uint32_t state = 0;            // SCARD_NEGOTIABLE or SCARD_SPECIFIC
};

// Parses `atr` and chooses the rate for `reader`. Never reads beyond
// atr.size() and never fails by exception.
AtrAnalysis AnalyzeAtr(std::span<const std::uint8_t> atr, const AtrReader& reader = {});

// ISO/IEC 7816-3 tables: F and fmax (kHz) for FI, D for DI; 0 for reserved.
std::uint32_t FValue(std::uint8_t fi);
std::uint32_t FmaxKhz(std::uint8_t fi);
std::uint32_t DValue(std::uint8_t di);

}  // namespace vk::smclib
