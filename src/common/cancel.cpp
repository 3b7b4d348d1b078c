#include "common/cancel.hpp"

namespace korvex {
namespace {

thread_local const CancelFlag* tls_flag = nullptr;

}  // namespace

CancelScope::CancelScope(const CancelFlag* flag) : previous_(tls_flag) {
  if (flag) tls_flag = flag;
}

CancelScope::~CancelScope() { tls_flag = previous_; }

const CancelFlag* current_cancel_flag() { return tls_flag; }

void throw_if_cancelled() {
  // Relaxed: the flag carries no data, and a check that misses a store by a
  // moment only runs one more evaluation.
  if (tls_flag && tls_flag->load(std::memory_order_relaxed)) throw Cancelled();
}

}  // namespace korvex
