#include "circuit/plan.hpp"

#include <algorithm>

#include "common/units.hpp"

namespace korvex {

bool single_admittance(const SeriesList& branch) {
  return branch.size() == 1 && !branch[0].parallel && has_direct_admittance(branch[0].element.kind);
}

ImpedancePlan::ImpedancePlan(const SeriesList& circuit) {
  compile(circuit, 0);
  for (const Step& step : steps_) {
    const bool element = step.op == Op::kElement || step.op == Op::kAdmittance;
    const Kind k = step.kind;
    if (element && (k == Kind::La || k == Kind::Cpe || k == Kind::Zarc || k == Kind::Tlmq)) {
      needs_log_ = true;
    }
  }
}

void ImpedancePlan::compile(const SeriesList& list, unsigned level) {
  levels_ = std::max<std::size_t>(levels_, level + 1);
  for (const Node& node : list) {
    if (!node.parallel) {
      const std::span<const double> values = node.element.values();
      const std::size_t first = param_count_;
      param_count_ += values.size();
      steps_.push_back(
          {Op::kElement, node.element.kind, level, first, param_count_, steps_.size() + 1, 0});
      tree_values_.insert(tree_values_.end(), values.begin(), values.end());
      continue;
    }
    const std::size_t group = steps_.size();
    steps_.push_back({Op::kOpenGroup, Kind::R, level, param_count_, 0, 0, 0});
    for (const SeriesList& branch : node.branches) {
      if (single_admittance(branch)) {
        levels_ = std::max<std::size_t>(levels_, level + 2);  // the branch level's arrays
        const std::span<const double> values = branch[0].element.values();
        const std::size_t first = param_count_;
        param_count_ += values.size();
        steps_.push_back({Op::kAdmittance, branch[0].element.kind, level + 1, first, param_count_,
                          steps_.size() + 1, 0});
        tree_values_.insert(tree_values_.end(), values.begin(), values.end());
        continue;
      }
      const std::size_t open = steps_.size();
      steps_.push_back({Op::kOpenBranch, Kind::R, level + 1, param_count_, 0, 0, 0});
      compile(branch, level + 1);
      steps_.push_back({Op::kCloseBranch, Kind::R, level + 1, 0, 0, 0, open});
      steps_[open].end_param = param_count_;
      steps_[open].end_step = steps_.size();
    }
    steps_.push_back({Op::kCloseGroup, Kind::R, level, 0, 0, 0, group});
    steps_[group].end_param = param_count_;
    steps_[group].end_step = steps_.size();
  }
}

// Level d's arrays, each kBlockSize long, at scratch + 6 * kBlockSize * d:
// the running series sum (re, im), one element's values, and the admittance
// sum of a parallel group.
void ImpedancePlan::evaluate_block(const double* params, const FrequencyTerms* w, std::size_t n,
                                   double* scratch, const Pass& pass) const {
  constexpr std::size_t B = kBlockSize;
  const bool reuse = pass.mode == Mode::kReuse;
  const bool record = pass.mode == Mode::kRecord;
  // Adds what step k recorded to the (re, im) arrays.
  const auto add_recorded = [&](std::size_t k, double* __restrict re, double* __restrict im) {
    const double* __restrict r_re = pass.record_re + k * pass.stride;
    const double* __restrict r_im = pass.record_im + k * pass.stride;
    for (std::size_t i = 0; i < n; ++i) {
      re[i] = re[i] + r_re[i];
      im[i] = im[i] + r_im[i];
    }
  };
  // Adds 1 / (d_re, d_im) to the (re, im) arrays, recording it for step k.
  const auto add_reciprocal = [&](std::size_t k, double* __restrict re, double* __restrict im,
                                  const double* __restrict d_re, const double* __restrict d_im) {
    double* __restrict w_re = record ? pass.write_re + k * pass.stride : nullptr;
    double* __restrict w_im = record ? pass.write_im + k * pass.stride : nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      const Complex r = creciprocal({d_re[i], d_im[i]});
      re[i] = re[i] + r.re;
      im[i] = im[i] + r.im;
      if (record) {
        w_re[i] = r.re;
        w_im[i] = r.im;
      }
    }
  };

  // Adds one element's block (its impedance or its admittance, as `block`
  // gives it) of step k to the (re, im) arrays, recording it when asked.
  const auto add_block = [&](auto block, const Step& step, std::size_t k, double* base,
                             double* __restrict re, double* __restrict im) {
    double* __restrict v_re = record ? pass.write_re + k * pass.stride : base + 2 * B;
    double* __restrict v_im = record ? pass.write_im + k * pass.stride : base + 3 * B;
    block(step.kind, params + step.first_param, w, n, v_re, v_im);
    for (std::size_t i = 0; i < n; ++i) {
      re[i] = re[i] + v_re[i];
      im[i] = im[i] + v_im[i];
    }
  };

  for (std::size_t i = 0; i < n; ++i) scratch[i] = scratch[B + i] = 0.0;
  for (std::size_t k = 0; k < steps_.size();) {
    const Step& step = steps_[k];
    double* base = scratch + 6 * B * step.level;
    double* sum_re = base;
    double* sum_im = base + B;
    const bool kept = reuse && (pass.changed < step.first_param || pass.changed >= step.end_param);
    switch (step.op) {
      case Op::kElement: {
        if (kept) {
          add_recorded(k, sum_re, sum_im);
          break;
        }
        add_block(kind_impedance_block, step, k, base, sum_re, sum_im);
        break;
      }
      case Op::kAdmittance: {
        double* group_re = base - 2 * B;  // the group's admittance sum
        double* group_im = base - B;
        if (kept) {
          add_recorded(k, group_re, group_im);
          break;
        }
        add_block(kind_admittance_block, step, k, base, group_re, group_im);
        break;
      }
      case Op::kOpenGroup:
        if (kept) {
          add_recorded(k, sum_re, sum_im);
          k = step.end_step;
          continue;
        }
        for (std::size_t i = 0; i < n; ++i) base[4 * B + i] = base[5 * B + i] = 0.0;
        break;
      case Op::kOpenBranch:
        if (kept) {
          add_recorded(k, base - 2 * B, base - B);  // the group's admittance sum
          k = step.end_step;
          continue;
        }
        for (std::size_t i = 0; i < n; ++i) sum_re[i] = sum_im[i] = 0.0;
        break;
      case Op::kCloseBranch:
        add_reciprocal(step.open_step, base - 2 * B, base - B, sum_re, sum_im);
        break;
      case Op::kCloseGroup:
        add_reciprocal(step.open_step, sum_re, sum_im, base + 4 * B, base + 5 * B);
        break;
    }
    ++k;
  }
}

bool ImpedancePlan::run(std::span<const double> params, std::span<const FrequencyTerms> terms,
                        std::span<Complex> out, PlanScratch& scratch, Mode mode,
                        std::size_t changed, const PlanRecord* read, PlanRecord* write) const {
  const std::size_t n = terms.size();
  if (n == 0) return true;
  if (params.size() < param_count_) return false;
  constexpr std::size_t B = kBlockSize;
  if (scratch.levels.size() < levels_ * 6 * B) scratch.levels.resize(levels_ * 6 * B);
  Pass pass;
  pass.mode = mode;
  pass.changed = changed;
  if (write) {
    write->re.resize(steps_.size() * n);
    write->im.resize(steps_.size() * n);
    write->frequencies = n;
  }
  pass.stride = n;
  double* s = scratch.levels.data();
  for (std::size_t start = 0; start < n; start += B) {
    const std::size_t m = std::min(B, n - start);
    if (write) {
      pass.write_re = write->re.data() + start;
      pass.write_im = write->im.data() + start;
    }
    if (read) {
      pass.record_re = read->re.data() + start;
      pass.record_im = read->im.data() + start;
    }
    evaluate_block(params.data(), terms.data() + start, m, s, pass);
    for (std::size_t i = 0; i < m; ++i) out[start + i] = {s[i], s[B + i]};
  }
  return true;
}

bool ImpedancePlan::evaluate(std::span<const double> params, std::span<const FrequencyTerms> terms,
                             std::span<Complex> out, PlanScratch& scratch) const {
  return run(params, terms, out, scratch, Mode::kPlain, 0, nullptr, nullptr);
}

bool ImpedancePlan::evaluate_recording(std::span<const double> params,
                                       std::span<const FrequencyTerms> terms,
                                       std::span<Complex> out, PlanScratch& scratch,
                                       PlanRecord& record) const {
  return run(params, terms, out, scratch, Mode::kRecord, 0, nullptr, &record);
}

bool ImpedancePlan::evaluate_changed(std::span<const double> params, std::size_t changed,
                                     std::span<const FrequencyTerms> terms,
                                     const PlanRecord& record, std::span<Complex> out,
                                     PlanScratch& scratch) const {
  if (record.frequencies != terms.size()) return evaluate(params, terms, out, scratch);
  return run(params, terms, out, scratch, Mode::kReuse, changed, &record, nullptr);
}

bool evaluate_at(const ImpedancePlan& plan, std::span<const double> params, const double* x,
                 std::size_t n, bool hertz, Complex* out) {
  constexpr std::size_t B = ImpedancePlan::kBlockSize;
  PlanScratch& scratch = PlanScratch::of_this_thread();
  std::vector<FrequencyTerms>& terms = scratch.terms;
  for (std::size_t start = 0; start < n; start += B) {
    const std::size_t m = std::min(B, n - start);
    terms.clear();
    for (std::size_t i = start; i < start + m; ++i) {
      terms.emplace_back(hertz ? x[i] * kTwoPi : x[i], plan.needs_log());
    }
    if (!plan.evaluate(params, terms, {out + start, m}, scratch)) return false;
  }
  return true;
}

PlanScratch& PlanScratch::of_this_thread() {
  thread_local PlanScratch scratch;
  return scratch;
}

std::vector<FrequencyTerms> frequency_terms(std::span<const double> omegas) {
  std::vector<FrequencyTerms> terms;
  terms.reserve(omegas.size());
  for (double w : omegas) terms.emplace_back(w);
  return terms;
}

}  // namespace korvex
