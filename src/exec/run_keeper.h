// What fenced runs leave running, and how it ends with the agent whatever ends the agent.
//
// A command that ran without asking may leave processes behind on purpose (a server started in
// the background for the tests that follow), and they may do anything to outlive it: a session
// of their own, a cleared environment, another cgroup, a parent that exits. None of that lets a
// process leave its PID namespace, and when the first process of a PID namespace ends, the
// kernel kills every other process in it at once. So every fenced run starts in one PID
// namespace per agent, whose first process is the keeper:
//
//   1. The keeper is made once, early (the agent makes it first thing, while its process is
//      still small: the keeper is a copy of it that never executes another program). It is the
//      first process of a new PID namespace, owned by a new user namespace that maps the user's
//      ids to themselves, and it mounts a /proc of that namespace for itself, which proves that a
//      run can have one too.
//   2. It then only reads a pipe whose one writer is the agent. The kernel closes the agent's
//      end when the agent's process goes, however it goes (its window closed, a signal, a crash,
//      SIGKILL), the read ends, and so does the keeper; with it, everything in its namespace.
//      It ignores SIGCHLD, so that what it adopts (the orphans of ended runs) is collected at
//      once.
//   3. A fenced run's child joins the keeper's user and PID namespaces (it may: the agent owns
//      them), makes its mount namespace there (namespace.h), and starts the command as a
//      process of the agent's (CLONE_PARENT) inside the keeper's PID namespace. The command
//      mounts that namespace's /proc over the machine's, so that process ids and /proc agree
//      inside the run, and it sees only fenced processes; then it makes a user namespace of its
//      own, which tells its processes from those of other runs.
//   4. At the program's orderly end the keeper is killed, which ends all the runs left.
//
// A run's user namespace also says when what it left has ended: until then its temporary folder
// (its /tmp, where a workspace folder below /tmp is mounted) stays, and it goes once a later
// run's end finds nothing of it alive, or with the program. The keeper's /proc lists only fenced
// processes, so that look costs microseconds.
//
// Where the keeper cannot be made (no user namespaces for this user, no /proc of its own in
// one), fenced runs make their own user namespace in the agent's PID namespace as before: what
// they leave ends at the program's orderly end, found by their user namespaces in the machine's
// /proc, and outlives an agent that is killed outright; the agent says so when it starts.
//
// Cost: one clone and a few mounts once; per run, two setns calls and one clone that shares the
// child's memory (no copy of its page tables), and a /proc mount.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace kavor::exec {

class RunFence;

// The live keeper: the descriptors of its namespaces, which a run's child joins.
class RunKeeper {
 public:
  RunKeeper(pid_t pid, int process_fd, int user_ns, int pid_ns, int watch_fd);
  ~RunKeeper();
  RunKeeper(const RunKeeper&) = delete;
  RunKeeper& operator=(const RunKeeper&) = delete;

  pid_t pid() const { return pid_; }
  int user_namespace() const { return user_ns_; }
  int pid_namespace() const { return pid_ns_; }
  // Whether it still runs.
  bool alive() const;
  // Ends it, and with it everything in its namespace.
  void end() const;
  // Whether it has ended or is ending (then its namespace takes no new process).
  bool ending() const;

 private:
  pid_t pid_;       // a child of the agent's, not collected before it is let go of
  int process_fd_;  // signalled through, so that no other process is ever hit by its id
  int user_ns_;
  int pid_ns_;
  int watch_fd_;  // the agent's end of the pipe the keeper reads
};

// What the agent's program is started with to become a keeper (keep_fenced_runs).
inline constexpr const char* kKeeperArgument = "--keep-fenced-runs";

// Starts making the keeper, where the system allows one, without waiting for it. The agent calls
// it first thing, while its process is small, since this keeper is a copy of it; later calls do
// nothing while a keeper is alive. With `reexec`, the program answers kKeeperArgument first
// thing: a keeper made later (the first one was killed) then executes the program anew rather
// than staying a copy of all the agent holds by then.
void start_run_keeper(bool reexec = false);

// The keeper's own program: started with kKeeperArgument, its ids written, the pipe it watches
// at 0 and its answer at 1. Returns only on a failure.
int keep_fenced_runs();

// The live keeper, made now if none was started or the last one ended; nothing where the system
// allows none. Waits for a keeper still setting itself up (a few milliseconds at most).
std::shared_ptr<const RunKeeper> run_keeper();

// Whether fenced runs here end with the agent even when it is killed outright (probes, making
// the keeper, the first time).
bool runs_end_with_agent();

// A keeper whose namespace refused a new process (it is ending): the next run makes another.
void forget_run_keeper(const RunKeeper& keeper);

// Remembers the user namespace of the fenced run whose started process is `pid`, which its
// processes, and those of namespaces they make below it, keep for good. A descriptor of it is
// held while something of the run may live, so that its number cannot pass to a namespace of
// another program meanwhile. Gives the number to release it by, 0 when there is nothing to
// remember.
ino_t remember_run_namespace(pid_t pid);

// A fenced run has ended: its temporary folder goes now, unless something the run left still
// lives; then it goes once nothing does, looked at again whenever another run ends, or at the
// program's end. Runs apart from the event loop (it may remove many files).
void release_run(std::shared_ptr<RunFence> fence, ino_t run_namespace);

// The program is ending: every process of every fenced run ends (the keeper's namespace, and
// where there is no keeper, every process in a run's user namespace or one below it).
void end_fenced_runs();

}  // namespace kavor::exec
