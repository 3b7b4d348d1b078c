#include "python/gil.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace korvex::py {
namespace {

// The thread running the interpreter's exit, once it has begun; 0 before.
std::atomic<unsigned long> g_exiting_thread{0};
// Threads between deciding to take the lock back and holding it.
std::atomic<int> g_retaking{0};

// Runs from atexit, with the lock held. A thread counted in g_retaking may be
// waiting for the lock: it gets it while this waits with the lock released,
// so that none is still waiting when finalization begins. Sequentially
// consistent atomics: a thread either sees the mark and parks, or is seen in
// the count and waited for.
void mark_exit() {
  g_exiting_thread.store(PyThread_get_thread_ident());
  Py_BEGIN_ALLOW_THREADS;
  while (g_retaking.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Py_END_ALLOW_THREADS;
}

// Called with the lock held, so a plain flag suffices.
void register_exit_mark() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  // A child forked while a thread was retaking the lock has no such thread.
  pthread_atfork(nullptr, nullptr, [] { g_retaking.store(0); });
  nb::module_::import_("atexit").attr("register")(nb::cpp_function(&mark_exit));
}

[[noreturn]] void park() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

ReleasedGil::ReleasedGil(CancelFlag* on_exit) : on_exit_(on_exit) {
  register_exit_mark();
  release();
}

ReleasedGil::~ReleasedGil() { retake(); }

void ReleasedGil::release() { state_ = PyEval_SaveThread(); }

void ReleasedGil::retake() {
  g_retaking.fetch_add(1);
  const unsigned long exiting = g_exiting_thread.load();
  if (exiting != 0 && exiting != PyThread_get_thread_ident()) {
    g_retaking.fetch_sub(1);
    if (on_exit_) on_exit_->store(true);
    park();
  }
  PyEval_RestoreThread(state_);
  g_retaking.fetch_sub(1);
}

}  // namespace korvex::py
