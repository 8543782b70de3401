// The comparison behind `modhost diff`: two files' samples side by side, bit for bit, for the
// developer of bit-exact modules whose first question about two renders is "identical?", and
// whose second is "where, and by how much?".
//
// Samples compare as their stored bits when both files store them alike (so -0.0 differs from
// +0.0 and every NaN payload counts), and by value otherwise. A difference is measured as a
// value (1.0 = full scale, also in dBFS) and in units in the last place of the files' sample
// format: integer steps for PCM, float or double steps for floating point, counted across zero
// (from the largest negative to the smallest positive number is one step each side). Files of
// different formats are measured in steps of 32-bit float.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/modhost/io/wav_format.h"

namespace modhost {

struct SampleComparison {
  int channels = 0;
  uint64_t compared_frames = 0;
  uint64_t differing_samples = 0;
  // The first differing sample: its frame and 1-based channel, and the two values.
  uint64_t first_frame = 0;
  int first_channel = 0;
  double first_a = 0.0;
  double first_b = 0.0;
  // The largest difference in value and where it is; the largest in steps, wherever it is.
  double largest_difference = 0.0;
  uint64_t largest_frame = 0;
  int largest_channel = 0;
  uint64_t largest_steps = 0;
  // Differences where either value is NaN or infinite; they take no part in the sizes above.
  uint64_t non_finite_differences = 0;
  double reference_energy = 0.0;   // Σ a², A as the reference
  double difference_energy = 0.0;  // Σ (a - b)²

  bool identical() const { return differing_samples == 0; }
  // 10·log10(reference / difference energy); infinite when no value differs.
  double SnrDb() const;
};

class SampleComparer {
 public:
  // Samples of A stored as `a_layout` says, of B as `b_layout`; both must have the same
  // channel count.
  SampleComparer(const WavLayout& a_layout, const WavLayout& b_layout);

  // Compares `frames` frames as the files store them.
  void Add(const uint8_t* a_bytes, const uint8_t* b_bytes, uint64_t frames);
  const SampleComparison& result() const { return result_; }
  // "32-bit float", "16-bit integer"...: the format whose steps largest_steps counts.
  std::string StepName() const;

 private:
  WavLayout a_;
  WavLayout b_;
  bool same_format_;
  SampleComparison result_;
};

}  // namespace modhost
