#include "nn/convolution.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvex::nn {

#if KORVEX_HAVE_BLOCKED_CONVOLUTION
namespace {

// Four doubles: one AVX register.
typedef double Vec __attribute__((vector_size(32)));
typedef long long Mask __attribute__((vector_size(32)));

// Vec values only pass between functions that are always inlined into
// convolve_blocked, so the calling convention for AVX arguments never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

// Four consecutive doubles from any address: a plain unaligned load.
__attribute__((always_inline)) inline Vec load(const double* p) {
  Vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Outputs handled together: kLanes vectors of four positions, whose sums
// stay in registers through the whole loop over channels and taps.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kChunk = 4 * kLanes;

// How one tap meets one chunk of outputs.
enum class Reach : unsigned char { None, Full, Partial };

struct TapPlan {
  Reach reach;
  std::ptrdiff_t offset;  // chunk start + shift, into the padded input row
  Mask mask[kLanes];      // Partial: all ones where the source exists
};

// The plan for every (chunk, tap): which sources exist. Taps that reach no
// source of a chunk are skipped for it; those that reach only some update
// only the lanes whose source exists, so no padding value is ever added.
std::vector<TapPlan> plan_taps(const ConvShape& s, std::size_t chunks, std::size_t pad_left) {
  const auto L = static_cast<__int128>(s.length);
  const auto pad =
      static_cast<__int128>(static_cast<unsigned __int128>(s.dilation) * (s.kernel - 1) / 2);
  std::vector<TapPlan> plans(chunks * s.kernel);
  for (std::size_t k = 0; k < chunks; ++k) {
    const auto t0 = static_cast<__int128>(k) * kChunk;
    for (std::size_t j = 0; j < s.kernel; ++j) {
      TapPlan& p = plans[k * s.kernel + j];
      const __int128 shift = static_cast<__int128>(s.dilation) * j - pad;
      // Outputs t in [first, end) read input t + shift inside 0..L-1.
      const __int128 first = std::max<__int128>(0, -shift);
      const __int128 end = std::min<__int128>(L, L - shift);
      const __int128 lo = std::max(first, t0), hi = std::min(end, t0 + __int128{kChunk});
      if (lo >= hi) {
        p.reach = Reach::None;
        continue;
      }
      p.reach = lo == t0 && hi == t0 + __int128{kChunk} ? Reach::Full : Reach::Partial;
      p.offset = static_cast<std::ptrdiff_t>(pad_left + t0 + shift);
      for (std::size_t v = 0; v < kLanes; ++v) {
        for (std::size_t i = 0; i < 4; ++i) {
          const __int128 t = t0 + static_cast<__int128>(4 * v + i);
          p.mask[v][i] = t >= lo && t < hi ? -1 : 0;
        }
      }
    }
  }
  return plans;
}

// Adds to acc (kLanes vectors per row) the sums of `rows` (1 or 2) output
// channels over one chunk. kKernel is the kernel length when fixed at
// compile time (the built-in models' 5), else 0. `edge` chunks have taps
// that reach only some of their sources; those update only the lanes whose
// source exists. The sums live in named locals so that they stay in
// registers, which is also why edge chunks go one row at a time.
template <int rows, std::size_t kKernel, bool edge>
__attribute__((always_inline)) inline void accumulate(Vec* acc, const double* w0, const double* w1,
                                                      const double* padded, std::size_t stride,
                                                      const ConvShape& s, const TapPlan* plans) {
  static_assert(rows == 1 || !edge);
  const std::size_t K = kKernel ? kKernel : s.kernel;
  Vec a0 = acc[0], a1 = acc[1], a2 = acc[2], a3 = acc[3];
  Vec b0{}, b1{}, b2{}, b3{};
  if constexpr (rows == 2) b0 = acc[4], b1 = acc[5], b2 = acc[6], b3 = acc[7];
  for (std::size_t c = 0; c < s.in_channels; ++c) {
    const double* row = padded + c * stride;
    const double* u_taps = w0 + c * K;
    const double* v_taps = w1 + c * K;
    for (std::size_t j = 0; j < K; ++j) {
      const TapPlan& p = plans[j];
      if (p.reach == Reach::None) continue;
      const double* source = row + p.offset;
      const double u = u_taps[j];
      if (edge && p.reach == Reach::Partial) {
        if (u != 0.0) {
          a0 = p.mask[0] ? a0 + u * load(source) : a0;
          a1 = p.mask[1] ? a1 + u * load(source + 4) : a1;
          a2 = p.mask[2] ? a2 + u * load(source + 8) : a2;
          a3 = p.mask[3] ? a3 + u * load(source + 12) : a3;
        }
        continue;
      }
      // Loads written at each use, so that they fold into the multiplications.
      if (u != 0.0) {
        a0 += u * load(source);
        a1 += u * load(source + 4);
        a2 += u * load(source + 8);
        a3 += u * load(source + 12);
      }
      if constexpr (rows == 2) {
        const double v = v_taps[j];
        if (v != 0.0) {
          b0 += v * load(source);
          b1 += v * load(source + 4);
          b2 += v * load(source + 8);
          b3 += v * load(source + 12);
        }
      }
    }
  }
  acc[0] = a0, acc[1] = a1, acc[2] = a2, acc[3] = a3;
  if constexpr (rows == 2) acc[4] = b0, acc[5] = b1, acc[6] = b2, acc[7] = b3;
}

}  // namespace

// Built for AVX2 only (without FMA, so that it rounds exactly as the portable
// form does); convolve() picks it where the processor has AVX2.
__attribute__((target("avx2"))) void convolve_blocked(const ConvShape& s, const double* x,
                                                      const double* weight, const double* bias,
                                                      double* y) {
  const std::size_t L = s.length;
  if (L == 0 || s.kernel == 0) {
    for (std::size_t o = 0; o < s.out_channels; ++o) std::fill_n(y + o * L, L, bias[o]);
    return;
  }
  const std::size_t chunks = (L + kChunk - 1) / kChunk;
  const std::size_t padded_length = chunks * kChunk;
  // Taps that reach further than L read only padding and are never planned
  // in, so a margin of L on either side holds every load.
  const auto pad = static_cast<unsigned __int128>(s.dilation) * (s.kernel - 1) / 2;
  const auto reach_right = static_cast<unsigned __int128>(s.dilation) * (s.kernel - 1) - pad;
  const std::size_t pad_left = static_cast<std::size_t>(std::min<unsigned __int128>(pad, L));
  const std::size_t pad_right =
      static_cast<std::size_t>(std::min<unsigned __int128>(reach_right, L)) + padded_length - L;
  const std::size_t stride = pad_left + L + pad_right;
  std::vector<double> padded(s.in_channels * stride, 0.0);
  for (std::size_t c = 0; c < s.in_channels; ++c) {
    std::copy_n(x + c * L, L, padded.begin() + c * stride + pad_left);
  }
  const std::vector<TapPlan> plans = plan_taps(s, chunks, pad_left);

  std::vector<bool> edge(chunks, false);
  for (std::size_t k = 0; k < chunks; ++k) {
    for (std::size_t j = 0; j < s.kernel; ++j) {
      if (plans[k * s.kernel + j].reach == Reach::Partial) edge[k] = true;
    }
  }

  const auto fixed_kernel = s.kernel == 5;
  double out[kChunk];
  for (std::size_t o = 0; o < s.out_channels; o += 2) {
    const std::size_t rows = o + 1 < s.out_channels ? 2 : 1;
    const double* w0 = weight + o * s.in_channels * s.kernel;
    const double* w1 = w0 + (rows - 1) * s.in_channels * s.kernel;
    for (std::size_t k = 0; k < chunks; ++k) {
      Vec acc[2 * kLanes];
      for (std::size_t r = 0; r < 2; ++r) {
        const double b = bias[o + std::min(r, rows - 1)];
        for (std::size_t v = 0; v < kLanes; ++v) acc[r * kLanes + v] = Vec{b, b, b, b};
      }
      const TapPlan* p = plans.data() + k * s.kernel;
      const double* x_pad = padded.data();
      if (edge[k]) {
        accumulate<1, 0, true>(acc, w0, w0, x_pad, stride, s, p);
        if (rows == 2) accumulate<1, 0, true>(acc + kLanes, w1, w1, x_pad, stride, s, p);
      } else if (rows == 2 && fixed_kernel) {
        accumulate<2, 5, false>(acc, w0, w1, x_pad, stride, s, p);
      } else if (rows == 2) {
        accumulate<2, 0, false>(acc, w0, w1, x_pad, stride, s, p);
      } else {
        accumulate<1, 0, false>(acc, w0, w0, x_pad, stride, s, p);
      }
      const std::size_t t0 = k * kChunk;
      const std::size_t n = std::min(kChunk, L - t0);
      for (std::size_t r = 0; r < rows; ++r) {
        std::memcpy(out, acc + r * kLanes, sizeof out);
        std::copy_n(out, n, y + (o + r) * L + t0);
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
