#include "exec/spawn.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include "exec/fence_rules.h"
#include "exec/run_keeper.h"
#include "platform/text.h"

extern char** environ;

namespace kavor::exec {

namespace {

// PATH when the agent has none, as the C library's exec functions assume.
constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
// What the child reports when it cannot go on: the step, the error number, and for the view the
// mount that failed. A run started in the keeper's namespace also reports the id of its command's
// process (kStepStarted, then the id).
enum ChildStep : int {
  kStepFolder = 1,
  kStepExec = 2,
  kStepFence = 3,
  kStepView = 4,
  kStepKeeper = 5,
  kStepStarted = 6
};
// The child, and the command's process in the keeper's namespace, each run on a stack of their
// own until they exec, a few frames deep (more with the sanitizers' guard zones); only what they
// touch is ever made.
constexpr std::size_t kChildStack = 256 * 1024;

// The child shares the agent's memory until it execs (CLONE_VM, as vfork), which spares copying
// the agent's page tables and then copying each page the child touches: most of a start's cost
// for a large program. The thread that starts it waits meanwhile; the others run on, so the child
// touches nothing but its stack and what was prepared for it. The sanitizers keep state of their
// own for each thread in the memory the child would share, so their builds copy it as fork does.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kShareMemory = false;
#else
constexpr bool kShareMemory = true;
#endif

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// `fd` moved to `lowest` or above, close-on-exec. Below that lie the descriptors the child
// fills in (0 to 2, and 3 onwards for those it is handed): when the agent was started with
// standard descriptors closed, a new pipe could land on 0, 1 or 2, and moving one descriptor
// into place in the child would then overwrite another that is still to be moved.
int above(int fd, int lowest) {
  if (fd < 0 || fd >= lowest) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, lowest);
  ::close(fd);
  return moved;
}

bool make_pipe(int fds[2], int lowest) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  fds[0] = above(fds[0], lowest);
  fds[1] = above(fds[1], lowest);
  return fds[0] >= 0 && fds[1] >= 0;
}

// A command's output pipe holds this much: a program that writes fast then fills it in large
// strides, and the agent reads it in large ones, where the default of 64 KiB makes both sides
// take turns every few hundred microseconds. The kernel lets an ordinary user's pipes hold 64 MiB
// in all before it gives new ones a single page: forty commands at once stay well below that.
constexpr int kOutputPipeBytes = 1 << 20;

// The output pipe `fds`, widened where the system allows (it keeps the default otherwise).
bool make_output_pipe(int fds[2], int lowest) {
  if (!make_pipe(fds, lowest)) return false;
  ::fcntl(fds[0], F_SETPIPE_SZ, kOutputPipeBytes);
  return true;
}

// A copy of a caller's descriptor at `lowest` or above, close-on-exec (the caller keeps its own).
int copy_above(int fd, int lowest) {
  return ::fcntl(fd, F_DUPFD_CLOEXEC, lowest);
}

// Everything the child needs, prepared before the fork.
struct ChildPlan {
  std::string path;
  std::vector<std::string> arg_text;
  std::vector<std::string> env_text;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::string folder;
  std::string cgroup_procs;
  pid_t parent = 0;
  int stdin_fd = -1;
  int out_fd = -1;
  int err_fd = -1;
  int report_fd = -1;
  std::vector<int> handed;  // to be placed at 3, 4, ...
  bool reaper = true;
  int fence_fd = -1;
  const RunView* view = nullptr;
  char* kept_stack = nullptr;  // the top of the stack of the process started in the keeper's
                               // namespace
};

// Whether the environment entry `entry` sets one of the names of `set` ("NAME=value" each).
bool env_entry_replaced(const char* entry, const std::vector<std::string>& set) {
  for (const std::string& given : set) {
    const std::size_t name = given.find('=') + 1;
    if (name > 1 && std::strncmp(entry, given.c_str(), name) == 0) return true;
  }
  return false;
}

// Whether the environment entry `entry` is one of the variables `names`.
bool env_entry_named(const char* entry, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=') {
      return true;
    }
  }
  return false;
}

ChildPlan plan_child(const SpawnRequest& request, std::string path) {
  ChildPlan plan;
  plan.path = std::move(path);
  plan.arg_text.push_back(request.process.program);
  for (const std::string& arg : request.process.args) plan.arg_text.push_back(arg);
  // The marker replaces one inherited from an outer run (the agent started by a command).
  const std::string marker_name = request.marker.substr(0, request.marker.find('=') + 1);
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (marker_name.size() > 1 &&
        std::strncmp(*entry, marker_name.c_str(), marker_name.size()) == 0)
      continue;
    if (env_entry_replaced(*entry, request.env)) continue;
    if (env_entry_named(*entry, request.unset)) continue;
    plan.env_text.emplace_back(*entry);
  }
  if (!request.marker.empty()) plan.env_text.push_back(request.marker);
  for (const std::string& entry : request.env) plan.env_text.push_back(entry);
  for (std::string& s : plan.arg_text) plan.argv.push_back(s.data());
  plan.argv.push_back(nullptr);
  for (std::string& s : plan.env_text) plan.envp.push_back(s.data());
  plan.envp.push_back(nullptr);
  plan.folder = request.folder.string();
  plan.cgroup_procs = request.cgroup_procs;
  plan.reaper = request.reaper;
  plan.view = request.view;
  plan.parent = ::getpid();
  return plan;
}

// The process started in the keeper's namespace runs these on a stack the address sanitizer
// does not know, and never returns from them: left to it, the sanitizer would warn of that into
// the command's own output at every start.
#define KAVOR_OWN_STACK __attribute__((no_sanitize("address")))

KAVOR_OWN_STACK [[noreturn]] void child_fail(int report_fd, int step, int where = -1) {
  const int message[3] = {step, errno, where};
  [[maybe_unused]] const ssize_t n = ::write(report_fd, message, sizeof message);
  ::_exit(127);
}

// The end of every start: the fence, the working folder, the program. System calls only.
KAVOR_OWN_STACK [[noreturn]] void fence_and_exec(const ChildPlan& plan) {
  if (plan.fence_fd >= 0) {
    if (enter_fence(plan.fence_fd) != 0) child_fail(plan.report_fd, kStepFence);
    ::close(plan.fence_fd);
  }
  if (::chdir(plan.folder.c_str()) != 0) child_fail(plan.report_fd, kStepFolder);
  ::execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
  child_fail(plan.report_fd, kStepExec);
}

// The command's process in the keeper's PID namespace (run_keeper.h), started by the run's child
// as a process of the agent's; it shares the child's memory until it execs.
KAVOR_OWN_STACK int start_kept(void* arg) {
  const ChildPlan& plan = *static_cast<const ChildPlan*>(arg);
  ::setsid();
  // Should the agent die before this line, the keeper ends with it, and this process with the
  // keeper's namespace.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (plan.reaper) ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (finish_kept_view(*plan.view, plan.fence_fd) != 0) child_fail(plan.report_fd, kStepView);
  fence_and_exec(plan);
}

// Runs in the child between fork and exec: system calls only.
[[noreturn]] void run_child(const ChildPlan& plan) {
  // Every handler back to its default before any signal is let in: a handler of the agent's must
  // never run here, where it would act on the agent's own memory.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &default_action, nullptr);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::setsid();
  if (!plan.cgroup_procs.empty()) {
    const int fd = ::open(plan.cgroup_procs.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(fd, "0", 1);
      ::close(fd);
    }
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != plan.parent) ::_exit(127);  // the agent died before the line above
  const bool kept = plan.view != nullptr && plan.view->keeper;
  if (plan.reaper && !kept) ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  ::dup2(plan.stdin_fd, STDIN_FILENO);
  ::dup2(plan.out_fd, STDOUT_FILENO);
  ::dup2(plan.err_fd, STDERR_FILENO);
  const unsigned first_closed = 3 + static_cast<unsigned>(plan.handed.size());
  for (unsigned i = 3; i < first_closed; ++i) ::dup2(plan.handed[i - 3], static_cast<int>(i));
  // Descriptors some library opened without close-on-exec must not reach the program: a
  // stray copy of another run's pipe would keep that run's output open, a listening socket
  // would stay open, and reachable, as long as the program runs.
  ::close_range(first_closed, ~0U, CLOSE_RANGE_CLOEXEC);
  if (plan.view != nullptr && enter_run_view(*plan.view, plan.fence_fd) != 0) {
    child_fail(plan.report_fd, kStepView, plan.view->failed_at);
  }
  if (!kept) fence_and_exec(plan);
  // In the keeper's namespace only a new process can be: it is the agent's child (so the run
  // sees its end as ever), and this one waits until it has exec'd, then says who it is.
  const pid_t started = ::clone(start_kept, plan.kept_stack, CLONE_VM | CLONE_VFORK | CLONE_PARENT,
                                const_cast<ChildPlan*>(&plan));
  if (started < 0) child_fail(plan.report_fd, kStepKeeper);
  const int message[3] = {kStepStarted, started, -1};
  [[maybe_unused]] const ssize_t n = ::write(plan.report_fd, message, sizeof message);
  ::_exit(0);
}

KAVOR_OWN_STACK int run_child_on_own_stack(void* plan) {
  run_child(*static_cast<const ChildPlan*>(plan));
}

// Starts the child (ChildPlan) as fork would, sharing the agent's memory where kShareMemory says
// so; gives its id, or -1 with errno set.
pid_t start_child(const ChildPlan& plan, char* stack) {
  if (!kShareMemory) {
    const pid_t pid = ::fork();
    if (pid == 0) run_child(plan);
    return pid;
  }
  // No signal reaches the child before it has put every handler back to its default.
  sigset_t all;
  sigset_t before;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  const pid_t pid = ::clone(run_child_on_own_stack, stack, CLONE_VM | CLONE_VFORK | SIGCHLD,
                            const_cast<ChildPlan*>(&plan));
  const int error = errno;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return pid;
}

std::mutex abandoned_mutex;
std::vector<std::unique_ptr<Child>> abandoned;

// Children whose Child has ended are dropped, which collects them.
void reap_abandoned() {
  std::lock_guard lock(abandoned_mutex);
  std::erase_if(abandoned,
                [](const std::unique_ptr<Child>& child) { return child->poll_exit().has_value(); });
}

}  // namespace

Child::Child(pid_t pid, int exit_fd, int out_fd, int err_fd)
    : pid_(pid), exit_fd_(exit_fd), out_fd_(out_fd), err_fd_(err_fd) {}

Child::~Child() {
  // Collected only once it has ended; the owner abandons a child that has not.
  if (code_) {
    pid_t got;
    do {
      got = ::waitpid(pid_, nullptr, WNOHANG);
    } while (got < 0 && errno == EINTR);
  }
  close_fd(exit_fd_);
  close_fd(out_fd_);
  close_fd(err_fd_);
}

std::optional<int> Child::peek(bool block) {
  if (code_) return code_;
  siginfo_t info{};
  int result;
  do {
    result =
        ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG));
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    code_ = -1;  // not a child of ours any more: nothing is left to wait for
  } else if (info.si_pid == pid_) {
    signalled_ = info.si_code != CLD_EXITED;
    code_ = signalled_ ? 128 + info.si_status : info.si_status;
  }
  return code_;
}

std::optional<int> Child::poll_exit() {
  return peek(false);
}

int Child::wait() {
  return *peek(true);
}

int open_process_fd(pid_t pid) {
  // Called through syscall(): this C library's header declares the wrapper without C linkage.
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

std::optional<std::string> find_program(const std::string& program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr && *path != '\0' ? path : kDefaultPath;
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir.front() != '/') continue;
    const std::string candidate = dir + "/" + program;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

namespace {

Result<std::unique_ptr<Child>> start(const SpawnRequest& request, bool may_retry);

}  // namespace

Result<std::unique_ptr<Child>> spawn(const SpawnRequest& request) {
  return start(request, true);
}

namespace {

// The start; `may_retry`: once more with a new keeper when the keeper's namespace was ending.
Result<std::unique_ptr<Child>> start(const SpawnRequest& request, bool may_retry) {
  reap_abandoned();
  const auto path = find_program(request.process.program);
  if (!path) return fail("no such program", ErrorKind::NoProgram);
  std::error_code fs_error;
  if (!std::filesystem::is_directory(request.folder, fs_error)) {
    return fail("no such folder", ErrorKind::NotFound);
  }

  ChildPlan plan = plan_child(request, *path);
  // Everything the child moves into place sits above the places it fills.
  const int lowest = 3 + static_cast<int>(request.handed.size());
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int report[2] = {-1, -1};
  int null_fd = above(::open("/dev/null", O_RDONLY | O_CLOEXEC), lowest);
  int out_copy = request.out_fd >= 0 ? copy_above(request.out_fd, lowest) : -1;
  int err_copy = request.err_fd >= 0 ? copy_above(request.err_fd, lowest) : -1;
  int fence_copy = request.fence_fd >= 0 ? copy_above(request.fence_fd, lowest) : -1;
  std::vector<int> handed;
  bool ready = null_fd >= 0 &&
               (request.out_fd < 0 ? make_output_pipe(out, lowest) : out_copy >= 0) &&
               (request.err_fd < 0 ? make_output_pipe(err, lowest) : err_copy >= 0) &&
               (request.fence_fd < 0 || fence_copy >= 0) && make_pipe(report, lowest);
  for (const int fd : request.handed) {
    if (!ready) break;
    handed.push_back(copy_above(fd, lowest));
    ready = handed.back() >= 0;
  }
  const auto close_copies = [&] {
    for (int* fd : {&out[1], &err[1], &report[1], &null_fd, &out_copy, &err_copy, &fence_copy})
      close_fd(*fd);
    for (int& fd : handed) close_fd(fd);
  };
  if (!ready) {
    const int error = errno;
    close_copies();
    for (int* fd : {&out[0], &err[0], &report[0]}) close_fd(*fd);
    return fail(errno_text(error));
  }
  plan.stdin_fd = null_fd;
  plan.out_fd = request.out_fd >= 0 ? out_copy : out[1];
  plan.err_fd = request.err_fd >= 0 ? err_copy : err[1];
  plan.report_fd = report[1];
  plan.handed = handed;
  plan.fence_fd = fence_copy;

  // The stacks of the child and of the process the keeper's namespace gets are made here: the
  // child may not allocate.
  const bool kept = request.view != nullptr && request.view->keeper;
  void* stacks = ::mmap(nullptr, 2 * kChildStack, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stacks == MAP_FAILED) {
    const int error = errno;
    close_copies();
    for (int* fd : {&out[0], &err[0], &report[0]}) close_fd(*fd);
    return fail(errno_text(error));
  }
  plan.kept_stack = static_cast<char*>(stacks) + 2 * kChildStack;

  pid_t pid = start_child(plan, static_cast<char*>(stacks) + kChildStack);
  const int fork_error = errno;
  close_copies();
  if (pid < 0) {
    ::munmap(stacks, 2 * kChildStack);
    for (int* fd : {&out[0], &err[0], &report[0]}) close_fd(*fd);
    return fail(errno_text(fork_error));
  }

  // The report pipe closes when the command's process execs; a failure in it means it did not.
  // A run in the keeper's namespace also gets the id of that process from the child, which ends
  // once it has said it.
  int message[3] = {0, 0, -1};
  bool failed = false;
  pid_t started = 0;
  for (;;) {
    int next[3];
    ssize_t got;
    do {
      got = ::read(report[0], next, sizeof next);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof next)) break;
    if (next[0] == kStepStarted) {
      started = next[1];
    } else if (!failed) {
      failed = true;
      std::copy(next, next + 3, message);
    }
  }
  close_fd(report[0]);
  ::munmap(stacks, 2 * kChildStack);
  if (kept) {
    ::waitpid(pid, nullptr, 0);
    // Nothing said and nothing started: the child died on the way.
    if (!failed && started <= 0) {
      failed = true;
      message[0] = kStepExec;
      message[1] = ECHILD;
    }
  }
  if (failed) {
    // The process that failed is waited for; the child of a kept start has been already, and its
    // id is no longer its own to wait on.
    if (!kept || started > 0) {
      Child failed_child(kept ? started : pid, -1, out[0], err[0]);
      failed_child.wait();
    } else {
      for (int* fd : {&out[0], &err[0]}) close_fd(*fd);
    }
    if (message[0] == kStepFolder && message[1] == ENOENT) {
      return fail("no such folder", ErrorKind::NotFound);
    }
    if (message[0] == kStepView) {
      const auto at = static_cast<std::size_t>(message[2]);
      const std::string where =
          message[2] >= 0 && request.view != nullptr && at < request.view->mounts.size()
              ? " at " + request.view->mounts[at].target
              : "";
      return fail("its own view of the session could not be made" + where + " (" +
                  errno_text(message[1]) + ")");
    }
    if (message[0] == kStepKeeper && message[1] == ENOMEM && kept && may_retry &&
        request.view->keeper->ending()) {
      // The namespace takes no new process once its keeper is ending (someone killed it): the
      // start is made again with a new keeper, once.
      forget_run_keeper(*request.view->keeper);
      RunView again = *request.view;
      again.keeper = run_keeper();
      if (!again.keeper) return fail("the keeper of fenced commands ended and none can be made");
      SpawnRequest retry = request;
      retry.view = &again;
      return start(retry, false);
    }
    return fail(errno_text(message[1]));
  }

  if (kept) pid = started;
  if (out[0] >= 0) ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  if (err[0] >= 0) ::fcntl(err[0], F_SETFL, O_NONBLOCK);
  const int exit_fd = open_process_fd(pid);
  return std::make_unique<Child>(pid, exit_fd, out[0], err[0]);
}

}  // namespace

void abandon(std::unique_ptr<Child> child) {
  if (child->poll_exit()) return;
  std::lock_guard lock(abandoned_mutex);
  abandoned.push_back(std::move(child));
}

}  // namespace kavor::exec
