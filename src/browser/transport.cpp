#include "browser/transport.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>
#include <ctime>

namespace kavor::browser {

namespace {

// One read takes at most this much; a screenshot of a megabyte or two arrives in a few reads.
constexpr std::size_t kReadChunk = std::size_t{256} << 10;
// What one turn of the event loop reads before it lets other work run; the rest is read on the
// next turn, so a browser that floods the pipe cannot freeze the agent's window.
constexpr std::size_t kReadPerTurn = std::size_t{8} << 20;

// write() that reports a reader that is gone as EPIPE instead of raising SIGPIPE, whose default
// action would end the agent. The signal is held back on this thread for the call and, when the
// write raised it, taken off again before it is let through.
ssize_t write_quietly(int fd, const char* data, std::size_t size) {
  sigset_t pipe_signal;
  sigset_t previous;
  ::sigemptyset(&pipe_signal);
  ::sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  sigset_t waiting;
  ::sigpending(&waiting);
  const bool already_waiting = ::sigismember(&waiting, SIGPIPE) == 1;
  const ssize_t written = ::write(fd, data, size);
  const int error = errno;
  if (written < 0 && error == EPIPE && !already_waiting) {
    const timespec no_wait{};
    while (::sigtimedwait(&pipe_signal, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

}  // namespace

PipeTransport::PipeTransport(int to_browser, int from_browser)
    : to_browser_(to_browser), from_browser_(from_browser) {
  ::fcntl(to_browser_, F_SETFL, ::fcntl(to_browser_, F_GETFL) | O_NONBLOCK);
  ::fcntl(from_browser_, F_SETFL, ::fcntl(from_browser_, F_GETFL) | O_NONBLOCK);
  readable_ = std::make_unique<QSocketNotifier>(from_browser_, QSocketNotifier::Read);
  QObject::connect(readable_.get(), &QSocketNotifier::activated, [this] { read_available(); });
  writable_ = std::make_unique<QSocketNotifier>(to_browser_, QSocketNotifier::Write);
  writable_->setEnabled(false);  // only while something waits to be written
  QObject::connect(writable_.get(), &QSocketNotifier::activated, [this] {
    if (!write_queued()) end(true);
  });
}

PipeTransport::~PipeTransport() {
  *alive_ = false;
  // No callbacks into a connection that is being torn down.
  on_message = nullptr;
  on_closed = nullptr;
  end(false);
}

bool PipeTransport::send(const std::string& text) {
  if (closed_) return false;
  std::string message;
  message.reserve(text.size() + 1);
  message.append(text).push_back('\0');
  const bool idle = outbox_.empty();
  outbox_.push_back(std::move(message));
  if (!idle) return true;  // written once the pipe drains, behind what waits already
  if (write_queued()) return true;
  end(true);  // the browser's end is gone
  return false;
}

bool PipeTransport::write_queued() {
  while (!outbox_.empty()) {
    const std::string& front = outbox_.front();
    const ssize_t written =
        write_quietly(to_browser_, front.data() + written_, front.size() - written_);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        writable_->setEnabled(true);
        return true;
      }
      return false;
    }
    written_ += static_cast<std::size_t>(written);
    if (written_ == front.size()) {
      outbox_.pop_front();
      written_ = 0;
    }
  }
  writable_->setEnabled(false);
  return true;
}

void PipeTransport::read_available() {
  const std::shared_ptr<bool> alive = alive_;
  bool ended = false;
  std::size_t taken = 0;
  while (taken < kReadPerTurn) {
    const std::size_t old_size = inbox_.size();
    inbox_.resize(old_size + kReadChunk);
    const ssize_t got = ::read(from_browser_, inbox_.data() + old_size, kReadChunk);
    inbox_.resize(old_size + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got > 0) {
      taken += static_cast<std::size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    ended = true;  // end of file: the browser closed its end or is gone; or a read error
    break;
  }

  // Every whole message, in order. A callback may close or drop the transport; the buffer
  // its text points into stays as it is until the callback has returned.
  std::size_t start = 0;
  reading_ = true;
  for (std::size_t nul = inbox_.find('\0', scanned_); nul != std::string::npos;
       nul = inbox_.find('\0', start)) {
    if (on_message) on_message(std::string_view(inbox_).substr(start, nul - start));
    if (!*alive) return;
    if (closed_) break;
    start = nul + 1;
  }
  reading_ = false;
  if (closed_) {
    inbox_.clear();
    return;
  }
  inbox_.erase(0, start);
  scanned_ = inbox_.size();
  if (ended || inbox_.size() > kMaxMessageBytes) end(true);
}

void PipeTransport::close() {
  end(true);
}

void PipeTransport::end(bool report) {
  if (!closed_) {
    closed_ = true;
    // Disabled, not deleted: this may run inside one of their own signals.
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    ::close(to_browser_);
    ::close(from_browser_);
    outbox_.clear();
    if (!reading_) inbox_.clear();
  }
  if (report && !reported_) {
    reported_ = true;
    // A copy: the callback may drop this transport, and with it the function being run.
    const std::function<void()> callback = on_closed;
    if (callback) callback();
  }
}

}  // namespace kavor::browser
