#include "fit/outcome_status.hpp"

namespace korvex {

std::string_view termination_name(Termination reason) {
  switch (reason) {
    case Termination::ConvergedFtol: return "converged_ftol";
    case Termination::ConvergedXtol: return "converged_xtol";
    case Termination::ConvergedFtolXtol: return "converged_ftol_xtol";
    case Termination::ConvergedGtol: return "converged_gtol";
    case Termination::Converged: return "converged";
    case Termination::GlobalSearchDone: return "global_search_done";
    case Termination::Evaluated: return "evaluated";
    case Termination::BudgetExhausted: return "budget_exhausted";
    case Termination::ToleranceTooSmall: return "tolerance_too_small";
    case Termination::NonFinite: return "nonfinite";
    case Termination::Runaway: return "runaway";
    case Termination::NotConverged: return "not_converged";
    case Termination::InvalidProblem: return "invalid_problem";
    case Termination::ConvergedStall: return "converged_stall";
  }
  return "invalid_problem";
}

std::string_view termination_message(Termination reason) {
  switch (reason) {
    case Termination::ConvergedFtol:
      return "Converged: the relative reduction of chi-square fell below ftol.";
    case Termination::ConvergedXtol:
      return "Converged: the relative change of the parameters fell below xtol.";
    case Termination::ConvergedFtolXtol:
      return "Converged: both chi-square and the parameters stopped changing within ftol and "
             "xtol.";
    case Termination::ConvergedGtol:
      return "Converged: the gradient of chi-square vanished within gtol.";
    case Termination::Converged: return "Converged.";
    case Termination::GlobalSearchDone:
      return "The global search's best point was kept: it beats the converged local refinement "
             "started from it.";
    case Termination::Evaluated:
      return "Every parameter is held constant: the circuit was evaluated, nothing was fitted.";
    case Termination::BudgetExhausted:
      return "Not converged: the evaluation budget ran out (raise max_iterations).";
    case Termination::ToleranceTooSmall:
      return "Not converged: no further improvement is possible at the requested tolerances.";
    case Termination::NonFinite:
      return "Failed: the model gave non-finite values, so the fit could not go on.";
    case Termination::Runaway:
      return "Failed: a parameter ran off (a resistance over 1000 times the largest |Z|, or an "
             "exponent at 0), so the minimum found is not a physical one.";
    case Termination::NotConverged: return "Not converged.";
    case Termination::InvalidProblem: return "Failed: the minimiser refused the problem.";
    case Termination::ConvergedStall:
      return "Converged: chi-square fell less than 1e-5 (relative) over five iterations.";
  }
  return "Failed: the minimiser refused the problem.";
}

bool succeeded(Termination reason) {
  switch (reason) {
    case Termination::ConvergedFtol:
    case Termination::ConvergedXtol:
    case Termination::ConvergedFtolXtol:
    case Termination::ConvergedGtol:
    case Termination::Converged:
    case Termination::GlobalSearchDone:
    case Termination::Evaluated:
    case Termination::ConvergedStall: return true;
    default: return false;
  }
}

Termination termination_of_lmder(int info) {
  // Exactly zero residuals give a zero gradient, which lmder reports as info 4.
  switch (info) {
    case 1: return Termination::ConvergedFtol;
    case 2: return Termination::ConvergedXtol;
    case 3: return Termination::ConvergedFtolXtol;
    case 4: return Termination::ConvergedGtol;
    case 5: return Termination::BudgetExhausted;
    case 6:
    case 7:
    case 8: return Termination::ToleranceTooSmall;
    case kLmderStalledInfo: return Termination::ConvergedStall;
    default: return info < 0 ? Termination::NonFinite : Termination::InvalidProblem;
  }
}

}  // namespace korvex
