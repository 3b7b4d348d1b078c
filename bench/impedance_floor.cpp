// How close does the impedance evaluation come to the libm calls it cannot
// avoid? For "R0-p(R1,CPE1)-p(R2-W2,CPE2)" at 60 and 10,000 frequencies this
// times, per frequency and on one thread:
//
// - impedance_block() as a call from Python makes it (the per-frequency
//   terms computed within the call);
// - the compiled plan with the spectrum's terms prepared, as every
//   evaluation inside a fit runs it;
// - the floor: only the libm calls the formulas make per frequency (sqrt
//   omega and sqrt(omega/2) for the Warburg and the terms, and omega^alpha by
//   pow for each CPE).
//
// Times are the minimum over many short batches (about 50 us each), the
// figure least disturbed by other load on a shared machine.
//
//   build/cpp/korvex_bench_impedance [seconds per case, default 0.3]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <variant>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/plan.hpp"

namespace {

using namespace korvex;
using Clock = std::chrono::steady_clock;

double time_s(const std::function<void()>& f, double budget_s) {
  int reps = 1;
  for (;;) {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) f();
    if (std::chrono::duration<double>(Clock::now() - t0).count() > 5e-5) break;
    reps *= 2;
  }
  double best = 1e300;
  const auto start = Clock::now();
  do {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count() / reps);
  } while (std::chrono::duration<double>(Clock::now() - start).count() < budget_s);
  return best;
}

volatile double sink;

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 0.3;
  const SeriesList tree = std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2-W2,CPE2)"));
  const std::vector<double> p{10.0, 50.0, 2e-5, 0.85, 80.0, 15.0, 1e-3, 0.7};
  const SeriesList circuit = rebuild(tree, p);
  std::printf("R0-p(R1,CPE1)-p(R2-W2,CPE2), ns per frequency on one thread\n");
  std::printf("%11s %12s %12s %12s %12s %12s\n", "frequencies", "call", "in a fit", "libm floor",
              "call/floor", "fit/floor");
  for (std::size_t n : {std::size_t{60}, std::size_t{10000}}) {
    std::vector<double> omegas(n);
    for (std::size_t i = 0; i < n; ++i) {
      omegas[i] = kTwoPi * std::pow(10.0, -2.0 + 7.0 * static_cast<double>(i) / (n - 1));
    }
    std::vector<Complex> out(n);
    const SpectrumPlan plan(circuit, omegas);
    PlanScratch scratch;
    const double call = time_s([&] { impedance_block(circuit, omegas, out); }, budget);
    const double fit = time_s([&] { plan.plan.evaluate(p, plan.terms, out, scratch); }, budget);
    const double floor_pow = time_s(
        [&] {
          double acc = 0.0;
          for (double w : omegas) {
            acc += std::sqrt(w) + std::sqrt(w / 2.0) + std::pow(w, p[3]) + std::pow(w, p[7]);
          }
          sink = acc;
        },
        budget);
    const double scale = 1e9 / static_cast<double>(n);
    std::printf("%11zu %12.1f %12.1f %12.1f %11.2fx %11.2fx\n", n, call * scale, fit * scale,
                floor_pow * scale, call / floor_pow, fit / floor_pow);
  }
  return 0;
}
