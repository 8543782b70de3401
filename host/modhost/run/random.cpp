// xoshiro256** and splitmix64 (see random.h).
#include "host/modhost/run/random.h"

#include <cstdint>
#include <random>

#include "host/modhost/run/pin_values.h"

namespace modhost {

namespace {

uint64_t SplitMix(uint64_t* state) {
  uint64_t value = (*state += 0x9E3779B97F4A7C15ull);
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

uint64_t RotateLeft(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

}  // namespace

Random::Random(uint64_t seed) {
  for (uint64_t& word : state_) word = SplitMix(&seed);
}

uint64_t Random::Next() {
  const uint64_t result = RotateLeft(state_[1] * 5, 7) * 9;
  const uint64_t shifted = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= shifted;
  state_[3] = RotateLeft(state_[3], 45);
  return result;
}

int64_t Random::Between(int64_t low, int64_t high) {
  if (high <= low) return low;
  const uint64_t span = static_cast<uint64_t>(high) - static_cast<uint64_t>(low) + 1;
  if (span == 0) return static_cast<int64_t>(Next());
  return static_cast<int64_t>(static_cast<uint64_t>(low) + Next() % span);
}

double Random::Uniform(double low, double high) {
  return low + (high - low) * (static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0));
}

bool Random::Chance(double probability) { return Uniform(0, 1) < probability; }

uint64_t DeriveSeed(uint64_t seed, const std::string& name) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (char character : name) {
    hash ^= static_cast<uint8_t>(character);
    hash *= 0x100000001B3ull;
  }
  uint64_t state = seed ^ hash;
  return SplitMix(&state);
}

bool ChooseSeed(const std::string& text, bool given, uint64_t* seed, std::string* problem) {
  if (given) {
    int64_t value = 0;
    if (!ParseWholeNumber(text, 0, INT64_MAX, &value, problem)) return false;
    *seed = static_cast<uint64_t>(value);
  } else {
    std::random_device entropy;
    *seed = (static_cast<uint64_t>(entropy()) << 32 | entropy()) % 1000000000ull;
  }
  return true;
}

}  // namespace modhost
