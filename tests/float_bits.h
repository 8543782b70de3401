// The bit patterns of floating-point values, for the tests that compare results to the bit:
// -0 differs from +0 there, and every NaN pattern counts as itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

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

// The index of the first value whose bits differ between `left` and `right`, or -1 when they
// agree; values past the shorter one's end differ.
inline int64_t FirstBitDifference(const std::vector<float>& left, const std::vector<float>& right) {
  for (size_t index = 0; index < left.size() || index < right.size(); ++index) {
    if (index >= left.size() || index >= right.size() || Bits(left[index]) != Bits(right[index]))
      return static_cast<int64_t>(index);
  }
  return -1;
}
