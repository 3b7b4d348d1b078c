#pragma once
// Cooperative cancellation of long computations. Whoever may want to stop a
// computation owns a flag and installs it on the computing thread with a
// CancelScope; the worker pool carries the flag of the thread that hands it
// work into the tasks it runs, and the residual evaluation, which every fit
// method passes through, checks it. Once the flag is set, the next check
// throws Cancelled, which unwinds the computation.
#include <atomic>
#include <exception>

namespace korvex {

using CancelFlag = std::atomic<bool>;

struct Cancelled : std::exception {
  const char* what() const noexcept override { return "the computation was cancelled"; }
};

// Makes `flag` this thread's flag until the scope ends (then the previous one
// is back). A null flag leaves the current one in place.
class CancelScope {
 public:
  explicit CancelScope(const CancelFlag* flag);
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  const CancelFlag* previous_;
};

// This thread's flag; null when none is installed.
const CancelFlag* current_cancel_flag();

// Throws Cancelled when this thread's flag is set.
void throw_if_cancelled();

}  // namespace korvex
