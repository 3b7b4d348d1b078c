#include "python/gil.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace korvex::py {
namespace {

// The thread running the interpreter's exit, once it has begun; 0 before.
std::atomic<unsigned long> g_exiting_thread{0};
// Threads that, inside a call, hold the lock again or are on their way to it.
std::atomic<int> g_holding{0};
// How deep this thread is in such stretches: a call made from one (a
// progress callback that fits) neither counts again nor parks.
thread_local int t_depth = 0;

// Runs from atexit, with the lock held. The counted threads get the lock
// while this waits with it released, and finish what they run with it (a
// signal handler, a progress callback), so that none still needs the lock
// when finalization begins. Sequentially consistent atomics: a thread either
// sees the mark and parks, or is seen in the count and waited for.
void mark_exit() {
  g_exiting_thread.store(PyThread_get_thread_ident());
  Py_BEGIN_ALLOW_THREADS;
  while (g_holding.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Py_END_ALLOW_THREADS;
}

// Called with the lock held, so a plain flag suffices.
void register_exit_mark() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  // A forked child has only the forking thread.
  pthread_atfork(nullptr, nullptr, [] { g_holding.store(t_depth > 0 ? 1 : 0); });
  nb::module_::import_("atexit").attr("register")(nb::cpp_function(&mark_exit));
}

}  // namespace

ReleasedGil::ReleasedGil(CancelFlag* on_exit) : on_exit_(on_exit) {
  register_exit_mark();
  state_ = PyEval_SaveThread();
}

ReleasedGil::~ReleasedGil() {
  retake();
  leave();
}

void ReleasedGil::release() {
  state_ = PyEval_SaveThread();
  leave();
}

void ReleasedGil::retake() {
  if (t_depth++ == 0) {
    g_holding.fetch_add(1);
    const unsigned long exiting = g_exiting_thread.load();
    if (exiting != 0 && exiting != PyThread_get_thread_ident()) {
      g_holding.fetch_sub(1);
      if (on_exit_) on_exit_->store(true);
      // Until the process ends; what this thread holds is never released.
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  PyEval_RestoreThread(state_);
}

void ReleasedGil::leave() {
  if (--t_depth == 0) g_holding.fetch_sub(1);
}

}  // namespace korvex::py
