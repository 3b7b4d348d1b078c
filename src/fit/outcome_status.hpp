#pragma once
// Why a fit ended. Success is read from the reason, never set beside it.
#include <string_view>

namespace korvex {

enum class Termination {
  ConvergedFtol,      // the relative reduction of the sum of squares fell below ftol
  ConvergedXtol,      // the relative step fell below xtol
  ConvergedFtolXtol,  // both of the above at once
  ConvergedGtol,      // the residuals are orthogonal to the Jacobian within gtol
  ConvergedStall,     // the fast engine's stall rule: the cost stopped falling
  Converged,          // a caller's plain success flag, without a finer reason
  GlobalSearchDone,   // a global search's best point beat its converged local polish
  Evaluated,          // every parameter held: the circuit was evaluated, nothing searched
  BudgetExhausted,    // the evaluation budget ran out before convergence
  ToleranceTooSmall,  // no further improvement possible at the requested tolerances
  NonFinite,          // residuals, Jacobian or the final cost were not finite
  Runaway,            // a parameter ran off (outcome_checks.hpp): the minimum is not physical
  NotConverged,       // a caller's plain failure flag, without a finer reason
  InvalidProblem,     // the minimiser refused the problem as posed
};

// lmder's `info` of a run that the stall rule ended (outside lmder's own codes).
inline constexpr int kLmderStalledInfo = 100;

// A short snake_case name such as "converged_ftol".
std::string_view termination_name(Termination reason);
// One plain sentence.
std::string_view termination_message(Termination reason);
bool succeeded(Termination reason);
// The reason behind cminpack lmder's `info` (negative: stopped by our
// callback on non-finite values; kLmderStalledInfo: by the stall rule).
Termination termination_of_lmder(int info);

}  // namespace korvex
