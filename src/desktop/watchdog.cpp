#include "desktop/watchdog.h"

namespace kavor {

void Watchdog::alive() {
  touch();
}

void Watchdog::page_loaded() {
  touch();
  loaded_.store(true);
  alive_flag_.store(true);
}

std::optional<std::uint64_t> Watchdog::load_started(bool application_origin) {
  loaded_.store(false);
  if (!application_origin) return std::nullopt;
  return load_counter_.fetch_add(1) + 1;
}

Watchdog::Clock::time_point Watchdog::last_alive() const {
  std::lock_guard lock(mutex_);
  return last_alive_;
}

void Watchdog::touch() {
  std::lock_guard lock(mutex_);
  last_alive_ = Clock::now();
}

std::optional<Watchdog::Clock::time_point> Watchdog::last_crash_reload() const {
  std::lock_guard lock(mutex_);
  return last_crash_reload_;
}

void Watchdog::set_last_crash_reload(Clock::time_point when) {
  std::lock_guard lock(mutex_);
  last_crash_reload_ = when;
}

}  // namespace kavor
