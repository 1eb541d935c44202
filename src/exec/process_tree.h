// Everything one command run started, and ending all of it. runner.h explains the strategy;
// this is its mechanism: the run's cgroup when one can be made, its session, its marker in the
// environment, and the sweep of /proc that finds the rest.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

namespace kavor::exec {

// The environment variable that marks every process of one run.
inline constexpr const char* kRunMarkerName = "KAVOR_AGENT_RUN";
// Sweeps of /proc before giving up on a tree that keeps growing; each sweep stops what it
// finds, and a stopped process cannot fork, so even a fork bomb is caught within a few.
inline constexpr int kMaxSweeps = 64;

class ProcessTree {
 public:
  // A tree with a fresh marker, and a cgroup of its own when `use_cgroup` is set and the
  // system lets the agent make one below its own.
  explicit ProcessTree(bool use_cgroup);
  // Removes the cgroup once it is empty (later, when processes the command left running in
  // the background still live in it).
  ~ProcessTree();
  ProcessTree(const ProcessTree&) = delete;
  ProcessTree& operator=(const ProcessTree&) = delete;

  // "KAVOR_AGENT_RUN={token}", for the command's environment.
  const std::string& marker() const { return marker_; }
  // The cgroup's cgroup.procs file, or "" without a cgroup.
  const std::string& cgroup_procs() const { return cgroup_procs_; }

  // The process the run started: its id is the id of the run's session, and nothing that
  // started before it can belong to the run.
  void set_leader(pid_t pid);

  // Ends every process of the run with SIGKILL; blocks for as long as the sweeps of /proc
  // take. Safe to call again and from several threads.
  void kill_all();

 private:
  std::string marker_;
  std::string cgroup_;
  std::string cgroup_procs_;
  pid_t leader_ = 0;
  unsigned long long leader_start_ = 0;  // in clock ticks since boot
  std::mutex killing_;
};

// Ends every run whose command is still running: the program is shutting down.
void kill_live_trees();

// Whether runs get a cgroup here (for tests and the benchmark).
bool cgroups_available();

}  // namespace kavor::exec
