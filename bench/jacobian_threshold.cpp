// Where does spreading the Jacobian columns over the worker pool start to pay?
//
// For a few circuits and spectrum lengths this times one residual evaluation,
// the Jacobian with its columns computed one after another on the caller, the
// same columns as pool tasks, and jacobian_columns() as shipped (which picks
// one of the two by kParallelJacobianWork). Times are the minimum over
// many short batches (about 50 us each): on a shared machine that is the
// figure least disturbed by other load, close to what a quiet machine gives.
//
//   build-<name>/korvex_bench_jacobian [seconds per case, default 0.2]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/plan.hpp"
#include "common/pool.hpp"
#include "fit/residuals.hpp"

namespace {

using namespace korvex;
using Clock = std::chrono::steady_clock;

// Minimum time per call of `f`, in microseconds.
double time_us(const std::function<void()>& f, double budget_s) {
  int reps = 1;
  for (;;) {  // calibrate a batch of about 50 us
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) f();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s > 5e-5) break;
    reps *= 2;
  }
  double best = 1e300;
  const auto start = Clock::now();
  do {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count() / reps);
  } while (std::chrono::duration<double>(Clock::now() - start).count() < budget_s);
  return best * 1e6;
}

// Column j as the shipped Jacobian computes it: both evaluations through the
// subtrees recorded at `p` (`record`), with this thread's scratch.
void column(const Spectrum& s, const std::vector<double>& p, std::size_t j,
            const PlanRecord& record, std::vector<double>& out) {
  const std::size_t n = s.omegas.size();
  std::vector<double> shifted(p);
  std::vector<Complex> plus(n), minus(n);
  PlanScratch& scratch = PlanScratch::of_this_thread();
  const double h = jacobian_step(p[j]);
  shifted[j] = p[j] + h;
  s.plan->plan.evaluate_changed(shifted, j, s.plan->terms, record, plus, scratch);
  shifted[j] = p[j] - h;
  s.plan->plan.evaluate_changed(shifted, j, s.plan->terms, record, minus, scratch);
  for (std::size_t i = 0; i < n; ++i) {
    const double rp_re = (plus[i].re - s.impedances[i].re) / s.weights[i];
    const double rm_re = (minus[i].re - s.impedances[i].re) / s.weights[i];
    const double rp_im = (plus[i].im - s.impedances[i].im) / s.weights[i];
    const double rm_im = (minus[i].im - s.impedances[i].im) / s.weights[i];
    out[2 * i] = (rp_re - rm_re) / (h + h);
    out[2 * i + 1] = (rp_im - rm_im) / (h + h);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double budget = argc > 1 ? std::atof(argv[1]) : 0.2;
  std::printf("worker pool: %zu threads (workers + caller)\n", pool_concurrency());
  // The fixed price of a hand-off: two tasks of 20 us each, the second one
  // run by a worker that is usually asleep and must be woken first.
  const auto spin = [](double us) {
    const auto t0 = Clock::now();
    while (std::chrono::duration<double, std::micro>(Clock::now() - t0).count() < us) {
    }
  };
  const double t_pair =
      time_us([&] { parallel_for(2, 1, [&](std::size_t) { spin(20.0); }); }, budget);
  std::printf("two 20 us tasks on the pool: %.2f us (hand-off cost %.2f us)\n", t_pair,
              t_pair - 20.0);
  std::printf("%-38s %5s %2s %8s %9s %10s %10s %10s %7s\n", "circuit", "N", "P", "work", "resid us",
              "seq us", "pool us", "shipped us", "pool/seq");
  const char* circuits[] = {"R0-(R1,C1)", "R0-p(R1,CPE1)-p(R2-W2,CPE2)",
                            "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)-(R3,CPE3)-(R4,C4)"};
  for (const char* text : circuits) {
    const SeriesList circuit = std::get<SeriesList>(parse(text));
    const std::vector<double> p = param_values(circuit);
    const std::size_t np = p.size();
    for (std::size_t n : {5u, 10u, 20u, 30u, 60u, 120u, 250u, 500u, 1000u}) {
      std::vector<double> omegas(n);
      std::vector<Complex> z(n);
      for (std::size_t i = 0; i < n; ++i) {
        omegas[i] = kTwoPi * std::pow(10.0, -2.0 + 7.0 * i / n);
        const Complex zi = impedance(circuit, omegas[i]);
        z[i] = {zi.re * 1.01, zi.im * 0.99};
      }
      const std::vector<double> w = compute_weights(z, Weighting::Modulus);
      const SpectrumPlan plan(circuit, omegas);
      const Spectrum s{circuit, omegas, z, w, nullptr, &plan};
      PlanRecord record;
      std::vector<Complex> base(n);
      plan.plan.evaluate_recording(p, plan.terms, base, PlanScratch::of_this_thread(), record);
      EvalCounter counter;
      std::vector<std::vector<double>> cols(np, std::vector<double>(2 * n));
      std::vector<double> r(2 * n);

      const double t_res = time_us([&] { residuals_into(s, p, counter, r); }, budget);
      const double t_seq = time_us(
          [&] {
            for (std::size_t j = 0; j < np; ++j) column(s, p, j, record, cols[j]);
          },
          budget);
      const double t_pool = time_us(
          [&] { parallel_for(np, 1, [&](std::size_t j) { column(s, p, j, record, cols[j]); }); },
          budget);
      const double t_shipped = time_us([&] { (void)jacobian_columns(s, p, counter); }, budget);
      const std::size_t work = 2 * np * n * param_count(circuit);
      std::printf("%-38s %5zu %2zu %8zu %9.2f %10.2f %10.2f %10.2f %7.2f\n", text, n, np, work,
                  t_res, t_seq, t_pool, t_shipped, t_pool / t_seq);
    }
  }
  return 0;
}
