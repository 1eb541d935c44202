// How the browser code waits. Everything here runs on the event-loop thread: a browser call is
// a coroutine that awaits replies, timers and locks, and never blocks that thread.
//
// A `OneShot` is completed at most once (later completions are ignored) and awaited by at most
// one coroutine. Completing it never runs the waiter on the spot: the waiter resumes on the next
// turn of the event loop. So whoever completes it (the socket's message handler, a timer, a
// stop) finishes its own work first, and a resumed call may close the socket or drop the
// browser without pulling them out from under a handler that is still running.
//
// An `Interrupt` is what ends a browser call early: the user's stop (polled from the call's
// stop flag) or a time limit (the launch bound, the call's deadline). Every wait of the call
// registers with it; when it fires, each wait ends at once with a failure and the call unwinds
// step by step, releasing what it holds on the way. It fires once and stays fired.
#pragma once

#include <QTimer>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <qcorotask.h>

#include "common/stop_flag.h"

namespace kavor::browser {

using std::chrono::milliseconds;

template <typename T>
class OneShot {
 public:
  // Keeps the first value; resumes the waiter, if any, on the next event-loop turn.
  bool complete(T value) {
    if (value_) return false;
    value_ = std::move(value);
    if (waiter_) {
      const std::coroutine_handle<> waiter = std::exchange(waiter_, {});
      QTimer::singleShot(0, [waiter] { waiter.resume(); });
    }
    return true;
  }
  bool done() const { return value_.has_value(); }

  struct Awaiter {
    std::shared_ptr<OneShot> shot;
    bool await_ready() const { return shot->value_.has_value(); }
    void await_suspend(std::coroutine_handle<> waiter) { shot->waiter_ = waiter; }
    T await_resume() { return std::move(*shot->value_); }
  };
  static Awaiter wait(std::shared_ptr<OneShot> shot) { return Awaiter{std::move(shot)}; }

 private:
  std::optional<T> value_;
  std::coroutine_handle<> waiter_;
};

// How often the user's stop flag is looked at: fast enough to feel immediate.
inline constexpr milliseconds kStopPollInterval{50};

class Interrupt {
 public:
  enum class Cause { None, Stopped, TimeLimit };

  // Watches `stop` (may be null: nothing but a time limit interrupts).
  explicit Interrupt(common::StopFlag stop = nullptr);
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // Fires with Cause::TimeLimit once `limit` has passed; replaces an earlier limit. A limit on
  // the real browser, so no test clock shortens it.
  void set_time_limit(milliseconds limit);
  void clear_time_limit();

  bool fired() const { return cause_ != Cause::None; }
  Cause cause() const { return cause_; }

  // `listener` runs once when the interrupt fires (or on the next event-loop turn when it has
  // fired already). Returns a ticket for `forget`, which must be called once the wait ends.
  std::uint64_t listen(std::function<void()> listener);
  void forget(std::uint64_t ticket);

 private:
  void fire(Cause cause);

  common::StopFlag stop_;
  Cause cause_ = Cause::None;
  std::unique_ptr<QTimer> stop_poll_;
  std::unique_ptr<QTimer> limit_;
  std::map<std::uint64_t, std::function<void()>> listeners_;
  std::uint64_t next_ticket_ = 1;
};

// Waits `duration` of real time; false when `interrupt` fired first (or had fired already).
// Every pause of the browser tool waits on the browser or its page, so none is scaled.
QCoro::Task<bool> pause(milliseconds duration, Interrupt* interrupt);

// A lock for coroutines: `lock` waits its turn without blocking the thread, in arrival order,
// and gives up when the interrupt fires. `unlock` hands the lock straight to the next waiter.
class AsyncMutex {
 public:
  // True once held; false when interrupted while waiting (then it is not held).
  QCoro::Task<bool> lock(Interrupt* interrupt);
  bool try_lock();
  void unlock();
  bool locked() const { return locked_; }

 private:
  bool locked_ = false;
  std::uint64_t next_waiter_ = 1;
  std::map<std::uint64_t, std::shared_ptr<OneShot<bool>>> waiters_;  // in arrival order
};

}  // namespace kavor::browser
