#include "exec/process_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "exec/spawn.h"
#include "walk/path_form.h"
#include "walk/small_file.h"

namespace kavor::exec {

namespace {

// Longest environment read while looking for the marker; the kernel caps environments well
// below this.
constexpr std::size_t kEnvironLimit = 16 * 1024 * 1024;
// A process's stat line: a few hundred bytes, its name in it at most 16.
constexpr std::size_t kStatLimit = 4096;
// The cgroups a process is in: a line per hierarchy.
constexpr std::size_t kCgroupListLimit = 64 * 1024;
// The mount table: a line of about a hundred bytes per mount.
constexpr std::size_t kMountTableLimit = 1024 * 1024;
// A cgroup's member ids: a few bytes each, for many thousands of processes.
constexpr std::size_t kMembersLimit = 1024 * 1024;
// Process descriptors kept open while a tree is stopped; beyond this many (a fork bomb) members
// are signalled by id after checking their start time, so the agent's other work never runs
// out of descriptors.
constexpr std::size_t kMaxHeldDescriptors = 256;
// A killed process ends within milliseconds; one that takes longer is stuck in the kernel, and
// is not waited for any longer.
constexpr std::chrono::seconds kDeathWait{1};
// Prefix of the cgroups the agent makes, followed by its process id and a counter.
constexpr std::string_view kCgroupPrefix = "kavor-run-";

// The first `limit` bytes of a file of the kernel's (/proc, the cgroup file system); empty when
// it cannot be read, which every caller takes as "nothing there". Links are followed: the
// kernel's own /proc/self is one.
std::string read_kernel_file(const std::string& path, std::size_t limit) {
  return walk::read_small_file(AT_FDCWD, path,
                               {limit, walk::AtBound::Cut, walk::Links::Follow, true})
      .bytes;
}

bool write_small(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// ---- cgroups ----

// The folder of the agent's own cgroup in the unified hierarchy, when it is mounted.
std::optional<std::string> own_cgroup_folder() {
  const std::string membership = read_kernel_file("/proc/self/cgroup", kCgroupListLimit);
  const std::string mounts = read_kernel_file("/proc/self/mountinfo", kMountTableLimit);
  std::optional<std::string> relative;
  std::size_t start = 0;
  while (start < membership.size()) {
    std::size_t end = membership.find('\n', start);
    if (end == std::string::npos) end = membership.size();
    const std::string_view line(membership.data() + start, end - start);
    if (line.substr(0, 3) == "0::") relative = std::string(line.substr(3));
    start = end + 1;
  }
  if (!relative) return std::nullopt;
  start = 0;
  while (start < mounts.size()) {
    std::size_t end = mounts.find('\n', start);
    if (end == std::string::npos) end = mounts.size();
    const std::string line = mounts.substr(start, end - start);
    start = end + 1;
    // "id parent major:minor root mount-point options ... - type source options"
    const auto dash = line.find(" - ");
    if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
    char root[4096];
    char point[4096];
    if (std::sscanf(line.c_str(), "%*s %*s %*s %4095s %4095s", root, point) != 2) continue;
    std::string inside = *relative;
    const std::string root_text = root;
    if (root_text != "/" && walk::inside_or_same(root_text, inside)) {
      inside.erase(0, root_text.size());
    }
    std::string folder = point;
    if (inside != "/") folder += inside;
    struct stat info {};
    if (::stat((folder + "/cgroup.procs").c_str(), &info) == 0) return folder;
  }
  return std::nullopt;
}

const std::optional<std::string>& cgroup_parent() {
  static const std::optional<std::string> folder = own_cgroup_folder();
  return folder;
}

std::mutex leftovers_mutex;
std::vector<std::string> leftover_cgroups;  // not yet empty when their run ended

void remove_leftovers_locked() {
  std::erase_if(leftover_cgroups, [](const std::string& dir) {
    return ::rmdir(dir.c_str()) == 0 || errno == ENOENT;
  });
}

// Removes the empty cgroups of agents that are gone (a crash leaves them behind).
void remove_stale_cgroups(const std::string& parent) {
  DIR* dir = ::opendir(parent.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.substr(0, kCgroupPrefix.size()) != kCgroupPrefix) continue;
    const long owner = std::strtol(entry->d_name + kCgroupPrefix.size(), nullptr, 10);
    if (owner > 0 && ::kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
      ::rmdir((parent + "/" + std::string(name)).c_str());
    }
  }
  ::closedir(dir);
}

// ---- /proc ----

struct ProcEntry {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t pgid = 0;
  pid_t sid = 0;
  unsigned long long start = 0;  // start time: with the id, names one process for good
  char state = '?';
};

std::optional<ProcEntry> read_stat(pid_t pid) {
  const std::string text = read_kernel_file("/proc/" + std::to_string(pid) + "/stat", kStatLimit);
  // The command name in parentheses may hold anything, so fields are read after its end.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  ProcEntry entry;
  entry.pid = pid;
  int ppid = 0;
  int pgid = 0;
  int sid = 0;
  if (std::sscanf(text.c_str() + close + 1,
                  " %c %d %d %d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                  &entry.state, &ppid, &pgid, &sid, &entry.start) != 5) {
    return std::nullopt;
  }
  entry.ppid = ppid;
  entry.pgid = pgid;
  entry.sid = sid;
  return entry;
}

std::vector<ProcEntry> all_processes() {
  std::vector<ProcEntry> out;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return out;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (auto stat = read_stat(static_cast<pid_t>(pid))) out.push_back(*stat);
  }
  ::closedir(dir);
  return out;
}

bool has_marker(pid_t pid, const std::string& needle) {
  const std::string environ =
      read_kernel_file("/proc/" + std::to_string(pid) + "/environ", kEnvironLimit);
  if (environ.empty()) return false;
  // Entries are separated by NUL bytes; a leading one lets the first entry match too.
  std::string padded(1, '\0');
  padded += environ;
  padded.push_back('\0');
  return padded.find(needle) != std::string::npos;
}

// Signals the process named by `entry` if it is still that process.
bool signal_exact(const ProcEntry& entry, int fd, int sig) {
  if (fd >= 0) return ::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0;
  const auto now = read_stat(entry.pid);
  return now && now->start == entry.start && ::kill(entry.pid, sig) == 0;
}

std::mutex live_mutex;
std::set<ProcessTree*> live_trees;

std::string new_token() {
  static std::atomic<std::uint64_t> counter{0};
  std::random_device random;
  char text[64];
  std::snprintf(text, sizeof text, "%d-%llu-%08x%08x", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(++counter), random(), random());
  return text;
}

}  // namespace

bool cgroups_available() {
  return cgroup_parent().has_value() && ::access(cgroup_parent()->c_str(), W_OK) == 0;
}

ProcessTree::ProcessTree(bool use_cgroup) {
  const std::string token = new_token();
  marker_ = std::string(kRunMarkerName) + "=" + token;
  if (use_cgroup && cgroup_parent()) {
    static std::once_flag tidy;
    std::call_once(tidy, [] { remove_stale_cgroups(*cgroup_parent()); });
    {
      std::lock_guard lock(leftovers_mutex);
      remove_leftovers_locked();
    }
    const std::string dir = *cgroup_parent() + "/" + std::string(kCgroupPrefix) + token;
    if (::mkdir(dir.c_str(), 0755) == 0) {
      cgroup_ = dir;
      cgroup_procs_ = dir + "/cgroup.procs";
    }
  }
  std::lock_guard lock(live_mutex);
  live_trees.insert(this);
}

ProcessTree::~ProcessTree() {
  {
    std::lock_guard lock(live_mutex);
    live_trees.erase(this);
  }
  if (cgroup_.empty()) return;
  if (::rmdir(cgroup_.c_str()) == 0) return;
  std::lock_guard lock(leftovers_mutex);
  leftover_cgroups.push_back(cgroup_);
}

void ProcessTree::set_leader(pid_t pid) {
  leader_ = pid;
  if (const auto stat = read_stat(pid)) leader_start_ = stat->start;
}

void ProcessTree::kill_all() {
  std::lock_guard lock(killing_);
  // 1. The cgroup, at once and whole: the kernel kills every member, and a process forked
  //    while it does so is born into the cgroup and killed too.
  if (!cgroup_.empty() && !write_small(cgroup_ + "/cgroup.kill", "1")) {
    // Kernels before 5.14 have no cgroup.kill: kill the members one by one.
    const std::string procs = read_kernel_file(cgroup_procs_, kMembersLimit);
    for (const char* p = procs.c_str(); *p != '\0';) {
      char* end = nullptr;
      const long pid = std::strtol(p, &end, 10);
      if (end == p) break;
      if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
      p = end;
    }
  }
  // 2. The session's main process group, stopped: from here on it forks no more, and its
  //    members keep their places in the tree for the sweep.
  if (leader_ > 0) ::kill(-leader_, SIGSTOP);

  // 3. Sweeps of /proc. A member is in the run's session or process group, carries the
  //    run's marker, or descends from a member. Each is stopped as soon as it is found, so a
  //    sweep that finds nothing new has found everything.
  const std::string needle = std::string(1, '\0') + marker_ + '\0';
  const pid_t self = ::getpid();
  const auto in_session = [this](const ProcEntry& p) {
    return leader_ > 0 && (p.sid == leader_ || p.pgid == leader_);
  };
  std::map<pid_t, std::pair<ProcEntry, int>> held;  // stopped members and their pidfds
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    const std::vector<ProcEntry> procs = all_processes();
    std::unordered_map<pid_t, std::vector<const ProcEntry*>> children;
    for (const ProcEntry& p : procs) children[p.ppid].push_back(&p);
    std::vector<const ProcEntry*> found;
    std::unordered_set<pid_t> found_ids;
    const auto add = [&](const ProcEntry& p) {
      const bool ended = p.state == 'Z' || p.state == 'X';
      if (p.pid != self && !ended && found_ids.insert(p.pid).second) found.push_back(&p);
    };
    for (const ProcEntry& p : procs) {
      // Older than the run: not one of its processes, and its environment need not be read.
      if (p.start < leader_start_) continue;
      const auto known = held.find(p.pid);
      const bool same = known != held.end() && known->second.first.start == p.start;
      if (same || in_session(p) || has_marker(p.pid, needle)) add(p);
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
      for (const ProcEntry* child : children[found[i]->pid]) add(*child);
    }
    bool new_members = false;
    for (const ProcEntry* p : found) {
      const auto known = held.find(p->pid);
      if (known != held.end() && known->second.first.start == p->start) continue;
      if (known != held.end()) {
        if (known->second.second >= 0) ::close(known->second.second);
        held.erase(known);
      }
      // The id may have been reused since the listing: the descriptor names whichever
      // process has it now, and the start time shows whether that is still the one found.
      int fd = open_process_fd(p->pid);
      const auto now = read_stat(p->pid);
      if (!now || now->start != p->start) {
        if (fd >= 0) ::close(fd);
        continue;
      }
      signal_exact(*p, fd, SIGSTOP);
      if (fd >= 0 && held.size() >= kMaxHeldDescriptors) {
        ::close(fd);
        fd = -1;
      }
      held.emplace(p->pid, std::make_pair(*p, fd));
      new_members = true;
    }
    if (!new_members) break;
  }

  // 4. Everything found, and the group once more, with SIGKILL: no handler, no ignoring.
  std::vector<pollfd> dying;
  for (auto& [pid, member] : held) {
    signal_exact(member.first, member.second, SIGKILL);
    if (member.second >= 0) dying.push_back({member.second, POLLIN, 0});
  }
  if (leader_ > 0) ::kill(-leader_, SIGKILL);
  if (!cgroup_.empty()) write_small(cgroup_ + "/cgroup.kill", "1");

  // 5. Until they have ended: whoever looks next (the end of the run, which keeps its folder
  //    for what still runs) finds none of them.
  const auto give_up = std::chrono::steady_clock::now() + kDeathWait;
  while (!dying.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (::poll(dying.data(), dying.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
      break;
    }
    std::erase_if(dying, [](const pollfd& member) {
      if (member.revents == 0) return false;
      ::close(member.fd);
      return true;
    });
  }
  for (const pollfd& member : dying) ::close(member.fd);
}

void kill_live_trees() {
  std::lock_guard lock(live_mutex);
  for (ProcessTree* tree : live_trees) tree->kill_all();
  std::lock_guard tidy(leftovers_mutex);
  remove_leftovers_locked();
}

}  // namespace kavor::exec
