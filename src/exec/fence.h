// The workspace fence: a kernel-kept limit (Linux Landlock) on a command that runs without the
// user having seen it. Whether a command stays inside the workspace is judged from its text,
// and a text cannot tell what `make`, a test suite or a script will do once started. Inside the
// fence such a command may write only to its workspace, and may read everything except the
// places that hold the user's credentials.
//
// A run's fence is three things, each in a file of its own:
//   the ruleset (fence_rules.h)   Writing (create, remove, rename, link, truncate, make
//                                 folders, write to files) is granted below the call's
//                                 workspace folders, below the run's temporary folder, and on
//                                 the devices a command needs; reading and executing
//                                 everywhere but the refused places (the credential places of
//                                 the home folders, and what the program adds). Every
//                                 capability is dropped before it is entered.
//   the run's folder              A temporary folder made for the run (owner only, TMPDIR and
//   (run_folders.h)               TMP point at it), removed with everything in it once the run
//                                 ends or the program exits; what an agent killed before it
//                                 could goes at the next one's first run.
//   the run's view (namespace.h)  The sockets of the session (its bus, the keyring, the key
//                                 agents, the display, the container engines) are doors no file
//                                 rule closes: connect() is no file access. A fenced run has its
//                                 own view of the session in which they are not there.
// prepare_fence builds them in that order, in the agent before the fork; the child only enters
// them (spawn.h). Without Landlock (a kernel too old, or the module not enabled) commands run as
// they would unfenced; the program says so once when it starts, and says too when the scopes
// are missing.
//
// What the fence does not do. The network is untouched (tests need loopback and package
// registries): what listens on it answers a fenced command as it answers the user. docker and
// wsl commands are not fenced (their work runs in a daemon or a virtual machine the fence does
// not reach), which is why they ask. Bind mounts and hard links that make a refused file
// reachable under another name, and files inside a refused place that lies inside the
// workspace (the workspace is the home folder: the file tools read it without asking too) are
// not covered. What a fenced command writes in the workspace (a Makefile, a git hook) may run
// later without the fence, when the user runs it or allows a command that does. Names inside a
// refused folder can be listed; their contents cannot be read. Changing a file's mode or owner
// is no Landlock right, so a fenced command may chmod any file of the user (the folder waiting
// for the next run included, which is why it is checked when taken). It still cannot read or
// write what it could not before, but it could open a credential file to the other accounts of
// the machine; refusing chmod outright (seccomp) would break builds, which set modes in the
// workspace all the time.
//
// Cost: the ruleset's walk (fence_rules.h says what it reads), a few opens for the writable
// folders and the devices, and the view's plan; the run's folder is made ahead, while the run
// before runs.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "exec/fence_rules.h"
#include "exec/namespace.h"
#include "platform/result.h"

namespace kavor::exec {

// The fence of one run: the ruleset and the run's temporary folder, both gone when it ends.
class RunFence {
 public:
  RunFence(int ruleset_fd, std::filesystem::path temp_folder);
  ~RunFence();
  RunFence(const RunFence&) = delete;
  RunFence& operator=(const RunFence&) = delete;

  int ruleset_fd() const { return ruleset_fd_; }
  const std::filesystem::path& temp_folder() const { return temp_folder_; }
  // The run's own view of the session (namespace.h); nothing where the system allows none.
  const std::optional<RunView>& view() const { return view_; }
  void set_view(RunView view) { view_ = std::move(view); }

 private:
  int ruleset_fd_;
  std::filesystem::path temp_folder_;
  std::optional<RunView> view_;
};

// What a fenced run refuses beyond the home folders' credential places, looked up at each run
// (a folder may move while the program runs). Shared by every run of the program.
class Fence {
 public:
  // Given the home folders, the places to refuse besides their credential places.
  using ExtraPlaces =
      std::function<std::vector<RefusedPlace>(const std::vector<std::filesystem::path>& homes)>;
  explicit Fence(ExtraPlaces extra = {});

  // Whether the kernel keeps a fence at all.
  bool available() const { return landlock_abi() > 0; }

  // Every refused place for a run now: the credential places of $HOME and of the account's
  // home, $GNUPGHOME, and the extra places.
  std::vector<RefusedPlace> refused() const;

  // Builds the fence of one run that may write below `writable`; the failure says why not.
  Result<std::shared_ptr<RunFence>> prepare(
      const std::vector<std::filesystem::path>& writable) const;

 private:
  ExtraPlaces extra_;
};

// The same, from an explicit list of refused places (what Fence::prepare uses).
Result<std::shared_ptr<RunFence>> prepare_fence(const std::vector<RefusedPlace>& refused,
                                                const std::vector<std::filesystem::path>& writable);

// The home folders whose credential places are refused: $HOME and the home of the account.
std::vector<std::filesystem::path> fence_home_folders();

// The last line of a fenced run that failed.
inline constexpr const char* kFenceLine =
    "\n[This command ran inside the workspace fence: writing outside the workspace folder and "
    "reading credential folders are refused. If it needs more, ask the user to allow it.]";

}  // namespace kavor::exec
