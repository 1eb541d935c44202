#include "platform/end_signals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace kavor::platform {

namespace {

constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Set once, before any handler is installed; read by the handler.
int g_read_end = -1;
int g_write_end = -1;
pid_t g_program = 0;

void on_signal(int signal) {
  const int saved = errno;
  if (::getpid() != g_program) {
    // A child between fork and exec: the signal is its own.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  } else {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_write_end, &byte, 1);
  }
  errno = saved;
}

}  // namespace

bool catch_end_signals() {
  if (g_write_end >= 0) return true;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  g_read_end = ends[0];
  g_write_end = ends[1];
  g_program = ::getpid();
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  bool all = true;
  for (const int signal : kEndSignals) all = ::sigaction(signal, &action, nullptr) == 0 && all;
  return all;
}

EndSignals::EndSignals(std::function<void(int)> on_end, QObject* parent)
    : QObject(parent), on_end_(std::move(on_end)) {
  if (g_read_end < 0) return;
  notifier_ = new QSocketNotifier(g_read_end, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &EndSignals::read_pipe);
}

void EndSignals::read_pipe() {
  unsigned char bytes[64];
  int first = 0;
  for (;;) {
    const ssize_t got = ::read(g_read_end, bytes, sizeof bytes);
    if (got > 0) {
      if (first == 0) first = bytes[0];
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    break;  // empty (EAGAIN) or closed
  }
  if (first == 0 || ended_) return;
  ended_ = true;
  on_end_(first);
}

}  // namespace kavor::platform
