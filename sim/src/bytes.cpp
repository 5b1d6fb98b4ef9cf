#include "sim/bytes.h"

namespace sim {

std::string Hex(const std::uint8_t* data, std::size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(length * 3);
  for (std::size_t i = 0; i < length; ++i) {
    if (i) text.push_back(' ');
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0x0F]);
  }
  return text;
}

bool ParseHex(const std::string& text, Bytes* out) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c == ' ' || c == ':' || c == '-' || c == '\t') continue;
    else return false;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) return false;
  *out = std::move(bytes);
  return true;
}

std::uint64_t Rng::Next() {
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return state_ * 0x2545F4914F6CDD1Dull;
}

std::uint32_t Rng::Below(std::uint32_t n) {
  if (n == 0) return 0;
  return static_cast<std::uint32_t>((Next() >> 32) % n);
}

bool Rng::Chance(double p) {
  if (p <= 0) return false;
  if (p >= 1) return true;
  return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0) < p;
}

}  // namespace sim
