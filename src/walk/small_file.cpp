#include "walk/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "walk/no_follow.h"
#include "walk/owned_fd.h"

namespace kavor::walk {

namespace {

constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
// Bytes asked of the system by one read.
constexpr std::size_t kChunk = 64 * 1024;

int open_following(int dir_fd, std::string_view path) {
  // The system would stop reading the name at a NUL and open a shorter path than the one given.
  if (path.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return -1;
  }
  return ::openat(dir_fd, std::string(path).c_str(), kReadFlags);
}

}  // namespace

FileBytes read_small_file(int dir_fd, std::string_view path, const ReadRules& rules) {
  FileBytes out;
  const OwnedFd fd(rules.links == Links::Refuse ? open_no_follow(dir_fd, path, kReadFlags)
                                                : open_following(dir_fd, path));
  if (!fd.valid()) {
    out.error = errno;
    return out;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    out.error = errno;
    return out;
  }
  if (S_ISREG(info.st_mode)) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (rules.at_bound == AtBound::Refuse && size > rules.limit) {
      out.error = EFBIG;
      return out;
    }
    out.bytes.reserve(static_cast<std::size_t>(std::min(size, rules.limit)) + 1);
  } else if (!rules.any_kind) {
    out.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return out;
  }

  // One byte past the bound tells a longer file from one that just fits.
  const std::uint64_t wanted =
      rules.limit == std::numeric_limits<std::uint64_t>::max() ? rules.limit : rules.limit + 1;
  while (out.bytes.size() < wanted) {
    const std::size_t had = out.bytes.size();
    const auto ask = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, wanted - had));
    out.bytes.resize(had + ask);
    const ssize_t got = ::read(fd.get(), out.bytes.data() + had, ask);
    const int error = got < 0 ? errno : 0;
    out.bytes.resize(had + static_cast<std::size_t>(got > 0 ? got : 0));
    if (error == EINTR) continue;
    if (error != 0) {
      out.error = error;
      return out;
    }
    if (got == 0) break;
  }
  if (out.bytes.size() > rules.limit) {
    if (rules.at_bound == AtBound::Refuse) {
      out.bytes.clear();
      out.error = EFBIG;
    } else {
      out.bytes.resize(static_cast<std::size_t>(rules.limit));
      out.cut = true;
    }
  }
  return out;
}

}  // namespace kavor::walk
