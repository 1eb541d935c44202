// Waiting helpers for tests that run a Qt event loop.
#pragma once

#include <qcorotask.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <chrono>
#include <functional>
#include <optional>
#include <type_traits>

namespace kavor::test {

// Processes events until `done` holds or `timeout` passes; returns `done()`.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout.count()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

// The value of `task` held in an optional: the blocking wait needs a value it can make empty
// first, which a Result has not.
template <typename T>
QCoro::Task<std::optional<T>> held(QCoro::Task<T> task) {
  T value = co_await std::move(task);
  co_return std::optional<T>(std::move(value));
}

// Runs a task to completion on this thread's event loop.
template <typename T>
T run(QCoro::Task<T> task) {
  if constexpr (std::is_void_v<T> || std::is_default_constructible_v<T>) {
    return QCoro::waitFor(std::move(task));
  } else {
    return *QCoro::waitFor(held(std::move(task)));
  }
}

}  // namespace kavor::test
