#include "python/interruptible.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace korvex::py {

void run_interruptible(const std::function<void(const CancelFlag*)>& work) {
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
