// The temporary folders of fenced runs. A fenced command may write only in its workspace and
// in a folder made for its run (owner only; TMPDIR and TMP point at it), which goes with
// everything in it once the run ends. Three kinds of folder, kept by one object:
//   spare   made ahead, while the run before runs: making a folder may take a millisecond on
//           some file systems, which a command's start then does not wait for. The next run
//           takes it only when it is still a folder of this user in the same parent, owner only
//           and empty: a fenced command can list the parent and change the folder's mode (no
//           Landlock right covers chmod), so another account may have left something in it
//           meanwhile. One that is not as it was made goes with all it holds.
//   live    taken by a run that has not ended; removed by the run's end, or by the program's
//           end when the run outlives it (the spare counts as live, so it goes then too).
//   stale   left by an agent killed before its end. A folder's name holds the process id of
//           its agent ("kavor-agent-run-{pid}-XXXXXX"), and the first run of an agent removes,
//           in its folders' parent, the real folders of this user named after an agent that is
//           gone: never one of another user, a link, or one of a live agent.
// Every removal follows no link (walk/remove_tree.h): a command may leave links in its folder,
// or swap a folder of it for one while the removal runs.
//
// Cost: a run's folder is one mkdtemp, made off the run's start; its removal is one listing
// per folder in it. The stale sweep lists the parent once per process, within
// kStaleRemovalBudget.
#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/result.h"

namespace kavor::exec {

// How long the first run of a process spends removing what dead agents left.
inline constexpr std::chrono::seconds kStaleRemovalBudget{2};

class RunFolders {
 public:
  // The folder of a run about to start in `parent`, live from now on: the spare when it is
  // still as it was made, else a new one. The first call removes the stale folders of `parent`
  // first. The failure is the system's reason a folder could not be made.
  Result<std::string> take(const std::filesystem::path& parent);

  // Makes the spare in `parent`, unless one is waiting.
  void make_spare(const std::filesystem::path& parent);

  // The run of `folder` ended: the folder goes. Processes the command left running may still
  // write to it by its name, so it is first moved to a name of its own (the agent's id kept,
  // so a later agent still knows whose it was), and removed in a few passes, each taking what
  // they added during the one before.
  void remove_ended(const std::string& folder);

  // The program is exiting: removes the live folders, spending at most `budget` on it (their
  // commands are ended by then).
  void remove_live(std::chrono::milliseconds budget);

 private:
  struct Spare {
    std::filesystem::path parent;
    std::string folder;
  };
  std::optional<std::string> take_spare(const std::filesystem::path& parent);
  void forget(const std::string& folder);

  std::mutex mutex_;
  std::set<std::string> live_;
  std::optional<Spare> spare_;
  std::once_flag stale_once_;
};

// The run folders of this process.
RunFolders& run_folders();

// The parent of the run folders: $TMPDIR when it names a folder, else /tmp.
std::filesystem::path run_folder_parent();

// The same as run_folders().make_spare(run_folder_parent()), for a pool to call.
void make_spare_run_folder();

// The same as run_folders().remove_live(budget), for the program's end.
void remove_live_run_folders(std::chrono::milliseconds budget);

// Removes the stale run folders in `parent` (above), spending at most `budget`.
void remove_stale_run_folders(const std::filesystem::path& parent,
                              std::chrono::milliseconds budget);

}  // namespace kavor::exec
