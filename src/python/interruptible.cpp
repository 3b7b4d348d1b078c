#include "python/interruptible.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "python/gil.hpp"

namespace korvex::py {
namespace {

// Signal handlers run only on the interpreter's main thread: elsewhere no
// signal can interrupt the call, and the helper thread would be pure cost.
bool on_main_thread() {
  static const unsigned long main_ident = [] {
    nb::object main = nb::module_::import_("threading").attr("main_thread")();
    return nb::cast<unsigned long>(main.attr("ident"));
  }();
  return PyThread_get_thread_ident() == main_ident;
}

// The helper thread, started once and kept: starting a thread for every fit
// cost tens of microseconds, a tenth of a typical fit. It runs one job at a
// time; all of its state is guarded by `mutex_`.
class Helper {
 public:
  Helper() {
    std::thread([this] { loop(); }).detach();
  }

  // Hands `job` over unless a job is running (then false): a signal handler
  // may start a fit while the main thread waits for another.
  bool start(const std::function<void()>* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (job_) return false;
    job_ = job;
    done_ = false;
    wake_.notify_one();
    return true;
  }

  // Waits up to `timeout` for the job to end; true when it has (the helper
  // is then free for the next job).
  bool wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!finished_.wait_for(lock, timeout, [&] { return done_; })) return false;
    job_ = nullptr;
    return true;
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return job_ && !done_; });
      const std::function<void()>* job = job_;
      lock.unlock();
      (*job)();  // never throws: the job catches everything
      lock.lock();
      done_ = true;
      finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  const std::function<void()>* job_ = nullptr;
  bool done_ = false;
};

// A forked child has no helper thread: it abandons the parent's Helper (its
// mutex may even be held) and starts its own on first use.
std::atomic<Helper*> g_helper{nullptr};

Helper& helper() {
  // Only the main thread, holding the interpreter lock, gets here: no race.
  Helper* h = g_helper.load(std::memory_order_relaxed);
  if (!h) {
    static const bool registered = [] {
      pthread_atfork(nullptr, nullptr, [] { g_helper.store(nullptr); });
      return true;
    }();
    (void)registered;
    h = new Helper();  // leaked, like the worker pool
    g_helper.store(h, std::memory_order_relaxed);
  }
  return *h;
}

// Runs one job on a thread of its own: for a call that needs a waiting
// thread but cannot have the helper (a call on another thread that reports
// progress, or one started by a signal handler while the helper is busy).
class OwnThread {
 public:
  explicit OwnThread(const std::function<void()>& job)
      : thread_([this, &job] {
          job();
          std::lock_guard<std::mutex> lock(mutex_);
          done_ = true;
          finished_.notify_all();
        }) {}
  ~OwnThread() { thread_.join(); }
  OwnThread(const OwnThread&) = delete;
  OwnThread& operator=(const OwnThread&) = delete;

  bool wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, timeout, [&] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread thread_;  // last: it starts once the members above exist
};

// The Python exception that stopped the work, held without a reference
// count to manage while the lock is released; or a C++ one from the poll.
struct Stop {
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  std::exception_ptr error;
};

// Waits for `runner`'s job, letting the signal handlers run and calling
// `poll` every kSignalPollMs; the first exception either raises is kept in
// `stop` and cancels the job.
template <typename Runner>
void wait_watching(Runner& runner, ReleasedGil& released, CancelFlag& cancel, const Poll& poll,
                   Stop& stop) {
  while (!runner.wait_for(std::chrono::milliseconds(kSignalPollMs))) {
    if (cancel.load(std::memory_order_relaxed)) continue;
    released.locked([&] {
      try {
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (poll) poll();
      } catch (nb::python_error& e) {
        e.restore();
        PyErr_Fetch(&stop.type, &stop.value, &stop.trace);
        cancel.store(true, std::memory_order_relaxed);
      } catch (...) {
        stop.error = std::current_exception();
        cancel.store(true, std::memory_order_relaxed);
      }
    });
  }
}

}  // namespace

void run_interruptible(const std::function<void(const CancelFlag*)>& work, const Poll& poll,
                       CancelFlag* flag) {
  CancelFlag own{false};
  CancelFlag& cancel = flag ? *flag : own;
  std::exception_ptr error;
  const std::function<void()> job = [&] {
    try {
      work(&cancel);
    } catch (const Cancelled&) {
      // Only a set flag causes this: the stop's exception, if any, wins.
    } catch (...) {
      error = std::current_exception();
    }
  };
  Helper* shared = on_main_thread() ? &helper() : nullptr;
  Stop stop;
  {
    ReleasedGil released(&cancel);
    if (shared && shared->start(&job)) {
      wait_watching(*shared, released, cancel, poll, stop);
    } else if (poll) {
      OwnThread runner(job);
      wait_watching(runner, released, cancel, poll, stop);
    } else {
      // Elsewhere than on the main thread, or started by a signal handler
      // while the helper runs another call (only that one can be interrupted).
      job();
    }
  }
  if (stop.type) {
    PyErr_Restore(stop.type, stop.value, stop.trace);
    throw nb::python_error();
  }
  if (stop.error) std::rethrow_exception(stop.error);
  if (error) std::rethrow_exception(error);
}

}  // namespace korvex::py
