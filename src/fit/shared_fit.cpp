#include "fit/shared_fit.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <atomic>
#include <cmath>

#include "circuit/params.hpp"
#include "common/pool.hpp"
#include "fit/analytic_jacobian.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/lm_problem.hpp"
#include "fit/outcome_checks.hpp"
#include "fit/parameter_map.hpp"

namespace korvex {
namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The partition of the parameters, and the internal (log-space) vectors.
struct Layout {
  std::vector<std::size_t> shared, local;  // parameter indices, held ones in neither
  std::vector<bool> held;
  std::vector<Bounds> bounds;
};

// One spectrum's contribution to the normal equations at the current point.
struct Block {
  MatrixXd a;    // local x local
  MatrixXd b;    // local x shared
  MatrixXd c;    // shared x shared
  VectorXd g_l;  // local gradient J_l^T r
  VectorXd g_s;  // shared gradient J_s^T r
  double cost = 0.0;
};

double slope(double p, const Bounds& b) { return physical_slope(p, b); }

// Bounded (not open-bound) entries of an internal vector into their bounds;
// held ones keep the start's value.
void clamp_bounded(std::vector<double>& x, const Layout& layout) {
  for (std::size_t j = 0; j < x.size() && j < layout.bounds.size(); ++j) {
    const auto [lo, hi] = layout.bounds[j];
    if (!layout.held[j] && !is_open_bound(layout.bounds[j])) x[j] = std::clamp(x[j], lo, hi);
  }
}

// Held parameters keep the start's value bit for bit, not its round trip
// through the log space.
std::vector<double> physical_of(const std::vector<double>& internal, const Layout& layout,
                                const SharedSpectrum& s) {
  std::vector<double> out(internal.size());
  for (std::size_t j = 0; j < internal.size(); ++j) {
    out[j] = layout.held[j] ? s.start[j] : to_physical(internal[j], layout.bounds[j]);
  }
  return out;
}

double cost_of(const SeriesList& circuit, const SharedSpectrum& s, const std::vector<double>& p) {
  EvalCounter counter;
  std::vector<double> r(2 * s.omegas.size());
  if (!residuals_into(Spectrum{circuit, s.omegas, s.impedances, s.weights}, p, counter, r)) {
    return std::nan("");
  }
  const double c = cost(r);
  return std::isfinite(c) ? c : std::nan("");
}

// Which columns a block holds, and in which space: the minimiser's
// internal one (columns scaled by each parameter's slope) or the physical one.
struct Columns {
  const std::vector<std::size_t>& local;
  const std::vector<std::size_t>& shared;
  bool internal = true;
};

// The blocks of spectrum s at physical vector p; false when not finite.
bool build_block(const SeriesList& circuit, const SharedSpectrum& s, const std::vector<double>& p,
                 const Layout& layout, const Columns& which, Block& out) {
  const std::size_t m = 2 * s.omegas.size(), n = p.size();
  EvalCounter counter;
  const Spectrum spectrum{circuit, s.omegas, s.impedances, s.weights};
  std::vector<double> r(m), jac(m * n);
  if (!residuals_into(spectrum, p, counter, r)) return false;
  if (!analytic_jacobian_into(spectrum, p, counter, jac)) return false;
  auto columns = [&](const std::vector<std::size_t>& idx) {
    MatrixXd j(m, idx.size());
    for (std::size_t c = 0; c < idx.size(); ++c) {
      const double k = which.internal ? slope(p[idx[c]], layout.bounds[idx[c]]) : 1.0;
      for (std::size_t i = 0; i < m; ++i) j(i, c) = jac[idx[c] * m + i] * k;
    }
    return j;
  };
  const MatrixXd jl = columns(which.local), js = columns(which.shared);
  const Eigen::Map<const VectorXd> rv(r.data(), m);
  out.a = jl.transpose() * jl;
  out.b = jl.transpose() * js;
  out.c = js.transpose() * js;
  out.g_l = jl.transpose() * rv;
  out.g_s = js.transpose() * rv;
  out.cost = cost(r);
  return std::isfinite(out.cost) && out.a.allFinite() && out.b.allFinite() && out.c.allFinite();
}

// Bounded parameters on a bound whose descent direction points out of it
// take no step (an active set), so that the others move freely; a clipped
// full step would only crawl along the bound.
std::vector<Block> pin_active(std::vector<Block> blocks, const Layout& layout,
                              const std::vector<std::vector<double>>& x) {
  auto pushes_out = [&](std::size_t j, double value, double gradient) {
    const auto [lo, hi] = layout.bounds[j];
    return !is_open_bound(layout.bounds[j]) &&
           ((value <= lo && gradient > 0.0) || (value >= hi && gradient < 0.0));
  };
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    Block& b = blocks[k];
    for (std::size_t c = 0; c < layout.local.size(); ++c) {
      const auto i = static_cast<Eigen::Index>(c);
      if (!pushes_out(layout.local[c], x[k][layout.local[c]], b.g_l[i])) continue;
      b.a.row(i).setZero();
      b.a.col(i).setZero();
      b.a(i, i) = 1.0;
      b.b.row(i).setZero();
      b.g_l[i] = 0.0;
    }
  }
  for (std::size_t c = 0; c < layout.shared.size() && !blocks.empty(); ++c) {
    const auto i = static_cast<Eigen::Index>(c);
    double gradient = 0.0;
    for (const Block& b : blocks) gradient += b.g_s[i];
    if (!pushes_out(layout.shared[c], x[0][layout.shared[c]], gradient)) continue;
    for (Block& b : blocks) {
      b.c.row(i).setZero();
      b.c.col(i).setZero();
      b.c(i, i) = 1.0 / static_cast<double>(blocks.size());
      b.b.col(i).setZero();
      b.g_s[i] = 0.0;
    }
  }
  return blocks;
}

MatrixXd damped(const MatrixXd& m, double lambda) {
  MatrixXd out = m;
  for (Eigen::Index i = 0; i < m.rows(); ++i) out(i, i) += lambda * std::max(m(i, i), 1e-12);
  return out;
}

// The Schur-complement solve of the damped normal equations: the step of the
// shared parameters and of each spectrum's local ones. False when a block is
// not positive definite.
bool solve_step(const std::vector<Block>& blocks, double lambda, VectorXd& step_s,
                std::vector<VectorXd>& step_l) {
  const Eigen::Index ns = blocks.empty() ? 0 : blocks[0].c.rows();
  MatrixXd schur = MatrixXd::Zero(ns, ns);
  VectorXd rhs = VectorXd::Zero(ns);
  std::vector<Eigen::LDLT<MatrixXd>> factors(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    schur += blocks[k].c;
    rhs -= blocks[k].g_s;
  }
  schur = damped(schur, lambda);
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    factors[k].compute(damped(blocks[k].a, lambda));
    if (factors[k].info() != Eigen::Success) return false;
    const MatrixXd ainv_b = factors[k].solve(blocks[k].b);
    schur -= blocks[k].b.transpose() * ainv_b;
    rhs += ainv_b.transpose() * blocks[k].g_l;
  }
  Eigen::LDLT<MatrixXd> schur_factor(schur);
  if (ns > 0 && schur_factor.info() != Eigen::Success) return false;
  step_s = ns > 0 ? VectorXd(schur_factor.solve(rhs)) : VectorXd();
  step_l.resize(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    VectorXd g = blocks[k].g_l;
    if (ns > 0) g += blocks[k].b * step_s;
    step_l[k] = -factors[k].solve(g);
  }
  return step_s.allFinite();
}

// Diagonals of the inverse joint normal matrix: the shared block is the
// inverse Schur complement S^-1, spectrum k's local block is
// A^-1 + A^-1 B S^-1 B^T A^-1. The matrix is first scaled to a unit diagonal
// (columns of J to unit length), so that singular means linearly dependent
// columns rather than parameters of very different magnitudes.
std::optional<std::vector<VectorXd>> inverse_diagonals(std::vector<Block> blocks,
                                                       VectorXd& shared_diag) {
  const Eigen::Index ns = blocks.empty() ? 0 : blocks[0].c.rows();
  VectorXd shared_scale = VectorXd::Zero(ns);
  for (const Block& b : blocks) shared_scale += b.c.diagonal();
  shared_scale = shared_scale.cwiseSqrt().cwiseInverse();
  std::vector<VectorXd> local_scale(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    local_scale[k] = blocks[k].a.diagonal().cwiseSqrt().cwiseInverse();
    const auto dl = local_scale[k].asDiagonal();
    const auto ds = shared_scale.asDiagonal();
    blocks[k].a = dl * blocks[k].a * dl;
    blocks[k].b = dl * blocks[k].b * ds;
    blocks[k].c = ds * blocks[k].c * ds;
  }
  MatrixXd schur = MatrixXd::Zero(ns, ns);
  std::vector<MatrixXd> ainv(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    Eigen::FullPivLU<MatrixXd> lu(blocks[k].a);
    if (!lu.isInvertible()) return std::nullopt;
    ainv[k] = lu.inverse();
    schur += blocks[k].c - blocks[k].b.transpose() * ainv[k] * blocks[k].b;
  }
  MatrixXd sinv = MatrixXd::Zero(ns, ns);
  if (ns > 0) {
    Eigen::FullPivLU<MatrixXd> lu(schur);
    if (!lu.isInvertible()) return std::nullopt;
    sinv = lu.inverse();
  }
  shared_diag = sinv.diagonal().cwiseProduct(shared_scale.cwiseAbs2());
  std::vector<VectorXd> out(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const MatrixXd ab = ainv[k] * blocks[k].b;
    out[k] =
        (ainv[k] + ab * sinv * ab.transpose()).diagonal().cwiseProduct(local_scale[k].cwiseAbs2());
  }
  return out;
}

// Pivots below this (of the normal matrix scaled to a unit diagonal) mark a
// column that the others already determine: a condition number beyond 1e12.
constexpr double kDependentPivot = 1e-12;

// Per column of the normal matrix m: whether it is zero or a combination of
// the others, read from the pivots of a diagonally pivoted LDLT factorisation
// (the dependent columns come last, with pivots near zero).
std::vector<bool> dependent_columns(const MatrixXd& m) {
  const Eigen::Index size = m.rows();
  std::vector<bool> out(static_cast<std::size_t>(size), false);
  VectorXd scale = VectorXd::Zero(size);
  for (Eigen::Index i = 0; i < size; ++i) {
    if (m(i, i) > 0.0) scale[i] = 1.0 / std::sqrt(m(i, i));
  }
  MatrixXd scaled = scale.asDiagonal() * m * scale.asDiagonal();
  for (Eigen::Index i = 0; i < size; ++i) {
    if (scale[i] == 0.0) {
      out[static_cast<std::size_t>(i)] = true;
      scaled(i, i) = 1.0;  // decoupled: its row and column are zero
    }
  }
  const Eigen::LDLT<MatrixXd> ldlt(scaled);
  std::vector<Eigen::Index> order(static_cast<std::size_t>(size));
  for (Eigen::Index i = 0; i < size; ++i) order[static_cast<std::size_t>(i)] = i;
  const auto& swaps = ldlt.transpositionsP();
  for (Eigen::Index i = 0; i < size; ++i) {
    std::swap(order[static_cast<std::size_t>(i)], order[static_cast<std::size_t>(swaps.coeff(i))]);
  }
  for (Eigen::Index i = 0; i < size; ++i) {
    if (!(ldlt.vectorD()[i] > kDependentPivot)) out[static_cast<std::size_t>(order[i])] = true;
  }
  return out;
}

// The entries of `among` not flagged (flags by position in `among`).
std::vector<std::size_t> kept(const std::vector<std::size_t>& among,
                              const std::vector<bool>& flagged) {
  std::vector<std::size_t> out;
  out.reserve(among.size());
  for (std::size_t c = 0; c < among.size(); ++c) {
    if (!flagged[c]) out.push_back(among[c]);
  }
  return out;
}

// The parameters of `among` not on a bound (flags by parameter index).
std::vector<std::size_t> off_bound(const std::vector<std::size_t>& among,
                                   const std::vector<bool>& at_bound) {
  std::vector<std::size_t> out;
  out.reserve(among.size());
  for (std::size_t j : among) {
    if (!at_bound[j]) out.push_back(j);
  }
  return out;
}

// Standard errors sqrt(chi2 / dof * diag (J^T J)^-1) over the joint problem,
// in the physical space (as a single fit's). A parameter on a bound, or one
// that the others determine (a zero or dependent column), gets NaN and the
// others are read without it.
std::optional<std::vector<std::vector<double>>> joint_standard_errors(
    const SeriesList& circuit, const std::vector<SharedSpectrum>& spectra, const Layout& layout,
    const SharedFitOutcome& fitted) {
  const std::size_t count = spectra.size(), n = layout.bounds.size();
  std::size_t rows = 0;
  for (const auto& s : spectra) rows += 2 * s.omegas.size();
  const std::size_t unknowns = layout.shared.size() + count * layout.local.size();
  if (rows <= unknowns || count == 0) return std::nullopt;
  const ParameterMap map(circuit, layout.held);
  std::vector<std::vector<double>> errors(count, std::vector<double>(n, 0.0));
  std::vector<std::vector<std::size_t>> local(count);
  for (std::size_t k = 0; k < count; ++k) {
    const auto at_bound = parameters_at_bounds(fitted.params[k], layout.bounds, map);
    for (std::size_t j : layout.local) errors[k][j] = std::nan("");
    for (std::size_t j : layout.shared) errors[k][j] = std::nan("");
    local[k] = off_bound(layout.local, at_bound);
  }
  std::vector<std::size_t> shared =
      off_bound(layout.shared, parameters_at_bounds(fitted.params[0], layout.bounds, map));

  std::vector<Block> blocks(count);
  auto build = [&] {
    std::atomic<bool> ok{true};
    parallel_for(count, 4, [&](std::size_t k) {
      const Columns which{local[k], shared, false};
      if (!build_block(circuit, spectra[k], fitted.params[k], layout, which, blocks[k])) {
        ok.store(false);
      }
    });
    return ok.load();
  };
  // Each spectrum's own dependent columns first, then the shared ones that
  // its remaining columns and the other spectra determine (the Schur
  // complement), rebuilding the blocks over what is left each time.
  if (!build()) return std::nullopt;
  for (std::size_t k = 0; k < count; ++k) local[k] = kept(local[k], dependent_columns(blocks[k].a));
  if (!build()) return std::nullopt;
  const auto ns = static_cast<Eigen::Index>(shared.size());
  MatrixXd schur = MatrixXd::Zero(ns, ns);
  for (const Block& b : blocks) schur += b.c - b.b.transpose() * b.a.ldlt().solve(b.b);
  const std::vector<bool> shared_dependent = dependent_columns(schur);
  if (std::find(shared_dependent.begin(), shared_dependent.end(), true) != shared_dependent.end()) {
    shared = kept(shared, shared_dependent);
    if (!build()) return std::nullopt;
  }
  VectorXd shared_diag;
  const auto local_diag = inverse_diagonals(blocks, shared_diag);
  if (!local_diag) return std::nullopt;
  const double variance = fitted.total_chi_square / static_cast<double>(rows - unknowns);
  for (std::size_t k = 0; k < count; ++k) {
    for (std::size_t c = 0; c < shared.size(); ++c) {
      errors[k][shared[c]] = std::sqrt(variance * shared_diag[static_cast<Eigen::Index>(c)]);
    }
    for (std::size_t c = 0; c < local[k].size(); ++c) {
      errors[k][local[k][c]] = std::sqrt(variance * (*local_diag)[k][static_cast<Eigen::Index>(c)]);
    }
  }
  return errors;
}

}  // namespace

SharedFitOutcome shared_fit(const SeriesList& circuit, const std::vector<SharedSpectrum>& spectra,
                            const SharedFitSettings& settings) {
  const std::size_t n = param_count(circuit), count = spectra.size();
  Layout layout;
  layout.bounds = settings.bounds.empty() ? param_bounds(circuit) : settings.bounds;
  layout.held.assign(n, false);
  for (std::size_t j = 0; j < n; ++j) {
    if (j < settings.held.size() && settings.held[j]) {
      layout.held[j] = true;
      continue;
    }
    (j < settings.shared.size() && settings.shared[j] ? layout.shared : layout.local).push_back(j);
  }
  // Internal vectors per spectrum, moved into the bounds (a step never
  // leaves them, so a start outside would stay there); a shared parameter
  // starts at the median of the spectra's own values (in the internal, log
  // space).
  std::vector<std::vector<double>> x(count);
  for (std::size_t k = 0; k < count; ++k) {
    x[k] = to_internal(spectra[k].start, layout.bounds);
    clamp_bounded(x[k], layout);
  }
  for (std::size_t j : layout.shared) {
    std::vector<double> values;
    values.reserve(x.size());
    for (const auto& v : x) values.push_back(v[j]);
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    for (auto& v : x) v[j] = values[values.size() / 2];
  }

  SharedFitOutcome out;
  out.termination = Termination::NonFinite;
  std::vector<Block> blocks(count);
  const Columns minimised{layout.local, layout.shared, true};
  auto build_all = [&](const std::vector<std::vector<double>>& at) {
    std::atomic<bool> ok{true};
    parallel_for(count, 4, [&](std::size_t k) {
      const std::vector<double> p = physical_of(at[k], layout, spectra[k]);
      if (!build_block(circuit, spectra[k], p, layout, minimised, blocks[k])) ok.store(false);
    });
    return ok.load();
  };
  auto total_cost = [&](const std::vector<std::vector<double>>& at) {
    std::vector<double> costs(count);
    parallel_for(count, 4, [&](std::size_t k) {
      costs[k] = cost_of(circuit, spectra[k], physical_of(at[k], layout, spectra[k]));
    });
    double sum = 0.0;
    for (double c : costs) sum += c;
    return sum;
  };

  double lambda = 1e-3;
  if (build_all(x)) {
    double current = 0.0;
    for (const Block& b : blocks) current += b.cost;
    out.termination = Termination::BudgetExhausted;  // unless a step below ends the loop
    for (out.iterations = 0; out.iterations < settings.max_iterations; ++out.iterations) {
      VectorXd step_s;
      std::vector<VectorXd> step_l;
      bool accepted = false;
      double next_cost = current;
      std::vector<std::vector<double>> trial;
      const std::vector<Block> pinned = pin_active(blocks, layout, x);
      while (lambda < 1e16) {
        if (solve_step(pinned, lambda, step_s, step_l)) {
          trial = x;
          for (std::size_t k = 0; k < count; ++k) {
            std::vector<double>& t = trial[k];
            for (std::size_t c = 0; c < layout.shared.size(); ++c) t[layout.shared[c]] += step_s[c];
            for (std::size_t c = 0; c < layout.local.size(); ++c) {
              t[layout.local[c]] += step_l[k][c];
            }
            clamp_bounded(t, layout);
          }
          next_cost = total_cost(trial);
          if (next_cost < current) {
            accepted = true;
            break;
          }
        }
        lambda *= 4.0;
      }
      if (!accepted) {
        out.termination = Termination::Converged;  // no step lowers the cost: a minimum
        break;
      }
      const double reduction = (current - next_cost) / current;
      x = std::move(trial);
      current = next_cost;
      lambda = std::max(lambda * 0.3, 1e-12);
      if (!build_all(x)) {
        out.termination = Termination::NonFinite;
        break;
      }
      if (reduction < settings.ftol) {
        out.termination = Termination::ConvergedFtol;
        ++out.iterations;
        break;
      }
    }
  }
  out.success = succeeded(out.termination);

  out.params.resize(count);
  out.chi_square.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    out.params[k] = physical_of(x[k], layout, spectra[k]);
    out.chi_square[k] = 2.0 * cost_of(circuit, spectra[k], out.params[k]);
    out.total_chi_square += out.chi_square[k];
  }

  out.stderr_ = joint_standard_errors(circuit, spectra, layout, out);
  return out;
}

}  // namespace korvex
