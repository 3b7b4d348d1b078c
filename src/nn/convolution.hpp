#pragma once
// The trunk's one-dimensional convolution: zero padding, output as long as
// the input, dilated taps centred on the output position.
#include <cstddef>

namespace korvex::nn {

struct ConvShape {
  std::size_t in_channels;
  std::size_t out_channels;
  std::size_t length;    // L, positions per channel
  std::size_t kernel;    // K >= 1
  std::size_t dilation;  // d
};

// y[o][t] = bias[o] + sum over c, then j, of w[o][c][j] * x[c][t + d*j - pad]
// with pad = floor(d*(K-1)/2), skipping taps whose weight is exactly 0 and
// sources outside 0..L-1. Every output is summed in exactly that order.
// x: in_channels x L, weight: out x in x K, bias: out, y: out x L.
void convolve(const ConvShape& shape, const double* x, const double* weight, const double* bias,
              double* y);

// The two forms convolve() chooses between; both give exactly the same sums
// (but for the sign of a zero sum).
// Tap by tap over contiguous runs of outputs, vectorised by the compiler for
// the baseline instruction set.
void convolve_by_runs(const ConvShape& shape, const double* x, const double* weight,
                      const double* bias, double* y);
#if defined(__x86_64__) && defined(__GNUC__)
#define KORVEX_HAVE_BLOCKED_CONVOLUTION 1
// Chunks of 8 outputs of four channels at a time with their sums in AVX2
// registers; only where the processor has AVX2. A layer with a zero or
// non-finite weight goes to convolve_by_runs.
void convolve_blocked(const ConvShape& shape, const double* x, const double* weight,
                      const double* bias, double* y);
#else
#define KORVEX_HAVE_BLOCKED_CONVOLUTION 0
#endif

}  // namespace korvex::nn
