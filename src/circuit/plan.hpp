#pragma once
// A circuit compiled for repeated evaluation: the tree flattened into a
// post-order program of element and combine steps with parameter offsets, so
// that evaluating it walks a short array instead of the tree; and a spectrum's
// per-frequency terms (sqrt omega, sqrt(j omega), ...) computed once and
// reused by every evaluation of a fit.
#include <cstddef>
#include <span>
#include <vector>

#include "circuit/node.hpp"

namespace korvex {

// Scratch of one evaluation thread; grows to the largest plan it has served
// and is then reused without allocating.
struct PlanScratch {
  std::vector<double> levels;         // 6 arrays of one block per nesting level
  std::vector<Complex> model;         // a whole spectrum's model values, for the callers' use
  std::vector<FrequencyTerms> terms;  // one block's terms, for evaluations at given frequencies

  // The calling thread's own scratch. Evaluations never nest, so one per
  // thread serves every fit running on it without sharing anything.
  static PlanScratch& of_this_thread();
};

// What every step of a plan added to its parent's sum at one parameter vector
// (an element's impedance, a branch's admittance, a group's impedance), for
// a whole spectrum: evaluations that change one parameter recompute only the
// steps above it and take the rest from here.
struct PlanRecord {
  std::vector<double> re, im;  // [step * frequencies + i]
  std::size_t frequencies = 0;
};

class ImpedancePlan {
 public:
  explicit ImpedancePlan(const SeriesList& circuit);

  // Parameters the program draws in leaf order (param_count of the circuit).
  std::size_t param_count() const { return param_count_; }
  // The element values of the tree the plan was compiled from, leaf order.
  std::span<const double> tree_values() const { return tree_values_; }
  // Whether an element takes powers of j*omega (FrequencyTerms::log_omega).
  bool needs_log() const { return needs_log_; }

  // Impedance at terms[i] for every i, into out[i], with element values from
  // `params` (leaf order; at least param_count() of them, extra ones
  // ignored). Per frequency the operations are those of the tree walk in
  // impedance(), in the same order. False, with nothing written, when
  // `params` is too short (and there are frequencies).
  bool evaluate(std::span<const double> params, std::span<const FrequencyTerms> terms,
                std::span<Complex> out, PlanScratch& scratch) const;

  // evaluate(), keeping every step's contribution in `record`.
  bool evaluate_recording(std::span<const double> params, std::span<const FrequencyTerms> terms,
                          std::span<Complex> out, PlanScratch& scratch, PlanRecord& record) const;

  // evaluate() at `params` that differ from the recorded vector in parameter
  // `changed` only: the steps whose subtree does not hold that parameter
  // contribute their recorded values. Bit for bit what evaluate() gives,
  // since every step is a function of its own subtree's parameters.
  bool evaluate_changed(std::span<const double> params, std::size_t changed,
                        std::span<const FrequencyTerms> terms, const PlanRecord& record,
                        std::span<Complex> out, PlanScratch& scratch) const;

  // Frequencies per block: the scratch of a few nesting levels stays in the
  // first-level cache.
  static constexpr std::size_t kBlockSize = 128;

 private:
  enum class Op : unsigned char {
    kElement,      // sum[level] += element
    kAdmittance,   // y[level - 1] += admittance of a branch of one element
    kOpenGroup,    // y[level] = 0
    kOpenBranch,   // sum[level] = 0
    kCloseBranch,  // y[level - 1] += 1 / sum[level]
    kCloseGroup,   // sum[level] += 1 / y[level]
  };
  struct Step {
    Op op;
    Kind kind;
    unsigned level;
    std::size_t first_param;  // the subtree's parameters: [first_param, end_param)
    std::size_t end_param;
    std::size_t end_step;   // open steps: the step after the matching close
    std::size_t open_step;  // close steps: the matching open step, which holds the record
  };
  // How evaluate_block treats the record: ignore it, fill it, or read it.
  enum class Mode { kPlain, kRecord, kReuse };
  struct Pass {
    Mode mode = Mode::kPlain;
    std::size_t changed = 0;
    const double* record_re = nullptr;  // this block's first frequency of step 0
    const double* record_im = nullptr;
    double* write_re = nullptr;
    double* write_im = nullptr;
    std::size_t stride = 0;  // record entries per step
  };

  void compile(const SeriesList& list, unsigned level);
  bool run(std::span<const double> params, std::span<const FrequencyTerms> terms,
           std::span<Complex> out, PlanScratch& scratch, Mode mode, std::size_t changed,
           const PlanRecord* read, PlanRecord* write) const;
  void evaluate_block(const double* params, const FrequencyTerms* w, std::size_t n, double* scratch,
                      const Pass& pass) const;

  std::vector<Step> steps_;
  std::vector<double> tree_values_;
  std::size_t param_count_ = 0;
  std::size_t levels_ = 1;
  bool needs_log_ = false;
};

// A parallel branch of one element that has_direct_admittance: its group adds
// the element's admittance instead of the reciprocal of its impedance.
bool single_admittance(const SeriesList& branch);

// The terms of every angular frequency in `omegas`.
std::vector<FrequencyTerms> frequency_terms(std::span<const double> omegas);

// `plan` at x[i] (angular frequencies, or hertz when `hertz`) for every i,
// with element values `params`, into out[i]: the terms are worked out block
// by block into the thread's scratch. False as ImpedancePlan::evaluate.
bool evaluate_at(const ImpedancePlan& plan, std::span<const double> params, const double* x,
                 std::size_t n, bool hertz, Complex* out);

// A plan and the terms of one spectrum's angular frequencies, built once per
// fit (or per call) and borrowed by every evaluation.
struct SpectrumPlan {
  ImpedancePlan plan;
  std::vector<FrequencyTerms> terms;

  SpectrumPlan(const SeriesList& circuit, std::span<const double> omegas)
      : plan(circuit), terms(frequency_terms(omegas)) {}
};

}  // namespace korvex
