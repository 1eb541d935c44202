// A file descriptor that closes itself: the one guard for a descriptor held across a few
// steps, so that an early return on any of them leaks none. A program that holds descriptors
// for every folder of a walk, or for every run of a command, runs out of them after a few
// thousand leaks; and a descriptor left open is inherited by what the agent starts next.
//
// It holds -1 when empty. Moving hands the descriptor over; copying is not allowed, since two
// owners would close one descriptor twice (the second close may hit one the system has since
// given to another thread).
#pragma once

#include <unistd.h>

#include <utility>

namespace kavor::walk {

class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { reset(); }
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kavor::walk
