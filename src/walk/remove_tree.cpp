#include "walk/remove_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "walk/folder_entries.h"
#include "walk/owned_fd.h"

namespace kavor::walk {

namespace {

// Entries removed between two looks at the clock.
constexpr std::size_t kStepsPerClockLook = 256;
// Names tried when a deep folder is moved up and the first ones are taken.
constexpr int kMoveAttempts = 16;

// Opens the entry `name` of `dir_fd` as a folder for removal, never through a link (step 3).
// -1 when it is no folder or cannot be opened.
int open_for_removal(int dir_fd, const char* name) {
  const OwnedFd path(::openat(dir_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!path.valid() || ::fstat(path.get(), &info) != 0 || !S_ISDIR(info.st_mode)) return -1;
  const std::string proc = "/proc/self/fd/" + std::to_string(path.get());
  if (info.st_uid == ::geteuid() && (info.st_mode & S_IRWXU) != S_IRWXU) {
    ::chmod(proc.c_str(), (info.st_mode & 07777) | S_IRWXU);
  }
  const int fd = ::open(proc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  // Without /proc: by name, still refusing a link.
  return ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::vector<std::string> folder_names(int dir_fd) {
  std::vector<std::string> names;
  for (FolderEntry& entry : folder_entries(dir_fd)) names.push_back(std::move(entry.name));
  return names;
}

// One open folder on the way down a removal, with the entries not yet looked at.
struct Level {
  int fd;
  std::string name;  // in the level above
  std::vector<std::string> left;
};

// Moves the folder `name` of `dir_fd` to the top folder of the removal under a new name, which
// is added to what the top has left (step 4).
void move_to_top(int dir_fd, const std::string& name, Level& top, std::size_t& moved) {
  // Moving a folder rewrites its "..", which takes the right to write in it.
  const int fd = open_for_removal(dir_fd, name.c_str());
  if (fd < 0) return;
  ::close(fd);
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    const std::string up = ".kavor-removing-" + std::to_string(moved++);
    if (::renameat2(dir_fd, name.c_str(), top.fd, up.c_str(), RENAME_NOREPLACE) == 0) {
      top.left.push_back(up);
      return;
    }
    if (errno != EEXIST) return;
  }
}

}  // namespace

void remove_tree_no_follow(int parent_fd, const std::string& name, RemovalDeadline deadline) {
  std::vector<Level> levels;
  if (const int top = open_for_removal(parent_fd, name.c_str()); top >= 0) {
    levels.push_back({top, name, folder_names(top)});
  }
  std::size_t moved = 0;
  std::size_t steps = 0;
  while (!levels.empty()) {
    if (++steps % kStepsPerClockLook == 0 && std::chrono::steady_clock::now() >= deadline) break;
    Level& level = levels.back();
    if (level.left.empty()) {
      ::close(level.fd);
      const std::string done = std::move(level.name);
      levels.pop_back();
      if (!levels.empty()) ::unlinkat(levels.back().fd, done.c_str(), AT_REMOVEDIR);
      continue;
    }
    const std::string entry = std::move(level.left.back());
    level.left.pop_back();
    // Anything but a folder goes at once (a link included: only the link).
    if (::unlinkat(level.fd, entry.c_str(), 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) continue;
    if (levels.size() >= kRemovalDepth) {
      move_to_top(level.fd, entry, levels.front(), moved);
      continue;
    }
    const int sub = open_for_removal(level.fd, entry.c_str());
    if (sub >= 0) levels.push_back({sub, entry, folder_names(sub)});
  }
  for (const Level& level : levels) ::close(level.fd);
  if (levels.empty()) ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
}

}  // namespace kavor::walk
