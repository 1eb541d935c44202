#include "platform/start_trace.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace kavor::platform {

namespace {

// The process's start in seconds on the boot clock, from field 22 of /proc/self/stat (in
// clock ticks since boot); negative when it cannot be read.
double read_process_start() {
  std::FILE* file = std::fopen("/proc/self/stat", "re");
  if (file == nullptr) return -1;
  char buffer[1024];
  const std::size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[length] = '\0';
  // The command name (field 2) may hold spaces and parentheses: count fields after its last ')'.
  const char* at = std::strrchr(buffer, ')');
  if (at == nullptr) return -1;
  // Field 3 follows it; the start time is field 22.
  ++at;
  for (int field = 3;; ++field) {
    while (*at == ' ') ++at;
    if (field == 22) break;
    at = std::strchr(at, ' ');
    if (at == nullptr) return -1;
  }
  if (*at == '\0') return -1;
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  if (ticks_per_second <= 0) return -1;
  return static_cast<double>(std::strtoull(at, nullptr, 10)) /
         static_cast<double>(ticks_per_second);
}

bool read_switch() {
  const char* value = std::getenv("KAVOR_AGENT_TRACE_START");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace

bool start_trace_on() {
  static const bool on = read_switch();
  return on;
}

double ms_since_process_start() {
  static const double start = read_process_start();
  if (start < 0) return -1;
  timespec now{};
  // The kernel counts a process's start on the boot clock.
  if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) return -1;
  const double seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  return (seconds - start) * 1000.0;
}

void start_milestone(const char* milestone) {
  if (!start_trace_on()) return;
  static std::mutex mutex;
  static std::set<std::string> reached;
  const double ms = ms_since_process_start();
  const std::lock_guard lock(mutex);
  if (!reached.insert(milestone).second) return;
  // The first line written is the clock's zero.
  if (reached.size() == 1) std::fputs("kavor-agent start-trace 0.0 ms: process start\n", stderr);
  std::fprintf(stderr, "kavor-agent start-trace %.1f ms: %s\n", ms, milestone);
  std::fflush(stderr);
}

}  // namespace kavor::platform
