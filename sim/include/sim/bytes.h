// Byte strings, hex text and a small reproducible random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

// "10 02 60 ..." with a blank between bytes.
std::string Hex(const std::uint8_t* data, std::size_t length);
inline std::string Hex(const Bytes& bytes) { return Hex(bytes.data(), bytes.size()); }

// Reads hex digits, blanks, ':' and '-' ignored ("3B 02 14 50", "3b021450").
// Returns false on any other character or an odd number of digits.
bool ParseHex(const std::string& text, Bytes* out);

// xorshift64*: the same seed gives the same numbers on every platform, which
// std::uniform_*_distribution does not promise.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
  std::uint64_t Next();
  // A number in [0, n); 0 when n is 0.
  std::uint32_t Below(std::uint32_t n);
  // True with probability p.
  bool Chance(double p);
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Next() >> 56); }

 private:
  std::uint64_t state_;
};

}  // namespace sim
