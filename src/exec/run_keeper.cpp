#include "exec/run_keeper.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/nsfs.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "exec/fence.h"
#include "exec/namespace.h"

namespace kavor::exec {

namespace fs = std::filesystem;

namespace {

// What process lists show for the keeper (the kernel keeps 15 characters of it).
constexpr const char kKeeperName[] = "kavor-keeper";
// The keeper writes three small files and mounts two file systems before it answers; a keeper
// that has not answered after this is stuck, and none is used.
constexpr std::chrono::seconds kKeeperSetUp{10};
// The ninth field of a process's status line holds the kernel's flags; PF_EXITING says it is
// ending.
constexpr int kFlagsField = 9;
constexpr unsigned long kExiting = 0x4;
// How deep below a run's namespace the processes it made may have gone (the kernel allows 32).
constexpr int kNamespaceDepth = 33;
// Sweeps of /proc at the end where there is no keeper: a process that forked while one ran is
// found by the next.
constexpr int kLeftoverSweeps = 4;

// The keeper's answer once it is set up: the step that failed (0: none) and its error.
enum KeeperStep : int { kReady = 0, kIds = 1, kOwnProc = 2, kRoot = 3 };
struct KeeperAnswer {
  int step = kReady;
  int error = 0;
};

// --- the keeper's own process: system calls only (it is a copy of a process that may have
// other threads, one of which may hold the allocator's lock) ---

[[noreturn]] void keeper_fails(int answer_fd, KeeperStep step) {
  const KeeperAnswer answer{step, errno};
  [[maybe_unused]] const ssize_t n = ::write(answer_fd, &answer, sizeof answer);
  ::_exit(1);
}

// The keeper's root: an empty folder with only its namespace's /proc in it, so that it holds no
// mount of the machine's alive (a drive the user takes out must not stay busy for as long as the
// agent runs).
int keeper_root() {
  if (::unshare(CLONE_NEWNS) != 0) return -1;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return -1;
  if (::mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=4k,mode=0700") != 0)
    return -1;
  if (::mkdir("/tmp/proc", 0500) != 0) return -1;
  // Mounted while the machine's /proc is still in view: the kernel gives a namespace's /proc
  // only to a view that shows a whole one already.
  if (::mount("proc", "/tmp/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    return -1;
  }
  if (::chdir("/tmp") != 0) return -1;
  // The old root is stacked over the new one, then let go of.
  if (::syscall(SYS_pivot_root, ".", ".") != 0) return -1;
  if (::umount2(".", MNT_DETACH) != 0) return -1;
  return ::chdir("/");
}

// The keeper once its ids are written, whichever program it runs: its own root, its name, its
// answer, then the wait for the agent's end. The watch pipe is at 0, the answer pipe at 1.
[[noreturn]] void keep_from_here() {
  if (keeper_root() != 0) keeper_fails(STDOUT_FILENO, kOwnProc);
  ::prctl(PR_SET_NAME, kKeeperName, 0, 0, 0);
  const KeeperAnswer ready{};
  if (::write(STDOUT_FILENO, &ready, sizeof ready) != sizeof ready) ::_exit(1);
  ::close_range(STDOUT_FILENO, ~0U, 0);
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR)) ::_exit(0);
  }
}

// The keeper's first steps, in the copy of the agent the clone made. With `program` (a
// descriptor of the agent's own program) it then executes that anew, so that it keeps no copy of
// what the agent holds by now; otherwise, or when that fails, it goes on as the copy.
[[noreturn]] void keep(int watch_fd, int answer_fd, int program, const std::string& uid_map,
                       const std::string& gid_map) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &action, nullptr);
  }
  // What the keeper adopts is collected as soon as it ends (the setting survives an exec).
  action.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &action, nullptr);
  // Out of the agent's terminal session: a key pressed there ends the agent, which ends this.
  ::setsid();
  if (write_own_id_maps(uid_map, gid_map) != 0) keeper_fails(answer_fd, kIds);
  if (::dup2(watch_fd, STDIN_FILENO) < 0 || ::dup2(answer_fd, STDOUT_FILENO) < 0) {
    keeper_fails(answer_fd, kRoot);
  }
  if (program >= 0) {
    // Every other descriptor closes on the exec, the program's own included.
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    char* const argv[] = {const_cast<char*>(kKeeperName), const_cast<char*>(kKeeperArgument),
                          nullptr};
    char* const envp[] = {nullptr};
    ::syscall(SYS_execveat, program, "", argv, envp, AT_EMPTY_PATH);
  }
  keep_from_here();
}

// --- the agent's side ---

struct Starting {
  pid_t pid = 0;
  int process_fd = -1;
  int watch_fd = -1;
  int answer_fd = -1;
};

struct KeeperState {
  std::mutex mutex;
  std::optional<Starting> starting;
  std::shared_ptr<const RunKeeper> keeper;
  std::vector<pid_t> ended;  // keepers that were let go of, still to be collected
  bool refused = false;      // the system allows none: not tried again
  bool made_one = false;     // the first keeper is a copy of the agent as it starts
  int program = -1;          // the agent's own program, for the keepers made later
};
// Never destroyed: the exit hooks that read it run after static destructors may have.
KeeperState& keeper_state() {
  static auto* state = new KeeperState;
  return *state;
}

bool process_ended(pid_t pid) {
  siginfo_t info{};
  int result;
  do {
    result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (result < 0 && errno == EINTR);
  return result < 0 || info.si_pid == pid;
}

void collect_ended(KeeperState& state) {
  std::erase_if(state.ended, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

// Closes a descriptor this file holds, once.
void let_go(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A process descriptor of `pid`, or -1 where the system has none.
int open_process(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// SIGKILL through the process descriptor `fd`, or by id where there is none (`pid` is then a
// child not collected yet, whose id nobody else can have).
void kill_process(int fd, pid_t pid) {
  if (fd >= 0) {
    ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
  } else {
    ::kill(pid, SIGKILL);
  }
}

// Starts a keeper (the lock held); its answer is read when a run first needs it.
void begin_keeper(KeeperState& state) {
  if (state.refused || state.starting || (state.keeper && state.keeper->alive())) return;
  if (landlock_abi() == 0) {
    state.refused = true;  // nothing runs fenced here
    return;
  }
  const std::string uid = std::to_string(::geteuid());
  const std::string gid = std::to_string(::getegid());
  const std::string uid_map = uid + " " + uid + " 1";
  const std::string gid_map = gid + " " + gid + " 1";
  int watch[2] = {-1, -1};
  int answer[2] = {-1, -1};
  if (::pipe2(watch, O_CLOEXEC) != 0) return;
  if (::pipe2(answer, O_CLOEXEC) != 0) {
    let_go(watch[0]);
    let_go(watch[1]);
    return;
  }
  // The first process of a new PID namespace, in a new user namespace: a clone of this one, as
  // fork would make it, with no copy of the others' threads.
  const long pid =
      ::syscall(SYS_clone, CLONE_NEWUSER | CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, 0);
  if (pid == 0) {
    keep(watch[0], answer[1], state.made_one ? state.program : -1, uid_map, gid_map);
  }
  const int error = errno;
  let_go(watch[0]);
  let_go(answer[1]);
  if (pid < 0) {
    let_go(watch[1]);
    let_go(answer[0]);
    // Refused for good where the system forbids user namespaces; a lack of memory or of
    // processes is tried again by a later run.
    if (error == EPERM || error == EINVAL || error == EACCES) state.refused = true;
    return;
  }
  state.made_one = true;
  state.starting =
      Starting{static_cast<pid_t>(pid), open_process(static_cast<pid_t>(pid)), watch[1], answer[0]};
}

// The /proc of the keeper's namespace, as the agent reaches it.
std::string keeper_proc(pid_t pid) {
  return "/proc/" + std::to_string(pid) + "/root/proc";
}

// Lets go of a keeper that ended or is ending (the lock held); it is collected later.
void let_go_of_keeper(KeeperState& state) {
  state.ended.push_back(state.keeper->pid());
  state.keeper.reset();
}

// The answer of the keeper being started (the lock held): a live keeper, or none.
void finish_keeper(KeeperState& state) {
  Starting starting = *state.starting;
  state.starting.reset();
  KeeperAnswer answer{kRoot, ETIMEDOUT};
  pollfd ready{starting.answer_fd, POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kKeeperSetUp).count()));
  } while (polled < 0 && errno == EINTR);
  const ssize_t got = polled > 0 ? ::read(starting.answer_fd, &answer, sizeof answer) : 0;
  let_go(starting.answer_fd);
  const std::string proc = "/proc/" + std::to_string(starting.pid) + "/ns/";
  const int user_ns = ::open((proc + "user").c_str(), O_RDONLY | O_CLOEXEC);
  const int pid_ns = ::open((proc + "pid").c_str(), O_RDONLY | O_CLOEXEC);
  const bool answered = got == static_cast<ssize_t>(sizeof answer);
  // A keeper that answered and ended since (someone killed it) is no keeper.
  if (answered && answer.step == kReady && user_ns >= 0 && pid_ns >= 0 &&
      !process_ended(starting.pid)) {
    state.keeper = std::make_shared<const RunKeeper>(starting.pid, starting.process_fd, user_ns,
                                                     pid_ns, starting.watch_fd);
    return;
  }
  for (int fd : {user_ns, pid_ns}) {
    if (fd >= 0) ::close(fd);
  }
  kill_process(starting.process_fd, starting.pid);
  let_go(starting.process_fd);
  let_go(starting.watch_fd);
  ::waitpid(starting.pid, nullptr, 0);
  // The system lets this user make the namespaces but not their ids or a /proc of their own:
  // runs keep the agent's PID namespace from now on. A keeper that ended or did not answer is
  // tried again by the next run.
  state.refused = answered && (answer.step == kIds || answer.step == kOwnProc) &&
                  (answer.error == EPERM || answer.error == EACCES || answer.error == EINVAL);
}

// --- the runs' user namespaces ---

// The user namespaces of the fenced runs of this program, by inode (all live on one file
// system), each with a descriptor held. Never destroyed, as the keeper's state.
std::mutex& run_namespaces_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::map<ino_t, int>& run_namespaces() {
  static auto* namespaces = new std::map<ino_t, int>;
  return *namespaces;
}

// The run of `runs` whose namespace is that of `fd` or lies above it; 0 for none.
ino_t run_of_namespace(int fd, const std::set<ino_t>& runs) {
  int current = fd;
  ino_t found = 0;
  for (int depth = 0; depth < kNamespaceDepth && found == 0; ++depth) {
    struct stat info {};
    if (::fstat(current, &info) != 0) break;
    if (runs.count(info.st_ino) > 0) found = info.st_ino;
    const int parent = ::ioctl(current, NS_GET_PARENT);
    if (current != fd) ::close(current);
    if (parent < 0) return found;
    current = parent;
  }
  if (current != fd) ::close(current);
  return found;
}

// Whether a status line says its thread runs (an ended one not yet collected keeps its
// namespace's name but runs nothing).
bool thread_runs(const fs::path& stat_file) {
  std::ifstream stat(stat_file);
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// Whether the process `name` of the /proc at `proc` runs: any of its threads does (its first
// thread may have ended while the others go on).
bool runs(const fs::path& proc, const std::string& name) {
  if (thread_runs(proc / name / "stat")) return true;
  std::error_code error;
  for (const auto& task : fs::directory_iterator(proc / name / "task", error)) {
    if (thread_runs(task.path() / "stat")) return true;
  }
  return false;
}

// Goes over every running process of the /proc at `proc` whose user namespace is one of `runs`
// or lies below one; `act` gets the run and, with `hold` (the machine's /proc), a descriptor of
// the process opened before its namespace was looked at, so that an id another process took
// over meanwhile is never acted on (-1 without `hold`).
template <typename Act>
void for_each_in_runs(const fs::path& proc, const std::set<ino_t>& runs_of, bool hold, Act act) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(proc, error)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const int process =
        hold ? static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(std::stol(name)), 0))
             : -1;
    if (hold && process < 0) continue;
    const int ns =
        runs(proc, name) ? ::open((proc / name / "ns" / "user").c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (ns >= 0) {
      if (const ino_t run = run_of_namespace(ns, runs_of); run != 0) act(run, process);
      ::close(ns);
    }
    if (process >= 0) ::close(process);
  }
}

// Which of `runs` still have a process: looked up in the keeper's /proc, which lists fenced
// processes only, or where there is no keeper in the machine's.
std::set<ino_t> living_runs(const std::set<ino_t>& runs_of) {
  std::set<ino_t> living;
  if (runs_of.empty()) return living;
  const std::shared_ptr<const RunKeeper> keeper = [] {
    KeeperState& state = keeper_state();
    std::lock_guard lock(state.mutex);
    return state.keeper;
  }();
  const fs::path proc = keeper && keeper->alive() ? keeper_proc(keeper->pid()) : "/proc";
  for_each_in_runs(proc, runs_of, false, [&living](ino_t run, int) { living.insert(run); });
  return living;
}

// A run whose temporary folder waits until what it left running has ended.
struct Lingering {
  std::shared_ptr<RunFence> fence;
  ino_t run = 0;
};
// Never destroyed, as the namespaces it goes with: a run's end released on a pool may reach it
// while the program exits, and the folders it holds are the exit hook's to remove (within its
// budget), not a static destructor's.
std::vector<Lingering>& lingering() {
  static auto* runs = new std::vector<Lingering>;
  return *runs;
}

void forget_namespace(ino_t run) {
  if (run == 0) return;
  std::lock_guard lock(run_namespaces_mutex());
  const auto held = run_namespaces().find(run);
  if (held == run_namespaces().end()) return;
  ::close(held->second);
  run_namespaces().erase(held);
}

}  // namespace

RunKeeper::RunKeeper(pid_t pid, int process_fd, int user_ns, int pid_ns, int watch_fd)
    : pid_(pid), process_fd_(process_fd), user_ns_(user_ns), pid_ns_(pid_ns), watch_fd_(watch_fd) {}

RunKeeper::~RunKeeper() {
  for (int* fd : {&process_fd_, &user_ns_, &pid_ns_, &watch_fd_}) let_go(*fd);
}

bool RunKeeper::alive() const {
  return !process_ended(pid_);
}

void RunKeeper::end() const {
  kill_process(process_fd_, pid_);
}

bool RunKeeper::ending() const {
  if (!alive()) return true;
  // The kernel's flags of the process (the ninth field of its status line): it is on its way out
  // once PF_EXITING is set, and waits there until the agent has collected its namespace's
  // processes.
  std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return true;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  for (int at = 3; at <= kFlagsField && fields >> field;) ++at;
  unsigned long flags = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), flags);
  return error != std::errc{} || (flags & kExiting) != 0;
}

void start_run_keeper(bool reexec) {
  KeeperState& state = keeper_state();
  std::lock_guard lock(state.mutex);
  if (reexec && state.program < 0) {
    state.program = ::open("/proc/self/exe", O_PATH | O_CLOEXEC);
  }
  begin_keeper(state);
}

int keep_fenced_runs() {
  keep_from_here();
}

std::shared_ptr<const RunKeeper> run_keeper() {
  KeeperState& state = keeper_state();
  std::lock_guard lock(state.mutex);
  collect_ended(state);
  if (state.keeper && state.keeper->alive()) return state.keeper;
  if (state.keeper) {
    // Ended (someone killed it, and with it the runs of its namespace): another is made.
    let_go_of_keeper(state);
    collect_ended(state);
  }
  if (!state.starting) begin_keeper(state);
  if (state.starting) finish_keeper(state);
  return state.keeper;
}

bool runs_end_with_agent() {
  return run_keeper() != nullptr;
}

void forget_run_keeper(const RunKeeper& keeper) {
  KeeperState& state = keeper_state();
  std::lock_guard lock(state.mutex);
  if (state.keeper.get() != &keeper) return;
  keeper.end();
  let_go_of_keeper(state);
}

ino_t remember_run_namespace(pid_t pid) {
  const int fd =
      ::open(("/proc/" + std::to_string(pid) + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  struct stat own {};
  if (fd < 0 || ::fstat(fd, &info) != 0 ||
      (::stat("/proc/self/ns/user", &own) == 0 && own.st_ino == info.st_ino)) {
    if (fd >= 0) ::close(fd);
    return 0;
  }
  std::lock_guard lock(run_namespaces_mutex());
  if (!run_namespaces().emplace(info.st_ino, fd).second) ::close(fd);
  return info.st_ino;
}

void release_run(std::shared_ptr<RunFence> fence, ino_t run_namespace) {
  std::set<ino_t> waiting;
  {
    std::lock_guard lock(run_namespaces_mutex());
    lingering().push_back(Lingering{std::move(fence), run_namespace});
    for (const Lingering& run : lingering()) {
      if (run.run != 0) waiting.insert(run.run);
    }
  }
  const std::set<ino_t> living = living_runs(waiting);
  std::vector<Lingering> done;
  {
    std::lock_guard lock(run_namespaces_mutex());
    // Only what was looked at: a run that ended meanwhile is looked at by its own end.
    std::erase_if(lingering(), [&](Lingering& run) {
      if (run.run != 0 && (waiting.count(run.run) == 0 || living.count(run.run) > 0)) return false;
      done.push_back(std::move(run));
      return true;
    });
  }
  // The folders go here, outside the lock: one may hold many files.
  for (Lingering& run : done) {
    run.fence.reset();
    forget_namespace(run.run);
  }
}

void end_fenced_runs() {
  {
    KeeperState& state = keeper_state();
    std::lock_guard lock(state.mutex);
    if (state.keeper && state.keeper->alive()) {
      // The kernel kills everything in its namespace as it ends. It is not waited for: its end
      // waits in turn until the agent has collected the runs it started there.
      state.keeper->end();
      return;
    }
  }
  std::set<ino_t> runs_of;
  {
    std::lock_guard lock(run_namespaces_mutex());
    for (const auto& [run, fd] : run_namespaces()) runs_of.insert(run);
  }
  for (int sweep = 0; sweep < kLeftoverSweeps && !runs_of.empty(); ++sweep) {
    int found = 0;
    for_each_in_runs("/proc", runs_of, true, [&found](ino_t, int process) {
      ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
      ++found;
    });
    if (found == 0) return;
  }
}

}  // namespace kavor::exec
