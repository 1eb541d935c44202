#include "browser/waiting.h"

#include "common/timing.h"

namespace kavor::browser {

Interrupt::Interrupt(common::StopFlag stop) : stop_(std::move(stop)) {
  if (!stop_) return;
  if (stop_->load()) {
    cause_ = Cause::Stopped;
    return;
  }
  stop_poll_ = std::make_unique<QTimer>();
  QObject::connect(stop_poll_.get(), &QTimer::timeout, [this] {
    if (stop_->load()) fire(Cause::Stopped);
  });
  stop_poll_->start(kStopPollInterval);
}

Interrupt::~Interrupt() = default;

void Interrupt::set_time_limit(milliseconds limit) {
  if (fired()) return;
  limit_ = std::make_unique<QTimer>();
  limit_->setSingleShot(true);
  QObject::connect(limit_.get(), &QTimer::timeout, [this] { fire(Cause::TimeLimit); });
  limit_->start(common::timing::io_limit(limit));
}

void Interrupt::clear_time_limit() {
  limit_.reset();
}

std::uint64_t Interrupt::listen(std::function<void()> listener) {
  const std::uint64_t ticket = next_ticket_++;
  if (fired()) {
    QTimer::singleShot(0, std::move(listener));
  } else {
    listeners_.emplace(ticket, std::move(listener));
  }
  return ticket;
}

void Interrupt::forget(std::uint64_t ticket) {
  listeners_.erase(ticket);
}

void Interrupt::fire(Cause cause) {
  if (fired()) return;
  cause_ = cause;
  if (stop_poll_) stop_poll_->stop();
  if (limit_) limit_->stop();
  // Listeners only complete one-shots (which resume their waiters later), so none of them can
  // change the table while it is walked; it is emptied first all the same.
  auto listeners = std::move(listeners_);
  listeners_.clear();
  for (auto& [ticket, listener] : listeners) listener();
}

QCoro::Task<bool> pause(milliseconds duration, Interrupt* interrupt) {
  if (interrupt != nullptr && interrupt->fired()) co_return false;
  auto shot = std::make_shared<OneShot<bool>>();
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [shot] { shot->complete(true); });
  timer.start(duration);
  std::uint64_t ticket = 0;
  if (interrupt != nullptr) ticket = interrupt->listen([shot] { shot->complete(false); });
  auto waiting = OneShot<bool>::wait(shot);
  const bool elapsed = co_await waiting;
  if (interrupt != nullptr) interrupt->forget(ticket);
  co_return elapsed;
}

QCoro::Task<bool> AsyncMutex::lock(Interrupt* interrupt) {
  if (interrupt != nullptr && interrupt->fired()) co_return false;
  if (!locked_) {
    locked_ = true;
    co_return true;
  }
  const std::uint64_t id = next_waiter_++;
  auto turn = std::make_shared<OneShot<bool>>();
  waiters_.emplace(id, turn);
  std::uint64_t ticket = 0;
  if (interrupt != nullptr) {
    ticket = interrupt->listen([this, id, turn] {
      // Only a waiter still in line gives up; one already handed the lock keeps it.
      if (waiters_.erase(id) > 0) turn->complete(false);
    });
  }
  auto waiting = OneShot<bool>::wait(turn);
  const bool got = co_await waiting;
  if (interrupt != nullptr) interrupt->forget(ticket);
  co_return got;
}

bool AsyncMutex::try_lock() {
  if (locked_) return false;
  locked_ = true;
  return true;
}

void AsyncMutex::unlock() {
  if (waiters_.empty()) {
    locked_ = false;
    return;
  }
  // Handed over without ever being free, so nobody can slip in between.
  auto next = waiters_.begin();
  std::shared_ptr<OneShot<bool>> turn = next->second;
  waiters_.erase(next);
  turn->complete(true);
}

}  // namespace kavor::browser
