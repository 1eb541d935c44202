#include "walk/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <random>

#include "walk/no_follow.h"

namespace kavor::walk {

namespace {

// Attempts at a unique temporary name before giving up: another name is taken only when a file
// of this process or a stray one holds it.
constexpr int kUniqueNameTries = 16;

// Creates the missing folders of `folder` one by one (following links), then opens it.
int open_folder_following(const std::string& folder, mode_t mode) {
  std::string partial;
  std::size_t pos = 0;
  while (pos <= folder.size()) {
    const std::size_t end = std::min(folder.find('/', pos), folder.size());
    partial = folder.substr(0, end);
    if (end > pos && ::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return -1;
    pos = end + 1;
  }
  return ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int open_folder(const std::string& folder, const ReplaceOptions& options) {
  if (options.folder_links) return open_folder_following(folder, options.folder_mode);
  return open_folder_creating(folder, options.folder_mode);
}

// Creates the temporary sibling in `folder`; its name goes to `temp`.
int create_temporary(int folder, const std::string& name, const ReplaceOptions& options,
                     std::string& temp) {
  if (!options.temporary.empty()) {
    temp = options.temporary;
    // O_NONBLOCK: a pipe planted at the name fails at once instead of waiting for a reader.
    const int fd =
        ::openat(folder, temp.c_str(),
                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, options.mode);
    if (fd < 0 && (errno == ELOOP || errno == ENXIO)) {
      const int error = errno;
      ::unlinkat(folder, temp.c_str(), 0);
      errno = error;
    }
    return fd;
  }
  static std::atomic<std::uint64_t> counter{std::random_device{}()};
  int fd = -1;
  for (int i = 0; i < kUniqueNameTries && fd < 0; ++i) {
    temp = "." + name + ".tmp-" + std::to_string(counter.fetch_add(1));
    fd = ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  options.mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

}  // namespace

int replace_file(std::string_view path, std::string_view bytes, const ReplaceOptions& options) {
  const std::size_t slash = path.rfind('/');
  const std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
  std::string folder_path(slash == std::string_view::npos ? "." : path.substr(0, slash));
  if (slash == 0) folder_path = "/";
  if (name.empty() || name == "." || name == "..") return EISDIR;

  // 1. The folder.
  const int folder = open_folder(folder_path, options);
  if (folder < 0) return errno;

  // 2. The temporary sibling and its bytes.
  std::string temp;
  const int fd = create_temporary(folder, name, options, temp);
  if (fd < 0) {
    const int error = errno;
    ::close(folder);
    return error;
  }
  int error = 0;
  std::size_t done = 0;
  while (done < bytes.size() && error == 0) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno != EINTR) error = errno;
    if (wrote == 0) error = EIO;
    if (wrote > 0) done += static_cast<std::size_t>(wrote);
  }

  // 3. Flush, close, rename over the target.
  if (error == 0 && options.flush && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::renameat(folder, temp.c_str(), folder, name.c_str()) != 0) error = errno;
  if (error != 0) ::unlinkat(folder, temp.c_str(), 0);
  ::close(folder);
  return error;
}

}  // namespace kavor::walk
