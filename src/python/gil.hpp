#pragma once
// Releasing the interpreter lock so that the interpreter's exit cannot abort
// the process. Once finalization has begun, CPython ends any other thread
// that takes the lock back with pthread_exit, and the unwinding this starts
// ends in std::terminate where it meets a noexcept frame, such as the
// destructor of a lock-release guard: a daemon thread inside a long call
// aborted the process when the program ended. An atexit function, which runs
// before finalization begins, marks the exit and waits for the threads
// already on their way back to the lock; a thread that would take the lock
// back after that parks instead, without touching Python, until the process
// ends.
#include "common/cancel.hpp"
#include "python/bindings.hpp"

namespace korvex::py {

// Releases the interpreter lock for its scope.
class ReleasedGil {
 public:
  // `on_exit`, when given, is set if this thread parks: work that the thread
  // waits for stops rather than runs on while the process ends.
  explicit ReleasedGil(CancelFlag* on_exit = nullptr);
  ~ReleasedGil();
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Runs `f` with the lock held, then releases it again; `f` must not throw.
  template <typename F>
  void locked(F&& f) noexcept {
    retake();
    f();
    release();
  }

 private:
  void release();
  void retake();

  PyThreadState* state_ = nullptr;
  CancelFlag* on_exit_;
};

}  // namespace korvex::py
