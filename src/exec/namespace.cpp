#include "exec/namespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/nsfs.h>
#include <linux/openat2.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "exec/fence_rules.h"
#include "exec/run_keeper.h"
#include "walk/path_form.h"
#include "walk/small_file.h"

#ifndef OPEN_TREE_CLONE
#define OPEN_TREE_CLONE 1
#endif
#ifndef OPEN_TREE_CLOEXEC
#define OPEN_TREE_CLOEXEC O_CLOEXEC
#endif
#ifndef AT_RECURSIVE
#define AT_RECURSIVE 0x8000
#endif
#ifndef MOVE_MOUNT_F_EMPTY_PATH
#define MOVE_MOUNT_F_EMPTY_PATH 0x00000004
#endif
#ifndef SYS_open_tree
#define SYS_open_tree 428
#define SYS_move_mount 429
#endif

namespace kavor::exec {

namespace fs = std::filesystem;

namespace {

// An empty read-only folder holds nothing and takes nothing.
constexpr const char* kHideOptions = "size=4k,nr_inodes=16,mode=0755";
constexpr unsigned long kHideFlags = MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC;
// The run's own folders hold what programs put there, as the places they stand for do.
constexpr unsigned long kOwnFlags = MS_NOSUID | MS_NODEV;
constexpr const char* kRuntimeMode = "mode=0700";
constexpr const char* kSharedMemoryMode = "mode=1777";
constexpr const char* kKeymapMode = "mode=0755";
// Sockets that sit in /tmp, covered one by one when a workspace folder is /tmp itself and the
// run keeps the real one.
constexpr const char* kTempDoors[] = {".X11-unix", ".ICE-unix", ".XIM-unix", "dbus-*",
                                      "ssh-*",     "tmux-*",    "gpg-*",     "keyring-*"};
// Sockets of the machine's services, as their packages install them.
constexpr const char* kSystemSockets[] = {
    "/run/dbus/system_bus_socket",
    "/run/systemd/private",
    "/run/docker.sock",
    "/run/podman/podman.sock",
    "/run/containerd/containerd.sock",
    "/run/containerd/containerd.sock.ttrpc",
};
constexpr const char* kScreenFolder = "/run/screen";
// Every socket bound with a path, machine-wide: the sockets of services not named anywhere else
// (a multiplexed ssh connection in ~/.ssh, an editor's server, a database, a root daemon).
constexpr const char* kSocketTable = "/proc/net/unix";
// The devices of the run's own /dev: what programs open as a matter of course.
constexpr const char* kRunDevices[] = {"/dev/null",   "/dev/zero",    "/dev/full",
                                       "/dev/random", "/dev/urandom", "/dev/tty"};
constexpr const char* kDeviceFolder = "/dev";
constexpr const char* kDevicesOptions = "size=64k,nr_inodes=64,mode=0755";
constexpr const char* kTemp = "/tmp";
// A display's lock file holds its server's process id, one line of eleven bytes.
constexpr std::uint64_t kLockFileLimit = 64;
constexpr const char* kProc = "/proc";

// Only what exists is covered, in its canonical form (a mount on a link covers what it leads
// to, and the cover of another name of the same place must not be made twice).
std::optional<std::string> existing(const fs::path& path) {
  if (path.empty() || !path.is_absolute()) return std::nullopt;
  return walk::canonical(path.string());
}

// A place to cover, reached without a link: a link on the way may have been put there by an
// earlier fenced run (in a folder it may write, the home folder as workspace), and covering what
// it leads to would hide a system folder (~/.gnupg -> /etc) from every later run.
std::optional<std::string> unlinked(const fs::path& path) {
  const auto real = existing(path);
  if (!real) return std::nullopt;
  std::string lexical = path.lexically_normal().string();
  while (lexical.size() > 1 && lexical.back() == '/') lexical.pop_back();
  return *real == lexical ? real : std::nullopt;
}

bool is_socket(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool is_folder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The socket named by a bus address ("unix:path=/run/user/1000/bus,guid=..."; several
// addresses are separated by ';'; values are %-escaped).
std::vector<std::string> bus_socket_paths(const char* address) {
  std::vector<std::string> paths;
  if (address == nullptr) return paths;
  std::stringstream all(address);
  for (std::string one; std::getline(all, one, ';');) {
    if (one.rfind("unix:", 0) != 0) continue;
    std::stringstream pairs(one.substr(5));
    for (std::string pair; std::getline(pairs, pair, ',');) {
      if (pair.rfind("path=", 0) != 0) continue;
      std::string path;
      for (std::size_t at = 5; at < pair.size(); ++at) {
        if (pair[at] == '%' && at + 2 < pair.size()) {
          path += static_cast<char>(std::strtol(pair.substr(at + 1, 2).c_str(), nullptr, 16));
          at += 2;
        } else {
          path += pair[at];
        }
      }
      paths.push_back(path);
    }
  }
  return paths;
}

class Planner {
 public:
  Planner(const std::vector<fs::path>& writable, const std::vector<fs::path>& homes) {
    for (const fs::path& folder : writable) {
      if (auto real = existing(folder)) {
        kept_.push_back(*real);
        writable_.push_back(*real);
      }
    }
    for (const fs::path& home : homes) {
      if (auto real = existing(home)) kept_.push_back(*real);
    }
  }

  // A folder is covered unless that would hide a workspace or a home folder; the file `socket`
  // inside it, if given, is covered then instead.
  void hide_folder(const fs::path& folder, const fs::path& socket = {}) {
    const auto real = unlinked(folder);
    if (!real || !is_folder(*real)) return;
    if (holds_kept(*real)) {
      if (!socket.empty()) hide_file(socket);
      return;
    }
    add(ViewMount::Kind::Hide, *real);
  }

  // Only a socket is covered, wherever a link leads: a link planted towards any other file
  // gains nothing.
  void hide_file(const fs::path& file) {
    const auto real = existing(file);
    if (!real || !is_socket(*real)) return;
    add(ViewMount::Kind::HideFile, *real);
  }

  // Every socket of the machine's table, but those of the workspace folders, of the run's own
  // folder (`run_folder`) and of the places the view replaces as a whole (`replaced`).
  void hide_listed_sockets(const std::string& run_folder,
                           const std::vector<std::string>& replaced) {
    std::ifstream table(kSocketTable);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
      // Num RefCount Protocol Flags Type St Inode Path: the path is what follows the seventh.
      std::size_t at = 0;
      for (int field = 0; field < 7 && at != std::string::npos; ++field) {
        at = line.find_first_not_of(' ', at);
        at = at == std::string::npos ? at : line.find(' ', at);
      }
      if (at == std::string::npos) continue;
      const std::size_t path = line.find_first_not_of(' ', at);
      if (path == std::string::npos || line[path] != '/') continue;
      // Judged where it really is: a link on the way (in the workspace, say) may lead out.
      const auto real = existing(line.substr(path));
      if (!real) continue;
      const std::string& socket = *real;
      const auto inside = [&socket](const std::string& folder) {
        return walk::inside_or_same(folder, socket);
      };
      if (inside(run_folder) || std::any_of(writable_.begin(), writable_.end(), inside) ||
          std::any_of(replaced.begin(), replaced.end(), inside)) {
        continue;
      }
      hide_file(socket);
    }
  }

  void own_folder(const fs::path& folder, const char* mode) {
    const auto real = unlinked(folder);
    if (!real || !is_folder(*real) || holds_kept(*real)) return;
    add(ViewMount::Kind::Own, *real, mode);
  }

  void add(ViewMount::Kind kind, const std::string& target, std::string options = {}) {
    if (!covered_.insert(target).second) return;
    mounts_.push_back(ViewMount{kind, target, {}, std::move(options)});
  }

  std::vector<ViewMount>& mounts() { return mounts_; }

  // The folders covered whole (empty or the run's own).
  std::vector<std::string> covered_folders() const {
    std::vector<std::string> folders;
    for (const ViewMount& mount : mounts_) {
      if (mount.kind == ViewMount::Kind::Hide || mount.kind == ViewMount::Kind::Own) {
        folders.push_back(mount.target);
      }
    }
    return folders;
  }

 private:
  bool holds_kept(const std::string& folder) const {
    for (const std::string& kept : kept_) {
      if (walk::inside_or_same(folder, kept)) return true;
    }
    return false;
  }

  std::vector<std::string> kept_;
  std::vector<std::string> writable_;
  std::set<std::string> covered_;
  std::vector<ViewMount> mounts_;
};

// The folders to make below /tmp, outermost first, for the mount point of `inner`.
std::vector<std::string> mount_points(const std::string& inner) {
  std::vector<std::string> made;
  std::string at = kTemp;
  for (const fs::path& part : fs::path(walk::relative_to(kTemp, inner))) {
    at += "/" + part.string();
    made.push_back(at);
  }
  return made;
}

// --- between fork and exec: system calls only ---

int write_file(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int error = errno;
  ::close(fd);
  errno = error;
  return n == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

// "/proc/self/fd/{fd}" in `buffer`, which names what `fd` was opened on (no allocation).
const char* fd_path(int fd, char (&buffer)[32]) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + fd % 10);
    fd /= 10;
  } while (fd > 0 && count < 11);
  const char prefix[] = "/proc/self/fd/";
  std::size_t at = 0;
  for (; prefix[at] != '\0'; ++at) buffer[at] = prefix[at];
  while (count > 0) buffer[at++] = digits[--count];
  buffer[at] = '\0';
  return buffer;
}

// The planned place opened for a mount without following any link on the way: one that is there
// now was put there since the plan was made, and the start fails rather than cover what it leads
// to. -1 with errno set.
int open_unlinked(const char* path, bool folder) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC | (folder ? O_DIRECTORY : 0);
  how.resolve = RESOLVE_NO_SYMLINKS;
  return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

// Mounts over the planned place `target` through a descriptor opened as above; a place that is
// gone, or is no longer a socket where one was covered, is passed over.
int mount_over(const char* target, bool folder, const char* source, const char* type,
               unsigned long flags, const char* options) {
  // A place the child cannot even reach (inside another account's private folder) is out of
  // the command's reach too, which has fewer rights still.
  const int fd = open_unlinked(target, folder);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR || errno == EACCES ? 0 : -1;
  struct stat info {};
  if (!folder && (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode))) {
    ::close(fd);
    return 0;
  }
  char path[32];
  const int mounted = ::mount(source, fd_path(fd, path), type, flags, options);
  const int error = errno;
  ::close(fd);
  errno = error;
  return mounted;
}

bool passed_over(int error) {
  // Gone since it was planned: nothing is there to hide.
  return error == ENOENT || error == ENOTDIR;
}

int grant_own(int ruleset_fd, const char* folder, std::uint64_t rights) {
  const int fd = ::open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int granted = add_fence_rule(ruleset_fd, fd, rights);
  const int error = errno;
  ::close(fd);
  errno = error;
  return granted;
}

// What was taken before its place was covered, mounted at its own path again.
int put_back(const ViewMount& mount) {
  const long moved = ::syscall(SYS_move_mount, mount.taken, "", AT_FDCWD, mount.target.c_str(),
                               MOVE_MOUNT_F_EMPTY_PATH);
  const int error = errno;
  ::close(mount.taken);
  mount.taken = -1;
  errno = error;
  return moved == 0 ? 0 : -1;
}

int make_mount(const ViewMount& mount, int ruleset_fd, std::uint64_t rights) {
  const char* target = mount.target.c_str();
  switch (mount.kind) {
    case ViewMount::Kind::OwnTemp:
      return ::mount(mount.source.c_str(), target, nullptr, MS_BIND, nullptr);
    case ViewMount::Kind::KeepInside:
      for (const std::string& folder : mount.make) {
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return -1;
      }
      return put_back(mount);
    case ViewMount::Kind::Hide:
      return mount_over(target, true, "tmpfs", "tmpfs", kHideFlags, kHideOptions);
    case ViewMount::Kind::HideFile:
      return mount_over(target, false, "/dev/null", nullptr, MS_BIND, nullptr);
    case ViewMount::Kind::Own:
      // The rule of the folder beneath does not reach the new one: a hidden mount point is
      // passed over by Landlock.
      if (mount_over(target, true, "tmpfs", "tmpfs", kOwnFlags, mount.options.c_str()) != 0) {
        return -1;
      }
      if (grant_own(ruleset_fd, target, rights) == 0) return 0;
      return passed_over(errno) ? 0 : -1;  // gone since it was planned: nothing was mounted
    case ViewMount::Kind::Devices:
      // The run's own /dev: the devices taken along below, its terminals and shared memory, and
      // the usual links; none of the machine's disks, consoles or other devices.
      if (::mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NOEXEC, kDevicesOptions) != 0) return -1;
      if (::mkdir("/dev/pts", 0755) != 0 || ::mkdir("/dev/shm", 01777) != 0) return -1;
      if (::symlink("pts/ptmx", "/dev/ptmx") != 0 || ::symlink("/proc/self/fd", "/dev/fd") != 0 ||
          ::symlink("/proc/self/fd/0", "/dev/stdin") != 0 ||
          ::symlink("/proc/self/fd/1", "/dev/stdout") != 0 ||
          ::symlink("/proc/self/fd/2", "/dev/stderr") != 0) {
        return -1;
      }
      return 0;
    case ViewMount::Kind::Device: {
      const int made = ::open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (made < 0) return -1;
      ::close(made);
      return put_back(mount);
    }
    case ViewMount::Kind::Terminals:
      // Optional: where the kernel gives no instance of its own, the terminals stay as they are.
      // /dev/ptmx opens the instance mounted beside it, so it needs no mount of its own. Landlock
      // passes over the rule of a folder that a mount hides, so the instance gets its own.
      if (::mount("devpts", target, "devpts", MS_NOSUID | MS_NOEXEC,
                  "newinstance,ptmxmode=0666,mode=0620") != 0) {
        return 0;
      }
      return grant_own(ruleset_fd, target, rights);
  }
  return 0;
}

// Whether this system lets the agent make a view: a child tries the namespace and one mount.
ViewSupport probe_views() {
  const bool root = ::geteuid() == 0;
  const std::string uid_map =
      std::to_string(::geteuid()) + " " + std::to_string(::geteuid()) + " 1";
  const std::string gid_map =
      std::to_string(::getegid()) + " " + std::to_string(::getegid()) + " 1";
  for (const bool own_users : {true, false}) {
    if (!own_users && !root) break;
    const pid_t child = ::fork();
    if (child < 0) return ViewSupport::None;
    if (child == 0) {
      const int flags = own_users ? CLONE_NEWUSER | CLONE_NEWNS : CLONE_NEWNS;
      if (::unshare(flags) != 0) ::_exit(1);
      if (own_users && (write_file("/proc/self/setgroups", "deny") != 0 ||
                        write_file("/proc/self/uid_map", uid_map) != 0 ||
                        write_file("/proc/self/gid_map", gid_map) != 0)) {
        ::_exit(2);
      }
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(3);
      if (::mount("tmpfs", kTemp, "tmpfs", kHideFlags, kHideOptions) != 0) ::_exit(4);
      ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      return own_users ? ViewSupport::Full : ViewSupport::MountsOnly;
    }
  }
  return ViewSupport::None;
}

}  // namespace

ViewSupport run_view_support() {
  static const ViewSupport support = probe_views();
  return support;
}

bool view_keeps_real_temp(const std::vector<fs::path>& writable,
                          const std::vector<fs::path>& homes) {
  if (std::any_of(writable.begin(), writable.end(),
                  [](const fs::path& folder) { return folder == kTemp; })) {
    return true;
  }
  return std::any_of(homes.begin(), homes.end(), [](const fs::path& home) {
    const auto real = existing(home);
    return real && walk::inside_or_same(kTemp, *real);
  });
}

std::vector<ViewMount> plan_view_mounts(const GrantedFolder& run_folder,
                                        const std::vector<GrantedFolder>& writable,
                                        const std::vector<fs::path>& homes) {
  std::vector<fs::path> writable_paths;
  for (const GrantedFolder& folder : writable) writable_paths.emplace_back(folder.path);
  Planner plan(writable_paths, homes);
  // 1. /tmp: the run's folder, with the workspace folders below /tmp taken along. A workspace
  //    that is /tmp, or a home folder below it, keeps the real one, whose sockets are covered
  //    one by one (below, and by the machine's table of sockets).
  const auto below_temp = [](const std::string& path) { return walk::inside_or_same(kTemp, path); };
  const bool keeps_real_temp = view_keeps_real_temp(writable_paths, homes);
  if (!keeps_real_temp) {
    plan.mounts().push_back(ViewMount{ViewMount::Kind::OwnTemp, kTemp, run_folder.path});
    // The run's folder itself stays where TMPDIR names it too.
    std::vector<GrantedFolder> taken_along = writable;
    taken_along.push_back(run_folder);
    std::set<std::string> kept;
    for (const GrantedFolder& folder : taken_along) {
      if (!below_temp(folder.path)) continue;
      // A folder inside another one taken along comes with it (the copy takes what is mounted
      // below, and a mount point of its own could not be removed by the run).
      const bool within =
          std::any_of(taken_along.begin(), taken_along.end(), [&](const GrantedFolder& other) {
            return other.path != folder.path && walk::inside_or_same(other.path, folder.path);
          });
      if (within || !kept.insert(folder.path).second) continue;
      ViewMount mount{ViewMount::Kind::KeepInside, folder.path, {}, {}, mount_points(folder.path)};
      mount.device = folder.device;
      mount.inode = folder.inode;
      plan.mounts().push_back(std::move(mount));
    }
  } else {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(kTemp, error)) {
      const std::string name = entry.path().filename().string();
      for (const char* door : kTempDoors) {
        if (!fence_name_matches(door, name)) continue;
        plan.hide_folder(entry.path());
        plan.hide_file(entry.path());
      }
    }
  }
  // 2. The session's runtime folder, where most of its doors are.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) plan.own_folder(runtime, kRuntimeMode);
  plan.own_folder("/run/user/" + std::to_string(::getuid()), kRuntimeMode);
  // 3. The key agents, the buses and the container engines, wherever they were started.
  for (const fs::path& home : homes) plan.hide_folder(home / ".gnupg");
  if (const char* gnupg = std::getenv("GNUPGHOME"); gnupg != nullptr && gnupg[0] == '/') {
    plan.hide_folder(gnupg);
  }
  if (const char* ssh = std::getenv("SSH_AUTH_SOCK"); ssh != nullptr && ssh[0] == '/') {
    plan.hide_folder(fs::path(ssh).parent_path(), ssh);
  }
  if (const char* gpg = std::getenv("GPG_AGENT_INFO"); gpg != nullptr) {
    const std::string info = gpg;
    plan.hide_file(info.substr(0, info.find(':')));
  }
  for (const char* variable : {"DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"}) {
    for (const std::string& socket : bus_socket_paths(std::getenv(variable))) {
      plan.hide_file(socket);
    }
  }
  if (const char* docker = std::getenv("DOCKER_HOST");
      docker != nullptr && std::strncmp(docker, "unix://", 7) == 0) {
    plan.hide_file(docker + 7);
  }
  for (const fs::path& home : homes) plan.hide_file(home / ".docker/run/docker.sock");
  for (const char* socket : kSystemSockets) plan.hide_file(socket);
  plan.hide_folder(kScreenFolder);
  // The folders planned whole so far hide their sockets already, and so do the run's /tmp and
  // /dev below; a runtime folder left uncovered (it holds the workspace) has its own covered.
  std::vector<std::string> replaced = plan.covered_folders();
  replaced.emplace_back(kDeviceFolder);
  if (!keeps_real_temp) replaced.emplace_back(kTemp);
  plan.hide_listed_sockets(run_folder.path, replaced);
  // 4. What the run gets of its own: /dev with its terminals and shared memory, the X server's
  //    keymaps.
  plan.mounts().push_back(ViewMount{ViewMount::Kind::Devices, kDeviceFolder});
  for (const char* device : kRunDevices) {
    struct stat info {};
    if (::stat(device, &info) == 0 && S_ISCHR(info.st_mode)) {
      plan.mounts().push_back(ViewMount{ViewMount::Kind::Device, device});
    }
  }
  plan.mounts().push_back(ViewMount{ViewMount::Kind::Terminals, "/dev/pts"});
  plan.mounts().push_back(ViewMount{ViewMount::Kind::Own, "/dev/shm", {}, kSharedMemoryMode});
  plan.own_folder("/var/lib/xkb", kKeymapMode);
  return std::move(plan.mounts());
}

RunView plan_run_view(const GrantedFolder& run_folder, const std::vector<GrantedFolder>& writable,
                      const std::vector<fs::path>& homes, std::uint64_t rights,
                      std::uint64_t read_rights) {
  RunView view;
  view.own_users = run_view_support() == ViewSupport::Full;
  if (view.own_users) view.keeper = run_keeper();
  const std::string uid = std::to_string(::geteuid());
  const std::string gid = std::to_string(::getegid());
  // The user's own ids only: a map of more must be written from outside the namespace, by a
  // process that waits for the child, and the command has no capability to use more ids
  // anyway. Files of other accounts show the overflow id ("nobody"), and access to them is
  // judged as before.
  view.uid_map = uid + " " + uid + " 1";
  view.gid_map = gid + " " + gid + " 1";
  view.mounts = plan_view_mounts(run_folder, writable, homes);
  for (const char* name : kSessionVariables) view.unset.emplace_back(name);
  view.rights = rights;
  view.read_rights = read_rights;
  return view;
}

std::vector<std::string> open_doors() {
  std::vector<std::string> doors;
  if (landlock_abi() == 0) return doors;  // the fence itself is missing, which is said apart
  if (run_view_support() == ViewSupport::None) {
    doors.emplace_back(
        "this system lets the agent make no user namespace, so the session bus, the keyring, the "
        "key agents, the display, the container engines and the other terminals stay open to "
        "commands that run without asking (see the README's fence section for what allows it)");
  } else if (!runs_end_with_agent()) {
    doors.emplace_back(
        "this system lets the agent make no process namespace with a /proc of its own, so what a "
        "command that ran without asking leaves running outlives the agent when the agent is "
        "killed outright");
  }
  if (!fence_scopes_available()) {
    doors.emplace_back(
        "the kernel's Landlock has no scopes, so commands that run without asking can still "
        "signal the user's other programs and connect to abstract sockets, the display's among "
        "them");
  }
  return doors;
}

void mark_displays_in_use(const fs::path& run_folder) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(kTemp, error)) {
    const std::string name = entry.path().filename().string();
    if (!fence_name_matches(".X*-lock", name) || !entry.is_regular_file(error)) continue;
    // Anyone may put a file under such a name in /tmp, and swap it for a pipe (which would hold
    // the fence's preparation) or a link (whose target's first line the run would be given).
    const walk::FileBytes lock = walk::read_small_file(AT_FDCWD, entry.path().native(),
                                                       {kLockFileLimit, walk::AtBound::Cut});
    std::string pid = lock.ok() ? lock.bytes.substr(0, lock.bytes.find('\n')) : std::string();
    const fs::path copy = run_folder / name;
    const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
    if (fd < 0) continue;
    pid += "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, pid.data(), pid.size());
    ::close(fd);
  }
}

int write_own_id_maps(const std::string& uid_map, const std::string& gid_map) {
  if (write_file("/proc/self/setgroups", "deny") != 0) return -1;
  if (write_file("/proc/self/uid_map", uid_map) != 0) return -1;
  return write_file("/proc/self/gid_map", gid_map);
}

int enter_run_view(const RunView& view, int ruleset_fd) {
  // 1. The namespaces. With a keeper: its user namespace (where the agent's child may do
  //    everything), its PID namespace for the process started next, and a mount namespace owned
  //    by the keeper's user namespace, which the run's own user namespace made below it later
  //    cannot change. Without: the run's user namespace and ids, and a mount namespace.
  if (view.keeper) {
    if (::setns(view.keeper->user_namespace(), CLONE_NEWUSER) != 0) return -1;
    if (::setns(view.keeper->pid_namespace(), CLONE_NEWPID) != 0) return -1;
    if (::unshare(CLONE_NEWNS) != 0) return -1;
  } else {
    if (::unshare(view.own_users ? CLONE_NEWUSER | CLONE_NEWNS : CLONE_NEWNS) != 0) return -1;
    if (view.own_users && write_own_id_maps(view.uid_map, view.gid_map) != 0) return -1;
  }
  // 2. Nothing done here reaches the session's own mounts.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return -1;
  // 3. The workspace folders below /tmp and the devices are taken before /tmp and /dev are
  //    covered.
  //    Each is opened without following a link and, for a folder, must be the one the fence's
  //    rule was made on: a link swapped in since would be mounted inside the run's /tmp, and
  //    take the rights of the run's folder along.
  for (const ViewMount& mount : view.mounts) {
    view.failed_at = static_cast<int>(&mount - view.mounts.data());
    const bool folder = mount.kind == ViewMount::Kind::KeepInside;
    if (!folder && mount.kind != ViewMount::Kind::Device) continue;
    const int fd = open_unlinked(mount.target.c_str(), folder);
    if (fd < 0) return -1;
    struct stat info {};
    if (folder &&
        (::fstat(fd, &info) != 0 || info.st_dev != mount.device || info.st_ino != mount.inode)) {
      ::close(fd);
      errno = ESTALE;
      return -1;
    }
    mount.taken = static_cast<int>(::syscall(
        SYS_open_tree, fd, "", AT_EMPTY_PATH | OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE));
    ::close(fd);
    if (mount.taken < 0) return -1;
  }
  // 4. The mounts, in the planned order.
  for (const ViewMount& mount : view.mounts) {
    view.failed_at = static_cast<int>(&mount - view.mounts.data());
    if (make_mount(mount, ruleset_fd, view.rights) != 0) return -1;
  }
  view.failed_at = -1;
  return 0;
}

int finish_kept_view(const RunView& view, int ruleset_fd) {
  // 1. The PID namespace's own /proc, so that process ids and /proc agree inside the run and it
  //    lists fenced processes only. Landlock passes over the rule of the /proc it covers.
  if (::mount("proc", kProc, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) return -1;
  if (grant_own(ruleset_fd, kProc, view.read_rights) != 0) return -1;
  // 2. The run's own user namespace, which tells its processes from those of other runs for
  //    good, and its ids.
  if (::unshare(CLONE_NEWUSER) != 0) return -1;
  return write_own_id_maps(view.uid_map, view.gid_map);
}

}  // namespace kavor::exec
