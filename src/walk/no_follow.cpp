#include "walk/no_follow.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

namespace kavor::walk {

namespace {

constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Whether the kernel has openat2; cleared on the first ENOSYS.
std::atomic<bool> g_have_openat2{true};

int close_keeping_errno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return -1;
}

// Calls `step(folder_fd, name)` for every component but the last, starting at `dir_fd` (or
// "/" for an absolute path); `step` returns the next folder's descriptor or -1. Then opens the
// last component relative to the last folder reached.
template <typename Step>
int walk_components(int dir_fd, std::string_view path, int flags, mode_t mode, Step step) {
  int fd = dir_fd;
  bool own = false;
  if (!path.empty() && path.front() == '/') {
    fd = ::open("/", kStepFlags);
    if (fd < 0) return -1;
    own = true;
  }
  std::string name;
  std::size_t pos = 0;
  for (;;) {
    while (pos < path.size() && path[pos] == '/') ++pos;
    const std::size_t end = path.find('/', pos);
    std::size_t next = end == std::string_view::npos ? path.size() : end;
    name.assign(path.substr(pos, next - pos));
    while (next < path.size() && path[next] == '/') ++next;
    const bool last = next >= path.size();
    if (last) {
      // The path names a folder itself ("/" or "a/"): open it where the walk stands.
      const int out =
          ::openat(fd, name.empty() ? "." : name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
      if (own) {
        if (out < 0) return close_keeping_errno(fd);
        ::close(fd);
      }
      return out;
    }
    const int child = step(fd, name);
    if (own) {
      if (child < 0) return close_keeping_errno(fd);
      ::close(fd);
    }
    if (child < 0) return -1;
    fd = child;
    own = true;
    pos = next;
  }
}

}  // namespace

int open_no_follow(int dir_fd, std::string_view path, int flags, mode_t mode) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  // The system would stop reading the name at the NUL and open a shorter path than the one
  // the caller checked.
  if (path.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return -1;
  }
  if (g_have_openat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const std::string text(path);
    const long fd = ::syscall(SYS_openat2, dir_fd, text.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    g_have_openat2.store(false, std::memory_order_relaxed);
  }
  return walk_components(dir_fd, path, flags, mode, [](int fd, const std::string& name) {
    return ::openat(fd, name.c_str(), kStepFlags);
  });
}

int open_folder_creating(std::string_view path, mode_t mode) {
  if (path.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return -1;
  }
  // A fast answer for the common case of a folder that exists already.
  const int existing = open_no_follow(AT_FDCWD, path, O_PATH | O_DIRECTORY);
  if (existing >= 0 || errno != ENOENT) return existing;
  const auto step = [mode](int fd, const std::string& name) {
    int child = ::openat(fd, name.c_str(), kStepFlags);
    if (child < 0 && errno == ENOENT) {
      if (::mkdirat(fd, name.c_str(), mode) != 0 && errno != EEXIST) return -1;
      child = ::openat(fd, name.c_str(), kStepFlags);
    }
    return child;
  };
  // Every component, the last one included, is a folder to create when missing.
  std::string folder(path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  folder += "/.";
  return walk_components(AT_FDCWD, folder, O_PATH | O_DIRECTORY, 0, step);
}

}  // namespace kavor::walk
