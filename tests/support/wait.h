// Waiting helpers for tests that run a Qt event loop.
#pragma once

#include <qcorotask.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <chrono>
#include <functional>

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

// Runs a task to completion on this thread's event loop.
template <typename T>
T run(QCoro::Task<T> task) {
  return QCoro::waitFor(std::move(task));
}

}  // namespace kavor::test
