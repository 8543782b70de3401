// The discrete Fourier transform of a real signal, for `modhost analyze`'s spectrum.
//
// A plain iterative radix-2 transform of our own rather than a library, so that the analysis
// builds and gives the same numbers on every target, the Windows build included, for which no
// FFT library is packaged. The spectrum needs only power-of-two lengths (it zero-pads anyway),
// and its accuracy is that of the twiddle factors, each computed directly with cos and sin rather
// than by a recurrence, so rounding errors do not pile up over long transforms.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace modhost {

// The first signal.size() / 2 + 1 values of the transform X[k] = sum x[n] e^(-2 pi i k n / N) of
// `signal`, whose length N must be a power of two, 2 or more.
std::vector<std::complex<double>> RealFourierTransform(const std::vector<double>& signal);

// The same transform for many signals of one length: the twiddle factors are computed once, and
// the work buffers are kept, so that a frame-by-frame analysis allocates nothing per frame.
class RealFourierTransformer {
 public:
  // `length` must be a power of two, 2 or more (otherwise std::invalid_argument).
  explicit RealFourierTransformer(std::size_t length);

  std::size_t length() const { return length_; }
  // Fills `spectrum` with the length() / 2 + 1 values of the transform of `signal` (length()
  // values).
  void Transform(const double* signal, std::vector<std::complex<double>>* spectrum);

 private:
  std::size_t length_;
  std::vector<std::complex<double>> twiddles_;
  std::vector<std::complex<double>> packed_;
};

}  // namespace modhost
