// What the webview watchdog knows about the main window's page: when it last showed a sign of
// life, and whether the current application page finished loading. The page-load hook and the
// page's heartbeat feed it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace kavor {

class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;

  // The page's heartbeat.
  void alive();
  // An application page finished loading.
  void page_loaded();
  // A page started loading; returns the new load counter for an application page (the value a
  // load check compares against), nothing for other pages.
  std::optional<std::uint64_t> load_started(bool application_origin);

  Clock::time_point last_alive() const;
  void touch();  // last sign of life := now
  bool loaded() const { return loaded_.load(); }
  std::uint64_t load_counter() const { return load_counter_.load(); }
  bool alive_flag() const { return alive_flag_.load(); }
  void set_alive_flag(bool value) { alive_flag_.store(value); }

  std::optional<Clock::time_point> last_crash_reload() const;
  void set_last_crash_reload(Clock::time_point when);

 private:
  mutable std::mutex mutex_;
  Clock::time_point last_alive_ = Clock::now();
  std::optional<Clock::time_point> last_crash_reload_;
  std::atomic<bool> loaded_{false};
  std::atomic<std::uint64_t> load_counter_{0};
  std::atomic<bool> alive_flag_{false};
};

}  // namespace kavor
