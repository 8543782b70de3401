// Sample by sample comparison of two WAV data chunks (see sample_compare.h).
#include "host/modhost/analyze/sample_compare.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace modhost {
namespace {

int64_t ReadInteger(const uint8_t* bytes, int size) {
  uint64_t value = 0;
  for (int index = size - 1; index >= 0; --index) value = (value << 8) | bytes[index];
  if (size == 1) return static_cast<int64_t>(value) - 128;  // 8-bit WAV is unsigned
  const uint64_t sign = uint64_t{1} << (8 * size - 1);
  return static_cast<int64_t>(value ^ sign) - static_cast<int64_t>(sign);
}

bool IsFloat(const WavLayout& layout) { return layout.encoding == WavLayout::Encoding::kFloat; }

// The stored value, exactly, as a double (full scale 1.0).
double Value(const WavLayout& layout, const uint8_t* bytes) {
  if (IsFloat(layout) && layout.bits_per_sample == 32) {
    float value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  if (IsFloat(layout)) {
    double value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  const int size = layout.bits_per_sample / 8;
  return std::ldexp(static_cast<double>(ReadInteger(bytes, size)), -(layout.bits_per_sample - 1));
}

// A position on the format's number line, one per representable value in order, so that the
// distance between two is their difference in steps.
int64_t OrderedFloat(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int64_t magnitude = bits & 0x7fffffffu;
  return (bits & 0x80000000u) ? -magnitude : magnitude;
}

int64_t OrderedDouble(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const int64_t magnitude = static_cast<int64_t>(bits & 0x7fffffffffffffffu);
  return (bits >> 63) ? -magnitude : magnitude;
}

uint64_t Distance(int64_t left, int64_t right) {
  return left > right ? static_cast<uint64_t>(left) - static_cast<uint64_t>(right)
                      : static_cast<uint64_t>(right) - static_cast<uint64_t>(left);
}

}  // namespace

double SampleComparison::SnrDb() const {
  if (!(difference_energy > 0.0)) return std::numeric_limits<double>::infinity();
  if (!(reference_energy > 0.0)) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(reference_energy / difference_energy);
}

SampleComparer::SampleComparer(const WavLayout& a_layout, const WavLayout& b_layout)
    : a_(a_layout),
      b_(b_layout),
      same_format_(a_layout.encoding == b_layout.encoding &&
                   a_layout.bits_per_sample == b_layout.bits_per_sample) {
  result_.channels = a_layout.channels;
}

std::string SampleComparer::StepName() const {
  if (!same_format_) return "32-bit float";
  return std::to_string(a_.bits_per_sample) + (IsFloat(a_) ? "-bit float" : "-bit integer");
}

void SampleComparer::Add(const uint8_t* a_bytes, const uint8_t* b_bytes, uint64_t frames) {
  const int a_size = a_.bits_per_sample / 8;
  const int b_size = b_.bits_per_sample / 8;
  for (uint64_t frame = 0; frame < frames; ++frame) {
    const uint64_t at = result_.compared_frames + frame;
    for (int channel = 0; channel < a_.channels; ++channel) {
      const uint8_t* a_sample = a_bytes + (frame * a_.channels + channel) * a_size;
      const uint8_t* b_sample = b_bytes + (frame * b_.channels + channel) * b_size;
      const double a = Value(a_, a_sample);
      const double b = Value(b_, b_sample);
      if (std::isfinite(a)) result_.reference_energy += a * a;
      const bool differs = same_format_ ? std::memcmp(a_sample, b_sample, a_size) != 0 : !(a == b);
      if (!differs) continue;
      if (result_.differing_samples++ == 0) {
        result_.first_frame = at;
        result_.first_channel = channel + 1;
        result_.first_a = a;
        result_.first_b = b;
      }
      if (!std::isfinite(a) || !std::isfinite(b)) {
        ++result_.non_finite_differences;
        continue;
      }
      const double difference = std::abs(a - b);
      result_.difference_energy += difference * difference;
      if (difference > result_.largest_difference) {
        result_.largest_difference = difference;
        result_.largest_frame = at;
        result_.largest_channel = channel + 1;
      }
      uint64_t steps = 0;
      if (!same_format_) {
        steps = Distance(OrderedFloat(static_cast<float>(a)), OrderedFloat(static_cast<float>(b)));
      } else if (IsFloat(a_) && a_size == 4) {
        steps = Distance(OrderedFloat(static_cast<float>(a)), OrderedFloat(static_cast<float>(b)));
      } else if (IsFloat(a_)) {
        steps = Distance(OrderedDouble(a), OrderedDouble(b));
      } else {
        steps = Distance(ReadInteger(a_sample, a_size), ReadInteger(b_sample, b_size));
      }
      result_.largest_steps = std::max(result_.largest_steps, steps);
    }
  }
  result_.compared_frames += frames;
}

}  // namespace modhost
