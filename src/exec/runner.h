// Running one command for a call: start it, stream what it prints, stop it on time-out or when
// the user asks, and turn the end into the call's answer. A run waits on descriptors and a
// timer on the event-loop thread: it holds no thread of any pool for however long it lasts.
//
// A run, in order:
//   1. Start the program in a session of its own (spawn.h), marked as this run's.
//   2. Read standard output and standard error as they fill: every read goes into the capture
//      (output.h) and, decoded, to the page as a live chunk of at most 8192 bytes.
//   3. Wait for whichever comes first: the process ends, the time-out passes, the stop flag is
//      set (looked at every kStopPoll).
//   4. On a time-out or a stop: end the whole tree (below), note why, and wait for the process.
//   5. Give the readers at most kReaderGrace more: something the command left running may hold
//      its output open for ever.
//   6. Answer: the captured text ("(no output)" when blank) and the note; a failure with
//      "\n[exit code {code}]" unless the process exited with 0 and nothing was noted. A fenced
//      run (fence.h) that exited with another code ends with the fence's line, which tells the
//      assistant what the fence refuses and that the user can let the command run without it.
//      The run's temporary folder goes once the run has ended.
//
// Ending a tree. Stopping a command means stopping everything it started, and a command may
// work hard not to be stopped. The idea: find every process of the run, stop each where it
// stands, then kill them all; a stopped process can neither fork nor act on a signal. Cost: a
// pass over /proc per sweep (the status line of every process, the environment only of those
// younger than the run), usually two sweeps, done on a thread of its own rather than the event
// loop. Order (ProcessTree::kill_all): 1. kill the run's cgroup; 2. stop the run's process
// group; 3. sweep /proc, stopping every member found, until a sweep finds none new; 4. kill
// everything found. Ways out, each with the step that closes it:
//   - The plain case, a shell and its children: they share the session and process group the
//     run started with, and one signal to the group reaches them.
//   - Job control (`set -m`) puts background jobs in process groups of their own: they stay in
//     the run's session, and the sweep of /proc matches the session id.
//   - setsid, and daemonizing (fork, setsid, fork again, parent exits): a new session and a new
//     parent. When the agent can make a cgroup below its own, every run gets one and the
//     kernel kills all its members at once (cgroup.kill), wherever they moved in the tree, and
//     what they fork while it does so. Without a cgroup: every process of the run carries the
//     marker KAVOR_AGENT_RUN={token} in its environment, and the sweep matches it.
//   - Leaving the session and clearing the environment (setsid env -i ...): the sweep also
//     takes every descendant of a member. The started program is made the reaper of its
//     orphans, so a process whose parent exits stays below it rather than under init.
//   - A fork bomb: each sweep stops what it finds before looking again, so the tree stops
//     growing; the sweeps repeat until one finds nothing new (at most kMaxSweeps).
//   - A process that handles or ignores SIGTERM: only SIGSTOP and SIGKILL are sent, which no
//     process can catch.
//   - A grandchild that keeps the pipes open: on a stop or time-out it is dead with the rest;
//     after a normal exit the readers give up after kReaderGrace and the call ends.
//   - Process ids reused while the sweep runs: each process is signalled through a process
//     descriptor opened after checking its start time, so a stranger that took over an id is
//     never signalled. The started program is not collected until the run ends, so its id,
//     which names the run's session and group, cannot pass to anyone else meanwhile.
// What still escapes: a process that leaves the session, removes the marker from its
// environment, and outlives both the started program and its own parent, when it also moves
// itself out of the run's cgroup (any process of the user may write to the agent's cgroup) or
// when there is none. Work handed to a service (the docker daemon, a scheduler, systemd) is
// that service's, as it would be from a terminal.
// After a normal exit nothing is killed: a command may mean to leave a server running.
//
// When the agent exits with commands running, their trees are ended the same way; when it
// dies abruptly the started program is killed by the kernel (parent-death signal), and what a
// fenced command started ends with the keeper of fenced runs (run_keeper.h), but what an
// unfenced one started does not.
#pragma once

#include <qcorotask.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exec/command_line.h"
#include "exec/fence.h"
#include "exec/spawn.h"

namespace kavor::exec {

// Each live chunk holds at most this many bytes of output (plus up to three bytes of a
// character that was cut at the end of the previous one).
inline constexpr std::size_t kChunkBytes = 8192;
// How much one pipe is read before other events get their turn: a flood of output must not
// keep the event loop from the page or from other calls.
inline constexpr std::size_t kReadBurst = 1024 * 1024;
// How often a run looks at its stop flag, which is a plain atomic with nothing to wait on: the
// longest a stop waits to be noticed, at a cost of twenty cheap wake-ups a second per run.
inline constexpr std::chrono::milliseconds kStopPoll{50};
// How long the readers may still take after the process has ended.
inline constexpr std::chrono::milliseconds kReaderGrace{2'000};
// A killed process that has not ended after this is stuck in the kernel: the call ends
// without its exit code, and the process is collected whenever it does end.
inline constexpr std::chrono::milliseconds kExitAfterKill{5'000};

struct CommandRun {
  ProcessDescription process;
  std::filesystem::path folder;  // the working folder
  std::chrono::seconds timeout{kDefaultTimeoutSeconds};
};

// The output of a run that ended well; otherwise the failure's text, which holds the output
// too, with the note of how the run ended.
using RunOutcome = Result<std::string>;

// Receives each live chunk, decoded.
using OutputSink = std::function<void(std::string chunk)>;
using StopSignal = std::shared_ptr<const std::atomic<bool>>;

struct RunOptions {
  bool use_cgroup = true;  // a cgroup per run where one can be made
  // Runs the command inside this fence, writing only below `writable`; none: unfenced.
  std::shared_ptr<const Fence> fence{};
  std::vector<std::filesystem::path> writable{};
};

// The run described above. Started and finished on the event-loop thread.
QCoro::Task<RunOutcome> run_command(CommandRun run, StopSignal stop, OutputSink sink,
                                    RunOptions options = {});

// What ends the text of a run that did not end by itself.
inline constexpr const char* kStoppedNote = "\n[stopped by the user]";
std::string timed_out_note(std::chrono::seconds timeout);

// The message for a program that did not start (`failure` as spawn gives it).
std::string start_failure_message(const std::string& program, const std::filesystem::path& folder,
                                  const Error& failure);

// A short program run to its end on the calling thread, its output wanted whole: the same
// start and the same kill, with output beyond kCollectLimit bytes read and dropped.
inline constexpr std::size_t kCollectLimit = 1 << 20;
struct Collected {
  std::string out;          // standard output, bytes
  std::string err;          // standard error, bytes
  std::optional<int> code;  // the exit code; nothing when it was killed or lost
  bool cut_short = false;   // stopped or timed out
};
// What the program wrote, or why it did not start (as spawn gives it).
Result<Collected> collect_output(const ProcessDescription& process,
                                 const std::filesystem::path& folder,
                                 std::chrono::milliseconds timeout, const std::atomic<bool>& stop);

// Ends the tree of every run still going and removes the runs' temporary folders; runs when
// the program exits.
void kill_running_commands();

}  // namespace kavor::exec
