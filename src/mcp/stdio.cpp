#include "mcp/stdio.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace kavor::mcp {

namespace {

// One read's worth: large enough that a megabyte-sized message takes few system calls.
constexpr std::size_t kReadChunk = 64 * 1024;

// How often a reader waiting for room looks whether its input was closed.
constexpr std::chrono::milliseconds kHangUpLook{100};

// The method of a cancel, which passes a paused reader.
constexpr char kCancelMethod[] = "\"notifications/cancelled\"";

// What an event carrying a line holds beside the line itself, so that a flood of empty lines
// is bounded too.
constexpr std::size_t kLineOverhead = 256;

void make_wake_pipe(int (&wake)[2]) {
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) wake[0] = wake[1] = -1;
}

void ring(int fd) {
  const char byte = 0;
  while (fd >= 0 && ::write(fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

void close_pair(int (&fds)[2]) {
  for (const int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace

// ---- Reading ----

LineReader::LineReader(int fd, std::size_t limit, std::size_t room, QObject* parent)
    : QObject(parent), fd_(fd), limit_(limit), room_(room) {
  make_wake_pipe(wake_);
}

LineReader::~LineReader() {
  if (thread_.joinable()) {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    freed_.notify_all();
    ring(wake_[1]);
    thread_.join();
  }
  close_pair(wake_);
}

void LineReader::start() {
  thread_ = std::thread([this] { read_loop(); });
}

void LineReader::pause(bool paused) {
  bool resumed = false;
  {
    const std::lock_guard lock(mutex_);
    resumed = paused_ && !paused;
    paused_ = paused;
  }
  if (resumed) deliver();
}

bool LineReader::hand_over(Item item) {
  const std::size_t bytes = static_cast<std::size_t>(item.text.size()) + kLineOverhead;
  item.passes =
      item.kind == Kind::Closed || (item.kind == Kind::Line && item.text.contains(kCancelMethod));
  bool post = false;
  {
    std::unique_lock lock(mutex_);
    // One line always fits when nothing waits, whatever its size; the end of input always does.
    const auto room = [&] {
      return stopping_ || item.kind == Kind::Closed || queued_ == 0 || queued_ + bytes <= room_;
    };
    // While it waits, the reader still notices the client closing its input: what waits then
    // is never answered, and the session ends.
    while (!freed_.wait_for(lock, kHangUpLook, room)) {
      pollfd input{fd_, 0, 0};
      if (::poll(&input, 1, 0) == 1 && (input.revents & (POLLHUP | POLLERR)) != 0) {
        hung_up_ = true;
        return false;
      }
    }
    if (stopping_) return false;
    queued_ += bytes;
    if (item.passes) ++passing_;
    items_.push_back(std::move(item));
    post = !std::exchange(posted_, true);
  }
  // Dropped unrun when the reader is destroyed first.
  if (post)
    QMetaObject::invokeMethod(
        this, [this] { deliver(); }, Qt::QueuedConnection);
  return true;
}

void LineReader::deliver() {
  for (;;) {
    Item item;
    {
      const std::lock_guard lock(mutex_);
      if (paused_) {
        // Paused, the end of input and cancels still pass: the first ends the session (the
        // lines held would never be answered), the second stops calls already running. Most
        // looks find none and cost nothing.
        if (passing_ == 0) {
          posted_ = false;
          return;
        }
        const auto passing = std::find_if(items_.begin(), items_.end(),
                                          [](const Item& held) { return held.passes; });
        --passing_;
        if (passing->kind == Kind::Closed) {
          // The end is last: what is held before it goes with it.
          items_.clear();
          queued_ = kLineOverhead;
          item = Item{Kind::Closed, {}};
        } else {
          item = std::move(*passing);
          items_.erase(passing);
        }
      } else if (items_.empty()) {
        posted_ = false;
        return;
      } else {
        item = std::move(items_.front());
        items_.pop_front();
        if (item.passes) --passing_;
      }
    }
    switch (item.kind) {
      case Kind::Line:
        emit line(item.text);
        break;
      case Kind::Oversized:
        emit oversized();
        break;
      case Kind::Closed:
        emit closed();
        break;
    }
    {
      const std::lock_guard lock(mutex_);
      queued_ -= static_cast<std::size_t>(item.text.size()) + kLineOverhead;
    }
    freed_.notify_all();
  }
}

void LineReader::hang_up() {
  if (hung_up_) hand_over(Item{Kind::Closed, {}});
}

void LineReader::read_loop() {
  std::string pending;
  bool dropping = false;  // inside a line already longer than the limit
  std::string buffer(kReadChunk, '\0');
  const auto deliver = [&]() -> bool {
    if (dropping) return hand_over(Item{Kind::Oversized, {}});
    return hand_over(
        Item{Kind::Line, QByteArray(pending.data(), static_cast<qsizetype>(pending.size()))});
  };
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int ready = ::poll(fds, wake_[0] >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (wake_[0] >= 0 && (fds[1].revents & POLLIN) != 0) return;  // the reader is destroyed
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    std::string_view data(buffer.data(), static_cast<std::size_t>(got));
    while (!data.empty()) {
      const std::size_t end = data.find('\n');
      const std::string_view piece = data.substr(0, end);
      if (!dropping) {
        if (pending.size() + piece.size() > limit_) {
          dropping = true;
          pending.clear();
          pending.shrink_to_fit();
        } else {
          pending.append(piece);
        }
      }
      if (end == std::string_view::npos) break;
      data.remove_prefix(end + 1);
      if (!deliver()) return hang_up();
      pending.clear();
      dropping = false;
    }
  }
  if ((dropping || !pending.empty()) && !deliver()) return hang_up();
  hand_over(Item{Kind::Closed, {}});
}

// ---- Writing ----

LineWriter::LineWriter(int fd, std::size_t room, QObject* parent)
    : QObject(parent), fd_(fd), room_(room) {
  make_wake_pipe(wake_);
  struct stat about {};
  const bool known = ::fstat(fd, &about) == 0;
  if (known && S_ISFIFO(about.st_mode)) {
    // A description of our own: non-blocking without changing the one the client may share.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    own_fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  } else if (known) {
    socket_ = S_ISSOCK(about.st_mode);
    regular_ = S_ISREG(about.st_mode);
  }
  thread_ = std::thread([this] { write_loop(); });
}

LineWriter::~LineWriter() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  ring(wake_[1]);
  thread_.join();
  close_pair(wake_);
  if (own_fd_ >= 0) ::close(own_fd_);
}

void LineWriter::write(std::string text, bool droppable) {
  bool over = false;
  {
    const std::lock_guard lock(mutex_);
    if (failed_ || stopping_) return;
    if (droppable && queued_ + text.size() > room_) {
      ++dropped_;
      return;
    }
    queued_ += text.size();
    queue_.push_back(std::move(text));
    over = queued_ > room_ && !std::exchange(over_, true);
  }
  changed_.notify_all();
  if (over) emit this->over();
}

bool LineWriter::flush(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, wait, [&] { return queued_ == 0 || failed_; }) && !failed_;
}

bool LineWriter::backed_up() const {
  const std::lock_guard lock(mutex_);
  return over_;
}

std::size_t LineWriter::dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
}

void LineWriter::write_loop() {
  for (;;) {
    std::string batch;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      // Everything waiting in one go: fewer system calls for many small lines.
      batch = std::move(queue_.front());
      queue_.pop_front();
      while (!queue_.empty() && batch.size() < kReadChunk) {
        batch += queue_.front();
        queue_.pop_front();
      }
    }
    const bool written = write_out(batch);
    bool drained = false;
    {
      const std::lock_guard lock(mutex_);
      if (stopping_) return;
      queued_ -= batch.size();
      if (!written) {
        failed_ = true;
        queue_.clear();
        queued_ = 0;
      }
      drained = over_ && queued_ <= room_ / 2;
      if (drained) over_ = false;
    }
    changed_.notify_all();
    if (drained)
      QMetaObject::invokeMethod(
          this, [this] { emit this->drained(); }, Qt::QueuedConnection);
    if (!written) {
      QMetaObject::invokeMethod(
          this, [this] { emit gone(); }, Qt::QueuedConnection);
      return;
    }
  }
}

// Writes all of `text`, waiting between writes on the output and the wake-up pipe; false when
// the output fails or the writer is being destroyed.
bool LineWriter::write_out(std::string_view text) {
  const int out = own_fd_ >= 0 ? own_fd_ : fd_;
  while (!text.empty()) {
    ssize_t put = 0;
    if (own_fd_ >= 0) {
      put = ::write(out, text.data(), text.size());
    } else if (socket_) {
      put = ::send(out, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } else if (regular_) {
      put = ::write(out, text.data(), text.size());  // a file never keeps a write waiting
    } else {
      pollfd ready{out, POLLOUT, 0};
      if (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0) {
        // Writable: at least a pipe's atomic size goes in without blocking.
        put = ::write(out, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
      } else {
        put = -1;
        errno = EAGAIN;
      }
    }
    if (put >= 0) {
      text.remove_prefix(static_cast<std::size_t>(put));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd fds[2] = {{out, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, wake_[0] >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return false;
    if (wake_[0] >= 0 && (fds[1].revents & POLLIN) != 0) return false;  // being destroyed
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return false;
  }
  return true;
}

}  // namespace kavor::mcp
