#pragma once
// Long core calls that Ctrl-C can stop. The interpreter runs signal handlers
// only on its main thread and only when that thread runs Python code, so the
// work runs on a helper thread while the calling thread, with the
// interpreter lock released, wakes every kSignalPollMs to let the handlers
// run and to call the caller's poll (a progress report). When either raises
// (KeyboardInterrupt for Ctrl-C), the work's cancel flag is set, the work
// stops at its next check (common/cancel.hpp), and the exception propagates
// once the work has ended. The lock is released through ReleasedGil, so a
// daemon thread inside such a call does not abort the interpreter's exit.
#include <functional>
#include <optional>

#include "common/cancel.hpp"
#include "python/bindings.hpp"

namespace korvex::py {

inline constexpr int kSignalPollMs = 50;

// Called with the interpreter lock held while the work runs; what it raises
// stops the work as Ctrl-C does.
using Poll = std::function<void()>;

// Runs `work(flag)` as described above. Exceptions from `work` propagate,
// except the Cancelled that the flag causes; a Python exception from a signal
// handler or `poll` comes first. `flag` is the flag to set (by default one of
// the call's own), for work that watches a flag of its own. On threads other
// than the main one no signal handler can run: without a `poll`, the work
// runs right there, the lock released.
void run_interruptible(const std::function<void(const CancelFlag*)>& work, const Poll& poll = {},
                       CancelFlag* flag = nullptr);

template <typename Result>
Result run_interruptible(const std::function<Result(const CancelFlag*)>& work) {
  std::optional<Result> result;
  run_interruptible([&](const CancelFlag* cancel) { result.emplace(work(cancel)); });
  return std::move(*result);
}

}  // namespace korvex::py
