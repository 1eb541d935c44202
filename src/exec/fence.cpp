#include "exec/fence.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#endif

#include <signal.h>
#include <stdio.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "platform/text.h"
#include "walk/path_form.h"

// The C library's headers may be older than the running kernel: what they lack is defined
// here, with the kernel's values.
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#define __NR_landlock_add_rule 445
#define __NR_landlock_restrict_self 446
#endif
#ifndef LANDLOCK_CREATE_RULESET_VERSION
#define LANDLOCK_CREATE_RULESET_VERSION (1U << 0)
#define LANDLOCK_RULE_PATH_BENEATH 1
struct landlock_ruleset_attr {
  std::uint64_t handled_access_fs;
};
struct landlock_path_beneath_attr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
} __attribute__((packed));
#define LANDLOCK_ACCESS_FS_EXECUTE (1ULL << 0)
#define LANDLOCK_ACCESS_FS_WRITE_FILE (1ULL << 1)
#define LANDLOCK_ACCESS_FS_READ_FILE (1ULL << 2)
#define LANDLOCK_ACCESS_FS_READ_DIR (1ULL << 3)
#endif
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace kavor::exec {

namespace fs = std::filesystem;

namespace {

// The rights of ABI 1: execute, write, read, read a folder, remove a folder or a file, and make
// each kind of entry (character device, folder, file, socket, fifo, block device, link).
constexpr std::uint64_t kAbi1Rights = (1ULL << 13) - 1;
constexpr std::uint64_t kReadRights =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
// The only rights a rule on something other than a folder may carry.
constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;
constexpr std::uint64_t kDeviceRights =
    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;
// Devices a command writes to as a matter of course; a missing one is passed over.
constexpr const char* kDevices[] = {"/dev/null",    "/dev/zero", "/dev/full", "/dev/random",
                                    "/dev/urandom", "/dev/tty",  "/dev/ptmx"};
constexpr const char* kTerminalFolder = "/dev/pts";
constexpr const char* kSharedMemoryFolder = "/dev/shm";
constexpr const char* kMachineTemp = "/tmp";
// A run's folder is named after the agent's process ("kavor-agent-run-{pid}-XXXXXX"), so that
// a later agent can tell the folders that an agent killed before its end left behind.
constexpr const char* kRunFolderPrefix = "kavor-agent-run-";
// How long the first preparation of a process spends removing what dead agents left.
constexpr std::chrono::seconds kStaleRemovalBudget{2};
// Folders a removal holds open at once (one descriptor each).
constexpr std::size_t kRemovalDepth = 64;
using RemovalClock = std::chrono::steady_clock;
// A run's folder is moved to its name plus this before it is removed (see ~RunFence).
constexpr const char* kLeftoverSuffix = "-ended";
// Links a refused place's path may pass through, as many as the kernel follows in one path.
constexpr int kMaxPlaceLinks = 40;
// Passes of the removal of a run's folder: processes the command left behind may add to it
// while it goes, but not for long once its name is gone.
constexpr int kRemovalPasses = 4;

// The ruleset's attributes as the kernel reads them from ABI 6 on; a kernel before it is given
// only the first field (its size says which fields the caller knows).
struct RulesetAttributes {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};
constexpr int kScopesAbi = 6;
constexpr std::uint64_t kScopes = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
// Capabilities are numbered below this on every kernel so far (40 in 6.x); dropping one the
// kernel does not know fails harmlessly.
constexpr int kCapabilityLimit = 64;

// The rights this kernel's Landlock knows, minus those the fence leaves alone (network ports,
// device ioctls): handling a right is what makes it refused where no rule grants it.
std::uint64_t handled_rights(int abi) {
  std::uint64_t rights = kAbi1Rights;
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
  return rights;
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// One entry of a folder: its name and the type the folder listing gives (DT_UNKNOWN on file
// systems that give none).
struct FolderEntry {
  std::string name;
  unsigned char type = DT_UNKNOWN;
};

// The entries of the folder open at `dir_fd` (the descriptor stays the caller's).
std::vector<FolderEntry> folder_entries(int dir_fd) {
  std::vector<FolderEntry> entries;
  const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return entries;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return entries;
  }
  ::rewinddir(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") entries.push_back({std::string(name), entry->d_type});
  }
  ::closedir(dir);
  return entries;
}

std::vector<std::string> folder_names(int dir_fd) {
  std::vector<std::string> names;
  for (FolderEntry& entry : folder_entries(dir_fd)) names.push_back(std::move(entry.name));
  return names;
}

// The refused places arranged as a tree of the folders on their paths.
struct PlaceNode {
  std::map<std::string, PlaceNode> children;
  bool refused = false;
  std::vector<std::string> readable;
  // Refused names of this folder given by pattern, each with the names that stay readable.
  std::vector<std::pair<std::string, std::vector<std::string>>> patterns;

  bool has_refusals() const { return refused || !children.empty() || !patterns.empty(); }
};

// Whether anything, a link included, has the name `path`.
bool entry_exists(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// Where `place` is, or will be once it is made: the links on its path followed as far as the
// path exists, a link that leads nowhere yet included (what it names is the place), and the
// missing rest appended. Nothing when the links loop or cannot be read. `known` keeps the
// folders resolved so far: most missing places end in the same few (the home folder, ~/.config).
std::optional<fs::path> resolve_place(fs::path place, std::map<std::string, fs::path>& known) {
  std::error_code error;
  for (int links = 0; links <= kMaxPlaceLinks; ++links) {
    fs::path existing = place;
    fs::path rest;
    auto found = known.end();
    while (existing.has_relative_path() && (found = known.find(existing.native())) == known.end() &&
           !entry_exists(existing)) {
      rest = rest.empty() ? existing.filename() : existing.filename() / rest;
      existing = existing.parent_path();
    }
    error.clear();
    const fs::path real = found != known.end() ? found->second : fs::canonical(existing, error);
    if (!error && !rest.empty()) known.emplace(existing.native(), real);
    if (!error) return rest.empty() ? real : real / rest;
    const fs::path target = fs::read_symlink(existing, error);
    if (error) return std::nullopt;
    place = existing.parent_path() / target;
    if (!rest.empty()) place /= rest;
  }
  return std::nullopt;
}

// The places are taken after following links, so that a link to a refused folder and the
// folder refuse the same files. One that does not exist yet stays in the tree below the
// deepest folder of its path that does, which the walk then grants entry by entry.
PlaceNode place_tree(const std::vector<RefusedPlace>& places) {
  PlaceNode root;
  std::map<std::string, fs::path> known;
  for (const RefusedPlace& place : places) {
    if (!place.path.is_absolute() || !place.path.has_filename()) continue;
    const std::string last = place.path.filename().string();
    const bool pattern = last.find('*') != std::string::npos;
    const std::optional<fs::path> real =
        resolve_place(pattern ? place.path.parent_path() : place.path, known);
    if (!real) continue;
    PlaceNode* node = &root;
    for (const fs::path& part : real->relative_path()) node = &node->children[part.string()];
    if (pattern) {
      node->patterns.emplace_back(last, place.readable);
    } else {
      node->refused = true;
      node->readable.insert(node->readable.end(), place.readable.begin(), place.readable.end());
    }
  }
  return root;
}

class RulesetBuilder {
 public:
  RulesetBuilder(int fd, std::uint64_t handled) : fd_(fd), handled_(handled) {}

  // A rule for the entry `name` of the folder `dir_fd`; a link is passed over. False only when
  // the kernel refused the rule.
  // The listing's type spares a look at the entry itself, a third of the cost of a folder of
  // hundreds of entries such as /tmp. An entry swapped since the listing is still sound: a rule
  // naming a link grants nothing (a path never passes through the link itself), and one with a
  // folder's rights on what is no longer a folder is refused by the kernel and made again after
  // a look at what the entry now is.
  bool grant(int dir_fd, const FolderEntry& entry, std::uint64_t rights) {
    if (entry.type == DT_LNK) return true;
    FdCloser target(::openat(dir_fd, entry.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (target.get() < 0) return true;  // gone meanwhile: nothing to grant
    if (entry.type == DT_UNKNOWN) return grant_fd(target.get(), rights);
    if (entry.type != DT_DIR) rights &= kFileRights;
    if (add_rule(target.get(), rights)) return true;
    return errno == EINVAL ? grant_fd(target.get(), rights) : false;
  }

  bool grant_fd(int fd, std::uint64_t rights) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISLNK(info.st_mode)) return true;
    if (!S_ISDIR(info.st_mode)) rights &= kFileRights;
    return add_rule(fd, rights);
  }

  // Reading for everything below the folder `dir_fd` but the refused places under `node`.
  // The walk goes only as deep as the refused places' own (canonical) paths.
  void grant_reads_but(int dir_fd, const PlaceNode& node) {
    for (const FolderEntry& entry : folder_entries(dir_fd)) {
      const std::string& name = entry.name;
      const auto child = node.children.find(name);
      if (child != node.children.end() && child->second.refused) {
        grant_readable_inside(dir_fd, name, child->second.readable);
      } else if (child != node.children.end()) {
        FdCloser sub(
            ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.get() >= 0) {
          grant_reads_but(sub.get(), child->second);
        } else if (errno == ENOTDIR) {
          grant_if_file(dir_fd, name);
        }
      } else if (const auto* readable = matching_pattern(node, name)) {
        grant_readable_inside(dir_fd, name, *readable);
      } else {
        grant(dir_fd, entry, kReadRights);
      }
    }
  }

 private:
  bool add_rule(int fd, std::uint64_t rights) const {
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights & handled_;
    rule.parent_fd = fd;
    if (rule.allowed_access == 0) return true;
    return ::syscall(__NR_landlock_add_rule, fd_, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
  }

  // A file where a folder on a refused path would be (~/.docker made a file, say): the place
  // cannot be made while it is there, and it is read as any other file. A folder or a link
  // found there instead (swapped since the listing) gets nothing.
  void grant_if_file(int dir_fd, const std::string& name) {
    FdCloser target(::openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (target.get() >= 0 && ::fstat(target.get(), &info) == 0 && !S_ISDIR(info.st_mode) &&
        !S_ISLNK(info.st_mode)) {
      add_rule(target.get(), kReadRights & kFileRights);
    }
  }

  static const std::vector<std::string>* matching_pattern(const PlaceNode& node,
                                                          const std::string& name) {
    for (const auto& [pattern, readable] : node.patterns) {
      if (fence_name_matches(pattern, name)) return &readable;
    }
    return nullptr;
  }

  void grant_readable_inside(int dir_fd, const std::string& name,
                             const std::vector<std::string>& readable) {
    if (readable.empty()) return;
    FdCloser inside(
        ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (inside.get() < 0) return;
    for (const FolderEntry& entry : folder_entries(inside.get())) {
      for (const std::string& pattern : readable) {
        if (fence_name_matches(pattern, entry.name)) {
          grant(inside.get(), entry, kReadRights);
          break;
        }
      }
    }
  }

  int fd_;
  std::uint64_t handled_;
};

// Opens the entry `name` of `dir_fd` as a folder for removal, never through a link. A folder of
// this user that lacks its owner's rights (the command may have made it unreadable or
// unwritable) gets them back first, through a descriptor of the folder itself, so that a link
// put in its place meanwhile changes nothing. -1 when it is no folder or cannot be opened.
int open_for_removal(int dir_fd, const char* name) {
  FdCloser path(::openat(dir_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (path.get() < 0 || ::fstat(path.get(), &info) != 0 || !S_ISDIR(info.st_mode)) return -1;
  const std::string proc = "/proc/self/fd/" + std::to_string(path.get());
  if (info.st_uid == ::geteuid() && (info.st_mode & S_IRWXU) != S_IRWXU) {
    ::chmod(proc.c_str(), (info.st_mode & 07777) | S_IRWXU);
  }
  const int fd = ::open(proc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  // Without /proc: by name, still refusing a link.
  return ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// One open folder on the way down a removal, with the entries not yet looked at.
struct RemovalLevel {
  int fd;
  std::string name;  // in the level above
  std::vector<std::string> left;
};

// Moves the folder `name` of `dir_fd` to the top folder of a removal under a new name, which
// is added to what the top has left: the walk then never holds more than kRemovalDepth
// descriptors, however deep the tree.
void move_to_top(int dir_fd, const std::string& name, RemovalLevel& top, std::size_t& moved) {
  // Moving a folder rewrites its "..", which takes the right to write in it.
  const int fd = open_for_removal(dir_fd, name.c_str());
  if (fd < 0) return;
  ::close(fd);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string up = ".kavor-removing-" + std::to_string(moved++);
    if (::renameat2(dir_fd, name.c_str(), top.fd, up.c_str(), RENAME_NOREPLACE) == 0) {
      top.left.push_back(up);
      return;
    }
    if (errno != EEXIST) return;
  }
}

// Removes the folder `name` of `parent_fd` with everything below it, or as much as it removes
// by `deadline`.
void remove_tree_at(int parent_fd, const std::string& name, RemovalClock::time_point deadline) {
  std::vector<RemovalLevel> levels;
  if (const int top = open_for_removal(parent_fd, name.c_str()); top >= 0) {
    levels.push_back({top, name, folder_names(top)});
  }
  std::size_t moved = 0;
  std::size_t steps = 0;
  while (!levels.empty()) {
    if (++steps % 256 == 0 && RemovalClock::now() >= deadline) break;
    RemovalLevel& level = levels.back();
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
  for (const RemovalLevel& level : levels) ::close(level.fd);
  if (levels.empty()) ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
}

// The temporary folders of the runs alive now, for the program's end. Never destroyed: the
// exit hooks that read it run after static destructors may have.
std::mutex& live_run_folders_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::set<std::string>& live_run_folders() {
  static auto* folders = new std::set<std::string>;
  return *folders;
}

// What the rule on `fd` was made on, for the run's view to check (namespace.h).
GrantedFolder granted_folder(std::string path, int fd) {
  struct stat info {};
  ::fstat(fd, &info);
  return GrantedFolder{std::move(path), info.st_dev, info.st_ino};
}

// The agent's process id in a run folder's name, nothing when the name is not one.
std::optional<pid_t> run_folder_owner(const std::string& name) {
  const std::string prefix = kRunFolderPrefix;
  if (name.rfind(prefix, 0) != 0) return std::nullopt;
  const std::size_t dash = name.find('-', prefix.size());
  if (dash == std::string::npos || dash == prefix.size() || dash - prefix.size() > 9) {
    return std::nullopt;
  }
  pid_t pid = 0;
  for (std::size_t at = prefix.size(); at < dash; ++at) {
    if (name[at] < '0' || name[at] > '9') return std::nullopt;
    pid = pid * 10 + (name[at] - '0');
  }
  return pid > 0 ? std::optional<pid_t>(pid) : std::nullopt;
}

fs::path temp_parent() {
  const char* dir = std::getenv("TMPDIR");
  std::error_code error;
  if (dir != nullptr && dir[0] == '/' && fs::is_directory(dir, error)) return dir;
  return "/tmp";
}

std::vector<fs::path> home_folders() {
  std::vector<fs::path> homes;
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    homes.emplace_back(home);
  }
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    homes.emplace_back(found->pw_dir);
  }
  return homes;
}

// A new run folder in `parent`, owner only; the failure is the system's text.
Result<std::string> make_run_folder(const fs::path& parent) {
  std::string folder =
      (parent / (kRunFolderPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
  if (::mkdtemp(folder.data()) == nullptr) return fail(errno_text(errno));
  return folder;
}

// One run folder made ahead of the run that takes it (see make_spare_run_folder). Never
// destroyed: a refill still running on a pool at the program's end may touch them.
struct SpareFolder {
  fs::path parent;
  std::string folder;
};
std::mutex& spare_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::optional<SpareFolder>& spare_folder() {
  static auto* spare = new std::optional<SpareFolder>;
  return *spare;
}

// Whether the folder at `path` is still what a run folder is made as: a folder (not a link) of
// this user, owner only, empty. A fenced command can list its parent and change a folder's mode
// (no Landlock right covers that), so a waiting folder may have been opened to another account
// meanwhile, which could have left something in it; then it is not used. The checks are made
// on the folder that was opened, not on the name.
bool still_as_made(const std::string& path) {
  FdCloser fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  return fd.get() >= 0 && ::fstat(fd.get(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700 &&
         folder_entries(fd.get()).empty();
}

// The waiting folder when it was made in `parent` and is still as it was made. One that is not
// goes with all it holds (never through a link: a link put in its place stays).
std::optional<std::string> take_spare_run_folder(const fs::path& parent) {
  std::optional<SpareFolder> spare;
  {
    std::lock_guard lock(spare_mutex());
    spare.swap(spare_folder());
  }
  if (!spare) return std::nullopt;
  if (spare->parent == parent && still_as_made(spare->folder)) return spare->folder;
  remove_tree_no_follow(spare->folder);
  std::lock_guard lock(live_run_folders_mutex());
  live_run_folders().erase(spare->folder);
  return std::nullopt;
}

}  // namespace

int landlock_abi() {
  static const int abi = [] {
    const long version =
        ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version > 0 ? static_cast<int>(version) : 0;
  }();
  return abi;
}

int enter_fence(int ruleset_fd) {
  // Capabilities first: root keeps none, and a command of anyone else gains none on exec. The
  // bounding set can be lowered only with CAP_SETPCAP, which a process without capabilities
  // has no use for anyway (no new privileges keeps file capabilities from applying).
  for (int cap = 0; cap < kCapabilityLimit; ++cap) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capset, &header, none) != 0) return -1;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return static_cast<int>(::syscall(__NR_landlock_restrict_self, ruleset_fd, 0));
}

int add_fence_rule(int ruleset_fd, int fd, std::uint64_t rights) {
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights;
  rule.parent_fd = fd;
  return static_cast<int>(
      ::syscall(__NR_landlock_add_rule, ruleset_fd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0));
}

std::vector<fs::path> fence_home_folders() {
  return home_folders();
}

bool fence_scopes_available() {
  return landlock_abi() >= kScopesAbi;
}

std::vector<RefusedPlace> home_credential_places(const fs::path& home) {
  return {
      {home / ".ssh", {"known_hosts*", "config", "*.pub", "authorized_keys"}},
      {home / ".gnupg"},
      {home / ".aws"},
      {home / ".azure"},
      {home / ".config" / "gcloud"},
      {home / ".kube"},
      {home / ".docker" / "config.json"},
      {home / ".config" / "containers" / "auth.json"},
      {home / ".netrc"},
      {home / ".git-credentials"},
      {home / ".config" / "git" / "credentials"},
      {home / ".config" / "gh" / "hosts.yml"},
      {home / ".npmrc"},
      {home / ".pypirc"},
      {home / ".cargo" / "credentials.toml"},
      {home / ".cargo" / "credentials"},
      {home / ".vault-token"},
      {home / ".pgpass"},
      {home / ".password-store"},
      {home / ".local" / "share" / "keyrings"},
      {home / ".bash_history"},
      {home / ".zsh_history"},
      {home / ".local" / "share" / "fish" / "fish_history"},
      {home / ".python_history"},
      {home / ".node_repl_history"},
      {home / ".psql_history"},
      {home / ".mysql_history"},
  };
}

bool fence_name_matches(const std::string& pattern, const std::string& name) {
  return ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

RunFence::RunFence(int ruleset_fd, fs::path temp_folder)
    : ruleset_fd_(ruleset_fd), temp_folder_(std::move(temp_folder)) {
  if (temp_folder_.empty()) return;
  std::lock_guard lock(live_run_folders_mutex());
  live_run_folders().insert(temp_folder_.string());
}

RunFence::~RunFence() {
  if (ruleset_fd_ >= 0) ::close(ruleset_fd_);
  if (temp_folder_.empty()) return;
  // Processes the command left running may still write to the folder by its name: moved to a
  // name of its own first (the agent's id kept, so a later agent still knows whose it was), they
  // lose it, and what they add while it goes is taken by the next pass.
  fs::path removing = temp_folder_;
  removing += kLeftoverSuffix;
  if (::rename(temp_folder_.c_str(), removing.c_str()) != 0) removing = temp_folder_;
  for (int pass = 0; pass < kRemovalPasses; ++pass) {
    remove_tree_no_follow(removing);
    if (::access(removing.c_str(), F_OK) != 0 && errno == ENOENT) break;
  }
  std::lock_guard lock(live_run_folders_mutex());
  live_run_folders().erase(temp_folder_.string());
}

void remove_live_run_folders(std::chrono::milliseconds budget) {
  std::vector<std::string> folders;
  {
    std::lock_guard lock(live_run_folders_mutex());
    folders.assign(live_run_folders().begin(), live_run_folders().end());
  }
  const auto deadline = RemovalClock::now() + budget;
  for (const std::string& folder : folders) remove_tree_at(AT_FDCWD, folder, deadline);
}

void remove_stale_run_folders(const fs::path& parent, std::chrono::milliseconds budget) {
  FdCloser dir(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return;
  const auto deadline = RemovalClock::now() + budget;
  for (const std::string& name : folder_names(dir.get())) {
    if (RemovalClock::now() >= deadline) return;
    const std::optional<pid_t> owner = run_folder_owner(name);
    if (!owner || *owner == ::getpid()) continue;
    // Another user's folder, or a link, stays whatever it is named.
    struct stat info {};
    if (::fstatat(dir.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
      continue;
    }
    if (::kill(*owner, 0) == 0 || errno != ESRCH) continue;
    remove_tree_at(dir.get(), name, deadline);
  }
}

void make_spare_run_folder() {
  {
    std::lock_guard lock(spare_mutex());
    if (spare_folder()) return;
  }
  const fs::path parent = temp_parent();
  Result<std::string> made = make_run_folder(parent);
  if (!made.ok()) return;  // the run that needs one makes it, and says why it could not
  {
    std::lock_guard lock(live_run_folders_mutex());
    live_run_folders().insert(made.value());
  }
  {
    std::lock_guard lock(spare_mutex());
    if (!spare_folder()) {
      spare_folder() = SpareFolder{parent, made.value()};
      return;
    }
  }
  ::rmdir(made.value().c_str());
  std::lock_guard lock(live_run_folders_mutex());
  live_run_folders().erase(made.value());
}

Fence::Fence(ExtraPlaces extra) : extra_(std::move(extra)) {}

std::vector<RefusedPlace> Fence::refused() const {
  std::vector<RefusedPlace> places;
  const std::vector<fs::path> homes = home_folders();
  for (const fs::path& home : homes) {
    for (RefusedPlace& place : home_credential_places(home)) places.push_back(std::move(place));
  }
  if (const char* gnupg = std::getenv("GNUPGHOME"); gnupg != nullptr && gnupg[0] == '/') {
    places.push_back({gnupg});
  }
  if (extra_) {
    for (RefusedPlace& place : extra_(homes)) places.push_back(std::move(place));
  }
  return places;
}

Result<std::shared_ptr<RunFence>> Fence::prepare(const std::vector<fs::path>& writable) const {
  return prepare_fence(refused(), writable);
}

Result<std::shared_ptr<RunFence>> prepare_fence(const std::vector<RefusedPlace>& refused,
                                                const std::vector<fs::path>& writable) {
  const int abi = landlock_abi();
  if (abi <= 0) return fail("the kernel offers no Landlock");
  const std::uint64_t handled = handled_rights(abi);
  RulesetAttributes attr{};
  attr.handled_access_fs = handled;
  std::size_t attr_size = sizeof attr.handled_access_fs;
  if (abi >= kScopesAbi) {
    attr.scoped = kScopes;
    attr_size = sizeof attr;
  }
  const int ruleset =
      static_cast<int>(::syscall(__NR_landlock_create_ruleset, &attr, attr_size, 0));
  if (ruleset < 0) return fail(errno_text(errno));
  const fs::path parent = temp_parent();
  static std::once_flag stale_once;
  std::call_once(stale_once, [&parent] { remove_stale_run_folders(parent, kStaleRemovalBudget); });
  std::string temp;
  if (std::optional<std::string> spare = take_spare_run_folder(parent)) {
    temp = std::move(*spare);
  } else if (Result<std::string> made = make_run_folder(parent); made.ok()) {
    temp = std::move(made.value());
  } else {
    ::close(ruleset);
    return made.error();
  }
  // From here the folder and the ruleset are the fence's, removed and closed with it.
  auto fence = std::make_shared<RunFence>(ruleset, temp);
  RulesetBuilder rules(ruleset, handled);

  // Reading: everything when nothing is refused; otherwise listing folders, and the rest by
  // the walk down the refused paths. A place in the machine's /tmp is out of view when the run
  // has a /tmp of its own, and its folder is not walked (/tmp may hold hundreds of entries).
  const bool own_temp =
      run_view_support() != ViewSupport::None && !view_keeps_real_temp(writable, home_folders());
  std::vector<RefusedPlace> in_view;
  for (const RefusedPlace& place : refused) {
    if (!own_temp || !walk::inside_or_same(kMachineTemp, place.path.lexically_normal().string())) {
      in_view.push_back(place);
    }
  }
  const PlaceNode places = place_tree(in_view);
  FdCloser root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.get() < 0) return fail(errno_text(errno));
  if (!places.has_refusals()) {
    if (!rules.grant_fd(root.get(), kReadRights)) return fail(errno_text(errno));
  } else {
    if (!rules.grant_fd(root.get(), LANDLOCK_ACCESS_FS_READ_DIR)) return fail(errno_text(errno));
    rules.grant_reads_but(root.get(), places);
  }

  // Writing: the workspace folders and the run's own temporary folder, with every right; the
  // devices with reading and writing only.
  // The workspace folders come resolved, free of links; one found on the way now was put there
  // since (by an earlier run, say, that swapped a folder for a link to the home folder), and
  // following it would hand this run the place it leads to.
  std::vector<GrantedFolder> granted;
  for (const fs::path& folder : writable) {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    FdCloser fd(
        static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, folder.c_str(), &how, sizeof how)));
    if (fd.get() < 0 && errno == ELOOP) {
      return fail(folder.string() + " leads through a link that was not there when it was checked");
    }
    if (fd.get() < 0) return fail(folder.string() + ": " + errno_text(errno));
    if (!rules.grant_fd(fd.get(), handled)) return fail(errno_text(errno));
    granted.push_back(granted_folder(folder.string(), fd.get()));
  }
  GrantedFolder run_folder;
  {
    FdCloser fd(::open(temp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return fail(temp + ": " + errno_text(errno));
    if (!rules.grant_fd(fd.get(), handled)) return fail(errno_text(errno));
    run_folder = granted_folder(temp, fd.get());
  }
  for (const char* device : kDevices) {
    FdCloser fd(::open(device, O_PATH | O_CLOEXEC));
    if (fd.get() >= 0) rules.grant_fd(fd.get(), kDeviceRights);
  }
  if (FdCloser fd(::open(kTerminalFolder, O_PATH | O_DIRECTORY | O_CLOEXEC)); fd.get() >= 0) {
    rules.grant_fd(fd.get(), kDeviceRights | kReadRights);
  }
  if (FdCloser fd(::open(kSharedMemoryFolder, O_PATH | O_DIRECTORY | O_CLOEXEC)); fd.get() >= 0) {
    rules.grant_fd(fd.get(), handled);
  }
  // The session's doors (namespace.h), where the system lets the run have a view of its own.
  if (run_view_support() != ViewSupport::None) {
    mark_displays_in_use(temp);
    fence->set_view(
        plan_run_view(run_folder, granted, home_folders(), handled, kReadRights & handled));
  }
  return fence;
}

void remove_tree_no_follow(const fs::path& folder) {
  remove_tree_at(AT_FDCWD, folder.string(), RemovalClock::time_point::max());
}

}  // namespace kavor::exec
