// The real transform through a complex one of half its length (see fft.h): the even samples as
// real parts and the odd ones as imaginary parts, transformed together and then separated.
#include "host/modhost/analyze/fft.h"

#include <cmath>
#include <stdexcept>

namespace modhost {

namespace {

constexpr double kPi = 3.14159265358979323846;

// e^(-2 pi i k / length) for k from 0 to length / 2.
std::vector<std::complex<double>> Twiddles(std::size_t length) {
  std::vector<std::complex<double>> twiddles(length / 2 + 1);
  for (std::size_t k = 0; k < twiddles.size(); ++k) {
    const double angle = -2.0 * kPi * static_cast<double>(k) / static_cast<double>(length);
    twiddles[k] = {std::cos(angle), std::sin(angle)};
  }
  return twiddles;
}

// In-place decimation-in-time transform of `values` (a power-of-two length); `twiddles` are those
// of `twiddle_length`, a multiple of the length.
void ComplexTransform(std::vector<std::complex<double>>& values,
                      const std::vector<std::complex<double>>& twiddles,
                      std::size_t twiddle_length) {
  const std::size_t length = values.size();
  for (std::size_t index = 1, reversed = 0; index < length; ++index) {
    std::size_t bit = length >> 1;
    for (; reversed & bit; bit >>= 1) reversed ^= bit;
    reversed ^= bit;
    if (index < reversed) std::swap(values[index], values[reversed]);
  }
  for (std::size_t span = 2; span <= length; span <<= 1) {
    const std::size_t stride = twiddle_length / span;
    const std::size_t half = span / 2;
    for (std::size_t start = 0; start < length; start += span) {
      for (std::size_t offset = 0; offset < half; ++offset) {
        const std::complex<double> odd = values[start + offset + half] * twiddles[offset * stride];
        const std::complex<double> even = values[start + offset];
        values[start + offset] = even + odd;
        values[start + offset + half] = even - odd;
      }
    }
  }
}

}  // namespace

RealFourierTransformer::RealFourierTransformer(std::size_t length) : length_(length) {
  if (length < 2 || (length & (length - 1)) != 0) {
    throw std::invalid_argument("the transform's length must be a power of two");
  }
  twiddles_ = Twiddles(length);
  packed_.resize(length / 2);
}

void RealFourierTransformer::Transform(const double* signal,
                                       std::vector<std::complex<double>>* spectrum) {
  const std::size_t half = length_ / 2;
  for (std::size_t index = 0; index < half; ++index) {
    packed_[index] = {signal[2 * index], signal[2 * index + 1]};
  }
  ComplexTransform(packed_, twiddles_, length_);

  // With Z the packed transform, the even samples' transform is (Z[k] + conj Z[half - k]) / 2 and
  // the odd samples' is (Z[k] - conj Z[half - k]) / 2i; X[k] = even + e^(-2 pi i k / N) odd.
  spectrum->resize(half + 1);
  for (std::size_t k = 0; k <= half; ++k) {
    const std::complex<double> here = packed_[k % half];
    const std::complex<double> mirror = std::conj(packed_[(half - k) % half]);
    const std::complex<double> even = 0.5 * (here + mirror);
    const std::complex<double> odd = std::complex<double>(0.0, -0.5) * (here - mirror);
    (*spectrum)[k] = even + twiddles_[k] * odd;
  }
}

std::vector<std::complex<double>> RealFourierTransform(const std::vector<double>& signal) {
  RealFourierTransformer transformer(signal.size());
  std::vector<std::complex<double>> spectrum;
  transformer.Transform(signal.data(), &spectrum);
  return spectrum;
}

}  // namespace modhost
