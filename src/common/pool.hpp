#pragma once
// One process-wide work-stealing pool, created on first use and sized to the
// hardware threads. parallel_for splits an index range into chunks; the
// calling thread works on the chunks too. A call made from inside a task
// (nested parallelism) runs inline on that task's thread.
#include <cstddef>
#include <functional>

namespace korvex {

// Number of threads that run tasks: the workers plus the calling thread.
std::size_t pool_concurrency();

// Calls body(i) for every i in [0, n), spread over the pool. Returns when all
// calls are done. Each index runs exactly once; the order is unspecified, so
// results must be written by index. `grain` is the number of indices per task.
// If calls of `body` throw, the first exception is rethrown here after every
// chunk has finished (the remaining indices of a throwing chunk are skipped).
void parallel_for(std::size_t n, std::size_t grain, const std::function<void(std::size_t)>& body);

}  // namespace korvex
