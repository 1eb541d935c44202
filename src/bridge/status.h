// The connection status the page shows and the connection notifications follow. Only the
// bridge loop changes it; everybody else reads. Lock-free: three atomics.
#pragma once

#include <atomic>
#include <cstdint>

namespace kavor::bridge {

struct Status {
  std::atomic<std::uint64_t> changes{0};  // raised at every change of `online`
  std::atomic<bool> online{false};
  std::atomic<bool> offline_notified{false};  // an offline notice is showing, no "back" yet
};

}  // namespace kavor::bridge
