// modhost's one source of random numbers: the validator's scripts and block plans, and render's
// --block random. A seed must give the same numbers on every target and with every compiler, so
// that `validate --seed N` replays a failure anywhere and a render's blocks can be repeated; the
// standard library's distributions promise no such thing, so this is xoshiro256** seeded by
// splitmix64, with its own ways of drawing from a range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace modhost {

class Random {
 public:
  explicit Random(uint64_t seed);
  uint64_t Next();
  // A whole number in [low, high].
  int64_t Between(int64_t low, int64_t high);
  // A number in [low, high).
  double Uniform(double low, double high);
  bool Chance(double probability);
  template <class T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<size_t>(Between(0, static_cast<int64_t>(items.size()) - 1))];
  }
  template <class T>
  void Shuffle(std::vector<T>& items) {
    for (size_t index = items.size(); index > 1; --index) {
      std::swap(items[index - 1],
                items[static_cast<size_t>(Between(0, static_cast<int64_t>(index) - 1))]);
    }
  }

 private:
  uint64_t state_[4];
};

// A seed for one use of a run's seed, different for each name (a validation check's, say).
uint64_t DeriveSeed(uint64_t seed, const std::string& name);

// The seed of a run: `text` as the user gave it with --seed (a whole number from 0 to 2^63 - 1),
// or when `given` is false a fresh one below 10^9, short enough to type back. False with the
// reason in `problem` when the text is no such number.
bool ChooseSeed(const std::string& text, bool given, uint64_t* seed, std::string* problem);

}  // namespace modhost
