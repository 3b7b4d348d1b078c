#include "python/interruptible.hpp"

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

}  // namespace

void run_interruptible(const std::function<void(const CancelFlag*)>& work) {
  if (!on_main_thread()) {
    nb::gil_scoped_release release;
    work(nullptr);
    return;
  }
  CancelFlag cancel{false};
  std::exception_ptr error;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  // The handler's exception, held while the helper thread winds down.
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  {
    nb::gil_scoped_release release;
    std::thread helper([&] {
      try {
        work(&cancel);
      } catch (const Cancelled&) {
        // Only the flag set below causes this; the handler's exception wins.
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(kSignalPollMs),
                              [&] { return done; })) {
      if (cancel.load(std::memory_order_relaxed)) continue;
      lock.unlock();
      {
        nb::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) {
          PyErr_Fetch(&type, &value, &trace);
          cancel.store(true, std::memory_order_relaxed);
        }
      }
      lock.lock();
    }
    lock.unlock();
    helper.join();
  }
  if (type) {
    PyErr_Restore(type, value, trace);
    throw nb::python_error();
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace korvex::py
