// Answer-to-reset of the simulated cards (ISO/IEC 7816-3): building one from
// a few parameters, and reading back what a card's own ATR promises.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/bytes.h"

namespace sim {

struct AtrParameters {
  bool inverse = false;              // TS 3F instead of 3B
  std::optional<std::uint8_t> ta1;   // FI (high nibble), DI (low nibble)
  std::optional<std::uint8_t> ta2;   // present: the card fixes its mode (no PTS)
  std::optional<std::uint8_t> tc1;   // extra guard time N
  std::optional<std::uint8_t> tc2;   // T=0 waiting integer WI
  bool t0 = true;                    // protocols offered, T=0 first
  bool t1 = false;
  std::uint8_t ifsc = 32;            // T=1: TA3
  std::uint8_t bwi = 4;              // T=1: TB3 high nibble
  std::uint8_t cwi = 13;             // T=1: TB3 low nibble
  bool crc = false;                  // T=1: TC3 bit 0
  Bytes historical;
};

Bytes BuildAtr(const AtrParameters& parameters);

struct AtrInfo {
  bool valid = false;        // structure complete, TCK right where one is due
  bool inverse = false;
  bool hasTa1 = false;
  std::uint8_t fi = 1, di = 1;
  bool fixedMode = false;    // TA2 present: protocol and rate fixed by the card
  std::uint8_t fixedProtocol = 0;
  bool fixedImplicit = false;  // TA2 bit 5: parameters not from TA1
  unsigned protocols = 0;    // bit 0: T=0, bit 1: T=1
  int firstProtocol = 0;
  std::uint8_t guardN = 0;
  std::uint8_t wi = 10;
  std::uint8_t ifsc = 32;
  std::uint8_t bwi = 4, cwi = 13;
  bool crc = false;
  std::size_t length = 0;    // bytes the structure covers
};

AtrInfo ParseAtr(const Bytes& atr);

// ISO/IEC 7816-3 clock rate conversion and bit rate adjustment; 0 for RFU.
unsigned FiToF(std::uint8_t fi);
unsigned DiToD(std::uint8_t di);

}  // namespace sim
