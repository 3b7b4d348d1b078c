#include "python/interruptible.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

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

// Waits for the helper's job, letting the signal handlers run every
// kSignalPollMs; the first exception one raises is fetched into `type`,
// `value`, `trace` and cancels the job. Called without the interpreter lock.
void wait_watching_signals(Helper& runner, CancelFlag& cancel, PyObject*& type, PyObject*& value,
                           PyObject*& trace) {
  while (!runner.wait_for(std::chrono::milliseconds(kSignalPollMs))) {
    if (cancel.load(std::memory_order_relaxed)) continue;
    nb::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) {
      PyErr_Fetch(&type, &value, &trace);
      cancel.store(true, std::memory_order_relaxed);
    }
  }
}

}  // namespace

void run_interruptible(const std::function<void(const CancelFlag*)>& work) {
  if (!on_main_thread()) {
    nb::gil_scoped_release release;
    work(nullptr);
    return;
  }
  CancelFlag cancel{false};
  std::exception_ptr error;
  const std::function<void()> job = [&] {
    try {
      work(&cancel);
    } catch (const Cancelled&) {
      // Only the flag set below causes this; the handler's exception wins.
    } catch (...) {
      error = std::current_exception();
    }
  };
  Helper& runner = helper();
  // The handler's exception, held while the helper winds the job down.
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  {
    nb::gil_scoped_release release;
    if (!runner.start(&job)) {
      // A fit started by a signal handler while another runs: it runs here,
      // and only the outer one can be interrupted.
      job();
    } else {
      wait_watching_signals(runner, cancel, type, value, trace);
    }
  }
  if (type) {
    PyErr_Restore(type, value, trace);
    throw nb::python_error();
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace korvex::py
