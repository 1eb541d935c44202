#include "mcp/stdio.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kavor::mcp {

namespace {

// One read's worth: large enough that a megabyte-sized message takes few system calls.
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

LineReader::LineReader(int fd, std::size_t limit, QObject* parent)
    : QObject(parent), fd_(fd), limit_(limit) {
  if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
}

LineReader::~LineReader() {
  if (thread_.joinable()) {
    const char byte = 0;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (const int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

void LineReader::start() {
  thread_ = std::thread([this] { read_loop(); });
}

void LineReader::read_loop() {
  std::string pending;
  bool dropping = false;  // inside a line already longer than the limit
  std::string buffer(kReadChunk, '\0');
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
      if (dropping) {
        emit oversized();
      } else {
        emit line(QByteArray(pending.data(), static_cast<qsizetype>(pending.size())));
      }
      pending.clear();
      dropping = false;
    }
  }
  if (dropping) {
    emit oversized();
  } else if (!pending.empty()) {
    emit line(QByteArray(pending.data(), static_cast<qsizetype>(pending.size())));
  }
  emit closed();
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd out{fd, POLLOUT, 0};
        ::poll(&out, 1, -1);
        continue;
      }
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace kavor::mcp
