#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/pool.hpp"

namespace korvex {
namespace {

TEST(Pool, EveryIndexOnceWrittenByIndex) {
  EXPECT_GE(pool_concurrency(), 1u);
  for (std::size_t grain : {1u, 7u, 256u, 5000u}) {
    const std::size_t n = 4099;
    std::vector<std::atomic<int>> calls(n);
    std::vector<std::size_t> out(n, 0);
    parallel_for(n, grain, [&](std::size_t i) {
      calls[i].fetch_add(1);
      out[i] = i * i;
    });
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(calls[i].load(), 1) << grain << " " << i;
      ASSERT_EQ(out[i], i * i);
    }
  }
}

TEST(Pool, SmallWorkRunsOnTheCaller) {
  const auto caller = std::this_thread::get_id();
  bool elsewhere = false;
  parallel_for(10, 10, [&](std::size_t) { elsewhere |= std::this_thread::get_id() != caller; });
  EXPECT_FALSE(elsewhere);
  int calls = 0;
  parallel_for(0, 1, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST(Pool, NestedCallsFromTasks) {
  // Every outer task runs its own parallel_for, which stays on the task's
  // own thread.
  const std::size_t outer = 32, inner = 500;
  std::vector<std::size_t> sums(outer, 0);
  std::atomic<int> moved{0};
  parallel_for(outer, 1, [&](std::size_t o) {
    std::vector<std::size_t> v(inner, 0);
    const auto owner = std::this_thread::get_id();
    parallel_for(inner, 3, [&](std::size_t i) {
      if (std::this_thread::get_id() != owner) ++moved;
      std::vector<std::size_t> w(4, 0);
      parallel_for(4, 1, [&](std::size_t k) { w[k] = k; });  // a third level
      v[i] = i + o + std::accumulate(w.begin(), w.end(), std::size_t{0});
    });
    sums[o] = std::accumulate(v.begin(), v.end(), std::size_t{0});
  });
  for (std::size_t o = 0; o < outer; ++o) {
    EXPECT_EQ(sums[o], inner * (inner - 1) / 2 + inner * o + inner * 6) << o;
  }
  EXPECT_EQ(moved.load(), 0);
}

TEST(Pool, ManyConcurrentCallers) {
  const int threads = 8, rounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      for (int r = 0; r < rounds; ++r) {
        const std::size_t n = 200 + 37 * t + r;
        std::vector<double> out(n, -1.0);
        parallel_for(n, 1 + r % 5, [&](std::size_t i) { out[i] = static_cast<double>(i * t); });
        for (std::size_t i = 0; i < n; ++i) {
          if (out[i] != static_cast<double>(i * t)) failures.fetch_add(1);
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(Pool, ExceptionReachesTheCallerAndPoolSurvives) {
  std::atomic<int> calls{0};
  EXPECT_THROW(parallel_for(1000, 4,
                            [&](std::size_t i) {
                              calls.fetch_add(1);
                              if (i == 537) throw std::runtime_error("task failed");
                            }),
               std::runtime_error);
  // Only the rest of the throwing chunk is skipped.
  EXPECT_GE(calls.load(), 997);
  std::vector<int> out(1000, 0);
  parallel_for(1000, 4, [&](std::size_t i) { out[i] = 1; });
  EXPECT_EQ(std::accumulate(out.begin(), out.end(), 0), 1000);
}

}  // namespace
}  // namespace korvex
