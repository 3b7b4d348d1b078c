#include "nn/convolution.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace korvex::nn {

#if KORVEX_HAVE_BLOCKED_CONVOLUTION
namespace {

// Four doubles: one AVX register.
typedef double Vec __attribute__((vector_size(32)));

// Vec values only pass between functions that are always inlined into
// convolve_blocked, so the calling convention for AVX arguments never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

// Four consecutive doubles from any address: a plain unaligned load.
__attribute__((always_inline)) inline Vec load(const double* p) {
  Vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Outputs handled together: kRows channels times kChunk positions, whose sums
// stay in registers through the whole loop over input channels and taps. Each
// tap loads two vectors of inputs and kRows weights for 2 kRows products.
constexpr std::size_t kRows = 4;
constexpr std::size_t kChunk = 8;
// Zeros on either side of each input row: a tap that reaches any output of a
// chunk reads at most kChunk - 1 positions beyond the input.
constexpr std::size_t kMargin = kChunk;

// Adds to acc the sums of `rows` output channels over one chunk: w[r] points
// at tap 0 of row r, taps j_lo..j_hi-1 reach the chunk, and `first` is tap
// j_lo's first source in the padded row of input channel 0.
template <std::size_t rows>
__attribute__((always_inline)) inline void accumulate(Vec (&acc)[kRows][2],
                                                      const double* const (&w)[kRows],
                                                      const double* first, std::size_t stride,
                                                      const ConvShape& s, std::size_t j_lo,
                                                      std::size_t j_hi) {
  const std::size_t K = s.kernel;
  for (std::size_t c = 0; c < s.in_channels; ++c) {
    const double* source = first + c * stride;
    for (std::size_t j = j_lo; j < j_hi; ++j, source += s.dilation) {
      const Vec x0 = load(source), x1 = load(source + 4);
      const std::size_t tap = c * K + j;
#pragma GCC unroll 4
      for (std::size_t r = 0; r < rows; ++r) {
        const double u = w[r][tap];
        acc[r][0] += u * x0;
        acc[r][1] += u * x1;
      }
    }
  }
}

// True when every weight is finite and non-zero. Then no tap needs skipping,
// and a padding source adds u * 0 = +-0 to a sum, which leaves it as it is
// (but for the sign of a zero sum). Counted without branches, so that the
// loop vectorises.
__attribute__((always_inline)) inline bool plain_weights(const ConvShape& s, const double* weight) {
  constexpr auto kMagnitude = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kInfinity = 0x7ff0000000000000;
  const std::size_t n = s.out_channels * s.in_channels * s.kernel;
  std::int64_t irregular = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t magnitude = std::bit_cast<std::int64_t>(weight[i]) & kMagnitude;
    irregular += magnitude == 0 || magnitude >= kInfinity;
  }
  return irregular == 0;
}

// The taps j_lo..j_hi-1 whose source lies inside the input for at least one
// of the outputs t0..t_end-1 (a range, as the shifts grow with j).
std::pair<std::size_t, std::size_t> reaching_taps(const ConvShape& s, std::size_t t0,
                                                  std::size_t t_end) {
  const auto L = static_cast<__int128>(s.length);
  const auto d = static_cast<__int128>(s.dilation);
  const __int128 pad = d * static_cast<__int128>(s.kernel - 1) / 2;
  std::size_t lo = s.kernel, hi = 0;
  for (std::size_t j = 0; j < s.kernel; ++j) {
    const __int128 shift = d * static_cast<__int128>(j) - pad;
    if (static_cast<__int128>(t0) + shift < L && static_cast<__int128>(t_end) - 1 + shift >= 0) {
      lo = std::min(lo, j);
      hi = j + 1;
    }
  }
  return {lo, std::max(lo, hi)};
}

}  // namespace

// Built for AVX2 only (without FMA, so that it rounds exactly as the portable
// form does); convolve() picks it where the processor has AVX2. Layers with a
// zero or non-finite weight take the portable form.
__attribute__((target("avx2"))) void convolve_blocked(const ConvShape& s, const double* x,
                                                      const double* weight, const double* bias,
                                                      double* y) {
  const std::size_t L = s.length;
  if (L == 0 || !plain_weights(s, weight)) return convolve_by_runs(s, x, weight, bias, y);
  const std::size_t chunks = (L + kChunk - 1) / kChunk;
  const std::size_t stride = kMargin + chunks * kChunk + kMargin;
  // Only the margins need zeros: the rows are copied over the rest.
  const std::unique_ptr<double[]> padded(new double[s.in_channels * stride]);
  for (std::size_t c = 0; c < s.in_channels; ++c) {
    double* row = padded.get() + c * stride;
    std::fill_n(row, kMargin, 0.0);
    std::memcpy(row + kMargin, x + c * L, L * sizeof(double));
    std::fill(row + kMargin + L, row + stride, 0.0);
  }
  // Tap j of output t reads input t + d j - pad, at t + d j - pad + kMargin.
  const auto pad = static_cast<__int128>(s.dilation) * static_cast<__int128>(s.kernel - 1) / 2;

  const std::size_t in_size = s.in_channels * s.kernel;
  for (std::size_t o = 0; o < s.out_channels; o += kRows) {
    const std::size_t rows = std::min(kRows, s.out_channels - o);
    const double* w[kRows];
    for (std::size_t r = 0; r < kRows; ++r) {
      w[r] = weight + (o + std::min(r, rows - 1)) * in_size;
    }
    for (std::size_t t0 = 0; t0 < L; t0 += kChunk) {
      const std::size_t n = std::min(kChunk, L - t0);
      Vec acc[kRows][2];
      for (std::size_t r = 0; r < kRows; ++r) {
        const double b = bias[o + std::min(r, rows - 1)];
        acc[r][0] = acc[r][1] = Vec{b, b, b, b};
      }
      const auto [j_lo, j_hi] = reaching_taps(s, t0, t0 + n);
      if (j_lo < j_hi) {
        const auto offset = static_cast<std::ptrdiff_t>(
            static_cast<__int128>(kMargin + t0) +
            static_cast<__int128>(s.dilation) * static_cast<__int128>(j_lo) - pad);
        const double* first = padded.get() + offset;
        if (rows == 4) {
          accumulate<4>(acc, w, first, stride, s, j_lo, j_hi);
        } else if (rows == 3) {
          accumulate<3>(acc, w, first, stride, s, j_lo, j_hi);
        } else if (rows == 2) {
          accumulate<2>(acc, w, first, stride, s, j_lo, j_hi);
        } else {
          accumulate<1>(acc, w, first, stride, s, j_lo, j_hi);
        }
      }
      for (std::size_t r = 0; r < rows; ++r) {
        double* out = y + (o + r) * L + t0;
        if (n == kChunk) {
          std::memcpy(out, acc[r], sizeof acc[r]);  // two vector stores
        } else {
          for (std::size_t i = 0; i < n; ++i) out[i] = acc[r][i / 4][i % 4];
        }
      }
    }
  }
}

#endif

void convolve_by_runs(const ConvShape& s, const double* x, const double* weight, const double* bias,
                      double* y) {
  const std::size_t L = s.length;
  const auto length = static_cast<__int128>(L);
  const auto pad =
      static_cast<__int128>(static_cast<unsigned __int128>(s.dilation) * (s.kernel - 1) / 2);
  for (std::size_t o = 0; o < s.out_channels; ++o) {
    double* __restrict row = y + o * L;
    std::fill_n(row, L, bias[o]);
    for (std::size_t c = 0; c < s.in_channels; ++c) {
      const double* __restrict source = x + c * L;
      const double* taps = weight + (o * s.in_channels + c) * s.kernel;
      for (std::size_t j = 0; j < s.kernel; ++j) {
        const double tap = taps[j];
        if (tap == 0.0) continue;
        // Output t reads input t + shift; the outputs whose source lies
        // inside form one contiguous run.
        const __int128 shift = static_cast<__int128>(s.dilation) * j - pad;
        if (shift >= length || shift <= -length) continue;
        const auto first = static_cast<std::size_t>(shift < 0 ? -shift : 0);
        const auto end = static_cast<std::size_t>(shift > 0 ? length - shift : length);
        const auto offset = static_cast<std::ptrdiff_t>(shift);
        for (std::size_t t = first; t < end; ++t) {
          row[t] += tap * source[static_cast<std::ptrdiff_t>(t) + offset];
        }
      }
    }
  }
}

void convolve(const ConvShape& shape, const double* x, const double* weight, const double* bias,
              double* y) {
#if KORVEX_HAVE_BLOCKED_CONVOLUTION
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return convolve_blocked(shape, x, weight, bias, y);
#endif
  convolve_by_runs(shape, x, weight, bias, y);
}

}  // namespace korvex::nn
