#include "exec/run_folders.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/text.h"
#include "walk/folder_entries.h"
#include "walk/owned_fd.h"
#include "walk/remove_tree.h"

namespace kavor::exec {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A run's folder is named after the agent's process ("kavor-agent-run-{pid}-XXXXXX"), so that
// a later agent can tell the folders that an agent killed before its end left behind.
constexpr const char* kRunFolderPrefix = "kavor-agent-run-";
// A run's folder is moved to its name plus this before it is removed (see remove_ended).
constexpr const char* kLeftoverSuffix = "-ended";
// Passes of the removal of a run's folder: processes the command left behind may add to it
// while it goes, but not for long once its name is gone.
constexpr int kRemovalPasses = 4;
// The longest process id a name may hold, in digits.
constexpr std::size_t kPidDigits = 9;

// A new run folder in `parent`, owner only; the failure is the system's text.
Result<std::string> make_run_folder(const fs::path& parent) {
  std::string folder =
      (parent / (kRunFolderPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
  if (::mkdtemp(folder.data()) == nullptr) return fail(errno_text(errno));
  return folder;
}

// The agent's process id in a run folder's name, nothing when the name is not one.
std::optional<pid_t> run_folder_owner(const std::string& name) {
  const std::string prefix = kRunFolderPrefix;
  if (name.rfind(prefix, 0) != 0) return std::nullopt;
  const std::size_t dash = name.find('-', prefix.size());
  if (dash == std::string::npos || dash == prefix.size() || dash - prefix.size() > kPidDigits) {
    return std::nullopt;
  }
  pid_t pid = 0;
  for (std::size_t at = prefix.size(); at < dash; ++at) {
    if (name[at] < '0' || name[at] > '9') return std::nullopt;
    pid = pid * 10 + (name[at] - '0');
  }
  return pid > 0 ? std::optional<pid_t>(pid) : std::nullopt;
}

// Whether the folder at `path` is still what a run folder is made as: a folder (not a link) of
// this user, owner only, empty. The checks are made on the folder that was opened, not on the
// name.
bool still_as_made(const std::string& path) {
  const walk::OwnedFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  return fd.valid() && ::fstat(fd.get(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700 &&
         walk::folder_entries(fd.get()).empty();
}

}  // namespace

Result<std::string> RunFolders::take(const fs::path& parent) {
  std::call_once(stale_once_, [&parent] { remove_stale_run_folders(parent, kStaleRemovalBudget); });
  if (std::optional<std::string> spare = take_spare(parent)) return std::move(*spare);
  Result<std::string> made = make_run_folder(parent);
  if (made.ok()) {
    std::lock_guard lock(mutex_);
    live_.insert(made.value());
  }
  return made;
}

// The spare when it was made in `parent` and is still as it was made. One that is not goes
// with all it holds (never through a link: a link put in its place stays).
std::optional<std::string> RunFolders::take_spare(const fs::path& parent) {
  std::optional<Spare> spare;
  {
    std::lock_guard lock(mutex_);
    spare.swap(spare_);
  }
  if (!spare) return std::nullopt;
  if (spare->parent == parent && still_as_made(spare->folder)) return spare->folder;
  walk::remove_tree_no_follow(spare->folder);
  forget(spare->folder);
  return std::nullopt;
}

void RunFolders::make_spare(const fs::path& parent) {
  {
    std::lock_guard lock(mutex_);
    if (spare_) return;
  }
  Result<std::string> made = make_run_folder(parent);
  if (!made.ok()) return;  // the run that needs one makes it, and says why it could not
  {
    std::lock_guard lock(mutex_);
    if (!spare_) {
      spare_ = Spare{parent, made.value()};
      live_.insert(made.value());
      return;
    }
  }
  // Another was made meanwhile.
  ::rmdir(made.value().c_str());
}

void RunFolders::remove_ended(const std::string& folder) {
  std::string removing = folder + kLeftoverSuffix;
  if (::rename(folder.c_str(), removing.c_str()) != 0) removing = folder;
  for (int pass = 0; pass < kRemovalPasses; ++pass) {
    walk::remove_tree_no_follow(removing);
    if (::access(removing.c_str(), F_OK) != 0 && errno == ENOENT) break;
  }
  forget(folder);
}

void RunFolders::remove_live(std::chrono::milliseconds budget) {
  std::vector<std::string> folders;
  {
    std::lock_guard lock(mutex_);
    folders.assign(live_.begin(), live_.end());
  }
  const auto deadline = Clock::now() + budget;
  for (const std::string& folder : folders) {
    walk::remove_tree_no_follow(AT_FDCWD, folder, deadline);
  }
}

void RunFolders::forget(const std::string& folder) {
  std::lock_guard lock(mutex_);
  live_.erase(folder);
}

RunFolders& run_folders() {
  // Never destroyed: the exit hooks that remove the live folders (runner.h) run after static
  // destructors may have, and a spare still being made on a pool, or a run's end released on
  // one, may reach it while the program exits.
  static auto* const folders = new RunFolders;
  return *folders;
}

fs::path run_folder_parent() {
  const char* dir = std::getenv("TMPDIR");
  std::error_code error;
  if (dir != nullptr && dir[0] == '/' && fs::is_directory(dir, error)) return dir;
  return "/tmp";
}

void make_spare_run_folder() {
  run_folders().make_spare(run_folder_parent());
}

void remove_live_run_folders(std::chrono::milliseconds budget) {
  run_folders().remove_live(budget);
}

void remove_stale_run_folders(const fs::path& parent, std::chrono::milliseconds budget) {
  const walk::OwnedFd dir(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return;
  const auto deadline = Clock::now() + budget;
  for (const walk::FolderEntry& entry : walk::folder_entries(dir.get())) {
    if (Clock::now() >= deadline) return;
    const std::string& name = entry.name;
    const std::optional<pid_t> owner = run_folder_owner(name);
    if (!owner || *owner == ::getpid()) continue;
    // Another user's folder, or a link, stays whatever it is named.
    struct stat info {};
    if (::fstatat(dir.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
      continue;
    }
    if (::kill(*owner, 0) == 0 || errno != ESRCH) continue;
    walk::remove_tree_no_follow(dir.get(), name, deadline);
  }
}

}  // namespace kavor::exec
