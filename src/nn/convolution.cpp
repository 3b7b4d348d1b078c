#include "nn/convolution.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace korvex::nn {
namespace {

// Four doubles; GCC lowers this to two SSE2 halves where AVX is not built in.
typedef double Vec __attribute__((vector_size(32)));
typedef long long Mask __attribute__((vector_size(32)));
// The same, loadable from any double's address.
typedef double UnalignedVec __attribute__((vector_size(32), aligned(8), may_alias));

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
    const auto t0 = static_cast<__int128>(k * kChunk);
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
// compile time (the built-in models' 5), else 0. The sums live in named
// locals so that they stay in registers.
template <int rows, std::size_t kKernel>
__attribute__((always_inline)) inline void accumulate(Vec* acc, const double* w0,
                                                      const double* w1, const double* padded,
                                                      std::size_t stride, const ConvShape& s,
                                                      const TapPlan* plans) {
  const std::size_t K = kKernel ? kKernel : s.kernel;
  Vec a0 = acc[0], a1 = acc[1], a2 = acc[2], a3 = acc[3];
  Vec b0 = acc[4], b1 = acc[5], b2 = acc[6], b3 = acc[7];
  for (std::size_t c = 0; c < s.in_channels; ++c) {
    const double* row = padded + c * stride;
    const double* u_taps = w0 + c * K;
    const double* v_taps = w1 + c * K;
    for (std::size_t j = 0; j < K; ++j) {
      const TapPlan& p = plans[j];
      if (p.reach == Reach::None) continue;
      const auto* x = reinterpret_cast<const UnalignedVec*>(row + p.offset);
      const double u = u_taps[j];
      const double v = rows == 2 ? v_taps[j] : 0.0;
      if (p.reach == Reach::Full) {
        if (u != 0.0) {
          a0 += u * x[0];
          a1 += u * x[1];
          a2 += u * x[2];
          a3 += u * x[3];
        }
        if (rows == 2 && v != 0.0) {
          b0 += v * x[0];
          b1 += v * x[1];
          b2 += v * x[2];
          b3 += v * x[3];
        }
      } else {
        if (u != 0.0) {
          a0 = p.mask[0] ? a0 + u * x[0] : a0;
          a1 = p.mask[1] ? a1 + u * x[1] : a1;
          a2 = p.mask[2] ? a2 + u * x[2] : a2;
          a3 = p.mask[3] ? a3 + u * x[3] : a3;
        }
        if (rows == 2 && v != 0.0) {
          b0 = p.mask[0] ? b0 + v * x[0] : b0;
          b1 = p.mask[1] ? b1 + v * x[1] : b1;
          b2 = p.mask[2] ? b2 + v * x[2] : b2;
          b3 = p.mask[3] ? b3 + v * x[3] : b3;
        }
      }
    }
  }
  acc[0] = a0, acc[1] = a1, acc[2] = a2, acc[3] = a3;
  acc[4] = b0, acc[5] = b1, acc[6] = b2, acc[7] = b3;
}

}  // namespace

// Also built for AVX2 where the processor has it; without FMA, so that every
// machine rounds alike.
__attribute__((target_clones("avx2", "default"))) void convolve(const ConvShape& s,
                                                                 const double* x,
                                                                 const double* weight,
                                                                 const double* bias, double* y) {
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

  double out[2][kChunk];
  for (std::size_t o = 0; o < s.out_channels; o += 2) {
    const bool pair = o + 1 < s.out_channels;
    const double* const weights[2] = {weight + o * s.in_channels * s.kernel,
                                      weight + (pair ? o + 1 : o) * s.in_channels * s.kernel};
    for (std::size_t k = 0; k < chunks; ++k) {
      Vec acc[2 * kLanes];
      for (int r = 0; r < 2; ++r) {
        const double b = bias[pair ? o + r : o];
        for (std::size_t v = 0; v < kLanes; ++v) acc[r * kLanes + v] = Vec{b, b, b, b};
      }
      const TapPlan* chunk_plans = plans.data() + k * s.kernel;
      const double* w0 = weights[0];
      const double* w1 = weights[1];
      if (pair && s.kernel == 5) {
        accumulate<2, 5>(acc, w0, w1, padded.data(), stride, s, chunk_plans);
      } else if (pair) {
        accumulate<2, 0>(acc, w0, w1, padded.data(), stride, s, chunk_plans);
      } else {
        accumulate<1, 0>(acc, w0, w1, padded.data(), stride, s, chunk_plans);
      }
      const std::size_t t0 = k * kChunk;
      const std::size_t n = std::min(kChunk, L - t0);
      for (int r = 0; r < (pair ? 2 : 1); ++r) {
        std::memcpy(out[r], acc + r * kLanes, sizeof out[r]);
        std::copy_n(out[r], n, y + (o + r) * L + t0);
      }
    }
  }
}

}  // namespace korvex::nn
