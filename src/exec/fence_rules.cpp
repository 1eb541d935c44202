#include "exec/fence_rules.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#endif

#include <cerrno>
#include <map>
#include <optional>
#include <utility>

#include "platform/text.h"
#include "walk/folder_entries.h"

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

using walk::folder_entries;
using walk::FolderEntry;
using walk::OwnedFd;

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
// Links a refused place's path may pass through, as many as the kernel follows in one path.
constexpr int kMaxPlaceLinks = 40;

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
    OwnedFd target(::openat(dir_fd, entry.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
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
        OwnedFd sub(
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
    OwnedFd target(::openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
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
    OwnedFd inside(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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

Result<FenceRuleset> FenceRuleset::create() {
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
  const int fd = static_cast<int>(::syscall(__NR_landlock_create_ruleset, &attr, attr_size, 0));
  if (fd < 0) return fail(errno_text(errno));
  return FenceRuleset(fd, handled);
}

std::uint64_t FenceRuleset::read_rights() const {
  return kReadRights & handled_;
}

Result<void> FenceRuleset::grant_reading_except(const std::vector<RefusedPlace>& refused) {
  RulesetBuilder rules(fd(), handled_);
  const PlaceNode places = place_tree(refused);
  const OwnedFd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return fail(errno_text(errno));
  // Everything when nothing is refused; otherwise listing folders, and the rest by the walk
  // down the refused paths.
  if (!places.has_refusals()) {
    if (!rules.grant_fd(root.get(), kReadRights)) return fail(errno_text(errno));
  } else {
    if (!rules.grant_fd(root.get(), LANDLOCK_ACCESS_FS_READ_DIR)) return fail(errno_text(errno));
    rules.grant_reads_but(root.get(), places);
  }
  return {};
}

bool FenceRuleset::grant(int fd, std::uint64_t rights) {
  return RulesetBuilder(fd_, handled_).grant_fd(fd, rights);
}

void FenceRuleset::grant_devices() {
  for (const char* device : kDevices) {
    const OwnedFd fd(::open(device, O_PATH | O_CLOEXEC));
    if (fd.valid()) grant(fd.get(), kDeviceRights);
  }
  if (const OwnedFd fd(::open(kTerminalFolder, O_PATH | O_DIRECTORY | O_CLOEXEC)); fd.valid()) {
    grant(fd.get(), kDeviceRights | kReadRights);
  }
  if (const OwnedFd fd(::open(kSharedMemoryFolder, O_PATH | O_DIRECTORY | O_CLOEXEC)); fd.valid()) {
    grant(fd.get(), handled_);
  }
}

}  // namespace kavor::exec
