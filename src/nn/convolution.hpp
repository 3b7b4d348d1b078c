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

}  // namespace korvex::nn
