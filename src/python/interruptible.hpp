#pragma once
// Long core calls that Ctrl-C can stop. The interpreter runs signal handlers
// only on its main thread and only when that thread runs Python code, so the
// work runs on a helper thread while the calling thread, with the
// interpreter lock released, wakes every kSignalPollMs to let the handlers
// run. When one raises (KeyboardInterrupt for Ctrl-C), the work's cancel
// flag is set, the work stops at its next residual evaluation
// (common/cancel.hpp), and the handler's exception propagates.
#include <functional>
#include <optional>

#include "common/cancel.hpp"
#include "python/bindings.hpp"

namespace korvex::py {

inline constexpr int kSignalPollMs = 50;

// Runs `work(flag)` as described above. Exceptions from `work` propagate,
// except the Cancelled that the flag causes. On any other thread, where no
// signal handler can run, `work(nullptr)` runs right there, the lock released.
void run_interruptible(const std::function<void(const CancelFlag*)>& work);

template <typename Result>
Result run_interruptible(const std::function<Result(const CancelFlag*)>& work) {
  std::optional<Result> result;
  run_interruptible([&](const CancelFlag* cancel) { result.emplace(work(cancel)); });
  return std::move(*result);
}

}  // namespace korvex::py
