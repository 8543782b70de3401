// A small, fast, seedable generator, the same on every target: the tests compare the bits of what
// they render from it, so every build must draw the same numbers.
#pragma once

#include <cstdint>

namespace se_test {

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  // xorshift64, the upper bits.
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ >> 16);
  }
  // In [0, bound).
  uint32_t Below(uint32_t bound) { return Next() % bound; }
  // In [low, high).
  float Uniform(float low, float high) {
    return low + (high - low) * (static_cast<float>(Next() >> 8) / 16777216.0f);
  }

 private:
  uint64_t state_;
};

}  // namespace se_test
