// The user's stop of one call: a flag the dispatcher sets (agent_stop) and long work polls.
// Shared, because the call's record and every part of its run hold it, whichever ends last.
#pragma once

#include <atomic>
#include <memory>

namespace kavor::common {

using StopFlag = std::shared_ptr<std::atomic<bool>>;

// Whether the user stopped the call; a run without a flag never is.
inline bool stopped(const StopFlag& stop) {
  return stop && stop->load();
}

}  // namespace kavor::common
