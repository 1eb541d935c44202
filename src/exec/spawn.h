// Starting one command's process: a session of its own, standard input empty, standard output
// and standard error each on a pipe of their own, the working folder, and the environment of
// the agent with the run's marker added.
//
// Between fork and exec the child only makes system calls (everything it needs was prepared
// before the fork, because another thread may hold the allocator's lock at that moment). It
// shares the agent's memory until it execs, as vfork's child does (no copy of the agent's page
// tables, which is most of a start's cost for a large program), on a stack of its own, and the
// starting thread waits meanwhile; builds with the address or thread sanitizer fork instead.
//   1. every handler back to its default, then the signal mask cleared (the child starts with
//      every signal blocked, so no handler of the agent's ever runs in it), so that a signal the
//      agent ignores (SIGPIPE) does not stay ignored in the command;
//   2. setsid: a new session and process group, whose id is the child's own;
//   3. into the run's cgroup, when there is one;
//   4. killed when the agent dies (strictly: when the thread that started it ends, so commands
//      that outlive a call are started from the event-loop thread), and the reaper of its
//      orphans (see runner.h; an orphan that ends waits, as a zombie, until the program
//      collects it or ends itself);
//   5. the pipes in place (and the descriptors a program is handed on purpose, at 3, 4, ...),
//      every other descriptor closed on exec;
//   6. for a fenced run, its own view of the session (namespace.h), then no capabilities, no
//      new privileges and the ruleset (fence_rules.h). Where there is a keeper of fenced runs
//      (run_keeper.h), the view is made in its namespaces, where only a new process can be: the
//      child starts it as a process of the agent's (so the run sees its end as ever), sharing the
//      child's memory until it execs; it takes steps 2, 4 and 7 and finishes the view (its /proc,
//      its user namespace), and the child ends once it has said the new process's id;
//   7. the working folder, then exec. A failure of either is sent back through a pipe that
//      closes on exec, so the parent knows whether the program started before it returns
//      (a fence the kernel refused is reported the same way: the program never runs unfenced).
// The same start serves a program that is not a command (the browser): its output goes where
// the caller says instead of to pipes, it is handed its own descriptors, and it is not made the
// reaper of its orphans, which it would never collect.
// The program is looked up on PATH before the fork, in absolute PATH entries only: an empty or
// relative entry would otherwise run a program of that name from the workspace itself.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "exec/command_line.h"
#include "exec/namespace.h"
#include "platform/result.h"

namespace kavor::exec {

// A started process with its pipes. It is never killed when dropped: the owner ends it
// (runner.h). Its exit is seen without collecting it, so that its id, which is also the id of
// the run's session and process group, cannot pass to another process while the run may still
// signal that group; it is collected when the Child is dropped.
class Child {
 public:
  Child(pid_t pid, int exit_fd, int out_fd, int err_fd);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Readable once the process has ended; -1 when the system has no process descriptors.
  int exit_fd() const { return exit_fd_; }
  // The read ends of standard output and standard error, non-blocking. Taken by the readers.
  int take_out() { return std::exchange(out_fd_, -1); }
  int take_err() { return std::exchange(err_fd_, -1); }

  // The exit code once the process has ended (128 + the signal's number when a signal ended
  // it, as shells report it); nothing while it runs. `wait` blocks until it has ended.
  std::optional<int> poll_exit();
  int wait();
  // Whether a signal ended it (once poll_exit or wait has seen the end).
  bool signalled() const { return signalled_; }

 private:
  std::optional<int> peek(bool block);

  pid_t pid_;
  int exit_fd_;
  int out_fd_;
  int err_fd_;
  std::optional<int> code_;
  bool signalled_ = false;
};

struct SpawnRequest {
  ProcessDescription process;
  std::filesystem::path folder;
  std::string marker;        // "NAME=value" added to the environment
  std::string cgroup_procs;  // the run cgroup's cgroup.procs file, or ""
  // Standard output and standard error: -1 for a pipe each, read through the Child, or a
  // descriptor of the caller's that the program gets as it is (the caller keeps its own).
  int out_fd = -1;
  int err_fd = -1;
  // Descriptors of the caller's that the program finds at 3, 4, ... in this order.
  std::vector<int> handed{};
  // The program adopts its orphaned descendants, so that they stay in its tree (commands).
  bool reaper = true;
  // A Landlock ruleset the program is restricted to (fence.h), or -1; the caller keeps it.
  int fence_fd = -1;
  // "NAME=value" entries that replace the inherited ones of the same name.
  std::vector<std::string> env{};
  // Names of inherited entries the program does not get.
  std::vector<std::string> unset{};
  // The run's own view of the session (namespace.h), made before the fence is entered; the
  // caller keeps it alive until spawn returns.
  const RunView* view = nullptr;
};

// A process descriptor for `pid` (it stays bound to that process even after the id is reused),
// or -1 where the system has none.
int open_process_fd(pid_t pid);

// Where `program` would be started from, or nothing when it is not on PATH.
std::optional<std::string> find_program(const std::string& program);

// The started process, or why it did not start: ErrorKind::NoProgram when the program is not on
// PATH, ErrorKind::NotFound when the working folder does not exist (each caller words these two
// itself), otherwise the system's text of the error.
Result<std::unique_ptr<Child>> spawn(const SpawnRequest& request);

// Keeps a child whose owner gave up waiting for it (a process that did not end after SIGKILL,
// stuck in the kernel) until it has ended; every later start collects those that have.
void abandon(std::unique_ptr<Child> child);

}  // namespace kavor::exec
