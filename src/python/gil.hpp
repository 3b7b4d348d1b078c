#pragma once
// Releasing the interpreter lock so that the interpreter's exit cannot abort
// the process. Once finalization has begun, CPython ends any other thread
// that takes the lock back with pthread_exit, and the unwinding this starts
// ends in std::terminate where it meets a noexcept frame, such as the
// destructor of a lock-release guard: a daemon thread inside a long call
// aborted the process when the program ended. An atexit function, which runs
// before finalization begins, marks the exit and waits for the threads that
// hold the lock again (or wait for it) inside a call; a thread that would take
// the lock back after that parks instead, without touching Python, until the
// process ends. What a call runs with the lock held before its first release
// (converting its arguments) stays exposed, as in any extension.
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
  void retake();   // holds the lock again, counted, or parks
  void release();  // releases it, and the count
  void leave();    // ends the counted stretch

  PyThreadState* state_ = nullptr;
  CancelFlag* on_exit_;
};

}  // namespace korvex::py
