// The bit patterns of floating-point values, for the tests that compare results to the bit:
// -0 differs from +0 there, and every NaN pattern counts as itself.
#pragma once

#include <cstdint>
#include <cstring>

inline uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

inline uint64_t Bits(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}
