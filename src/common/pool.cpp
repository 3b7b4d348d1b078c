#include "common/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/cancel.hpp"

namespace korvex {
namespace {

// A batch of chunks belonging to one parallel_for call.
struct Batch {
  const std::function<void(std::size_t)>* body;
  std::size_t n;
  std::size_t grain;
  std::atomic<std::size_t> remaining;  // chunks not yet finished
  const CancelFlag* cancel;            // the caller's, installed around every chunk
  // The first exception thrown by a call of `body`; rethrown on the caller
  // once every chunk has finished, so that no task outlives the batch.
  std::mutex error_mutex;
  std::exception_ptr error;
  // Signalled when `remaining` reaches zero, for a caller that found nothing
  // left to take and went to sleep.
  std::mutex done_mutex;
  std::condition_variable done;
};

// True while this thread runs a chunk of pool work: parallel_for calls made
// then run inline (a start of a multi-start search, a spectrum of a batch). A task is already
// one of many, so splitting it again only adds queueing, and on a loaded
// machine the split-off chunks wait for a core that is busy.
thread_local bool tls_in_task = false;

// Empty-handed looks a waiting caller takes before it sleeps: enough to catch
// a batch about to finish, few enough not to keep a core from the threads
// that run the caller's last chunks.
constexpr int kSpinsBeforeSleep = 64;

struct Task {
  std::shared_ptr<Batch> batch;
  std::size_t begin;
};

class Pool {
 public:
  Pool() {
    const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
    // The caller of parallel_for works too, so hw - 1 workers fill the machine.
    const std::size_t workers = hw > 1 ? hw - 1 : 0;
    queues_.resize(workers + 1);
    for (auto& q : queues_) q = std::make_unique<Queue>();
    for (std::size_t w = 0; w < workers; ++w) {
      threads_.emplace_back([this, w] { worker_loop(w + 1); });
    }
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(wake_mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }

  std::size_t concurrency() const { return threads_.size() + 1; }

  void run(std::size_t n, std::size_t grain, const std::function<void(std::size_t)>& body) {
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t chunks = (n + grain - 1) / grain;
    auto batch = std::make_shared<Batch>();
    batch->body = &body;
    batch->n = n;
    batch->grain = grain;
    batch->remaining.store(chunks);
    batch->cancel = current_cancel_flag();
    // Spread the chunks over all queues; the home queue (index 0 for outside
    // callers, the worker's own queue inside a task) gets the first share.
    const std::size_t home = tls_queue_index;
    for (std::size_t c = 0; c < chunks; ++c) {
      Queue& q = *queues_[(home + c) % queues_.size()];
      std::lock_guard<std::mutex> lock(q.mutex);
      q.tasks.push_back({batch, c * grain});
    }
    {
      // Under the lock, so that a worker between its check and its wait
      // cannot miss the wake-up.
      std::lock_guard<std::mutex> lock(wake_mutex_);
      pending_.fetch_add(chunks);
    }
    wake_.notify_all();
    // Help until our own batch is done; other batches' tasks are fair game.
    // Once nothing is left to take, the rest of the batch is running on
    // other threads (its chunks were all queued above), so it is safe to
    // sleep until the last of them finishes.
    int idle = 0;
    while (batch->remaining.load(std::memory_order_acquire) != 0) {
      Task task;
      if (take(home, task)) {
        execute(task);
        idle = 0;
      } else if (++idle < kSpinsBeforeSleep) {
        std::this_thread::yield();
      } else {
        std::unique_lock<std::mutex> lock(batch->done_mutex);
        batch->done.wait(lock,
                         [&] { return batch->remaining.load(std::memory_order_acquire) == 0; });
      }
    }
    if (batch->error) std::rethrow_exception(batch->error);
  }

 private:
  struct Queue {
    std::mutex mutex;
    std::deque<Task> tasks;
  };

  bool take(std::size_t home, Task& out) {
    for (std::size_t k = 0; k < queues_.size(); ++k) {
      Queue& q = *queues_[(home + k) % queues_.size()];
      std::lock_guard<std::mutex> lock(q.mutex);
      if (q.tasks.empty()) continue;
      if (k == 0) {  // own queue: newest first (LIFO keeps nested work local)
        out = std::move(q.tasks.back());
        q.tasks.pop_back();
      } else {  // steal the oldest
        out = std::move(q.tasks.front());
        q.tasks.pop_front();
      }
      pending_.fetch_sub(1);
      return true;
    }
    return false;
  }

  // Never throws: an exception escaping a worker would terminate the process,
  // and one escaping a helping caller would leave its chunk unfinished.
  static void execute(Task& task) noexcept {
    Batch& b = *task.batch;
    const std::size_t end = std::min(b.n, task.begin + b.grain);
    const bool was_in_task = tls_in_task;
    tls_in_task = true;
    try {
      CancelScope scope(b.cancel);
      for (std::size_t i = task.begin; i < end; ++i) (*b.body)(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(b.error_mutex);
      if (!b.error) b.error = std::current_exception();
    }
    tls_in_task = was_in_task;
    if (b.remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> lock(b.done_mutex);
      b.done.notify_all();
    }
  }

  void worker_loop(std::size_t index) {
    tls_queue_index = index;
    while (true) {
      Task task;
      if (take(index, task)) {
        execute(task);
        continue;
      }
      std::unique_lock<std::mutex> lock(wake_mutex_);
      wake_.wait(lock, [this] { return stopping_ || pending_.load() > 0; });
      if (stopping_) return;
    }
  }

  static thread_local std::size_t tls_queue_index;

  std::vector<std::unique_ptr<Queue>> queues_;
  std::vector<std::thread> threads_;
  std::atomic<std::size_t> pending_{0};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

thread_local std::size_t Pool::tls_queue_index = 0;

// The process's pool, created on first use. Deliberately leaked: joining
// threads during static destruction at interpreter exit can deadlock, and
// the process is ending anyway.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_pool_creation;  // held while g_pool is created, and across fork()

// A forked child has only the thread that called fork(); the parent's
// workers are gone and any of the pool's mutexes may be held by one of them
// for ever. The child therefore abandons that pool (leaked, never touched
// again) and creates its own on first use.
void before_fork() { g_pool_creation.lock(); }
void after_fork_in_parent() { g_pool_creation.unlock(); }
void after_fork_in_child() {
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_pool_creation.unlock();
}

Pool& pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
  std::lock_guard<std::mutex> lock(g_pool_creation);
  Pool* p = g_pool.load(std::memory_order_relaxed);
  if (!p) {
    static bool fork_handlers = false;
    if (!fork_handlers) {
      pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
      fork_handlers = true;
    }
    p = new Pool();
    g_pool.store(p, std::memory_order_release);
  }
  return *p;
}

}  // namespace

std::size_t pool_concurrency() { return pool().concurrency(); }

void parallel_for(std::size_t n, std::size_t grain, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  if (n <= grain || tls_in_task) {
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  pool().run(n, grain, body);
}

}  // namespace korvex
