#include "common/timing.h"

#include <atomic>

namespace kavor::common::timing {

namespace {
std::atomic<int> g_speedup{1};
}

void set_speedup(int factor) {
  g_speedup.store(factor < 1 ? 1 : factor);
}

int speedup() {
  return g_speedup.load();
}

milliseconds scaled(milliseconds nominal) {
  if (nominal.count() <= 0) return milliseconds(0);
  const auto real = nominal / g_speedup.load();
  return real.count() > 0 ? real : milliseconds(1);
}

}  // namespace kavor::common::timing
