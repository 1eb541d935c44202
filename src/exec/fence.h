// The workspace fence: a kernel-kept limit (Linux Landlock) on a command that runs without the
// user having seen it. Whether a command stays inside the workspace is judged from its text,
// and a text cannot tell what `make`, a test suite or a script will do once started. Inside the
// fence such a command may write only to its workspace, and may read everything except the
// places that hold the user's credentials.
//
// The idea. Landlock only grants: a process restricts itself to a ruleset, and from then on a
// file access is allowed only when a rule on the file or on a folder above it grants it. The
// ruleset is built in the agent before the fork (descriptors opened with O_PATH, rules added,
// descriptors closed), handed to the start (spawn.h), and the child only turns on
// no-new-privileges and restricts itself before exec. What the command starts inherits the
// fence, whatever session or parent it moves to; nothing of it can be lifted from inside.
//
// Writing (create, remove, rename, link, truncate, make folders, write to files) is granted
// below the call's workspace folders, below a temporary folder made for the run (owner only,
// TMPDIR and TMP point at it, removed with everything in it once the run ends or the program
// exits; what an agent killed before it could goes at the next one's first run), and on the
// devices a command needs: /dev/null, /dev/zero, /dev/random, /dev/urandom, /dev/tty,
// /dev/ptmx, /dev/pts and /dev/shm (shared memory segments; those of other programs of the
// user are within reach too).
//
// Reading and executing are granted everywhere but the refused places, as the complement of
// that list: from "/" down along each refused path only, every other entry of each folder on
// the way gets a read rule (links get none: what they lead to is judged by its own place).
// Refused in each home folder (~), each for what it holds:
//   place                           what it holds
//   ~/.ssh                          private keys (known_hosts*, config, *.pub and authorized_keys
//                                   stay readable; ssh itself cannot sign in fenced, since the
//                                   key agent is not in the run's view)
//   ~/.gnupg, and $GNUPGHOME        private keys and the trust database
//   ~/.aws, ~/.azure,               cloud access keys and tokens
//   ~/.config/gcloud
//   ~/.kube                         cluster access tokens
//   ~/.docker/config.json,          container registry logins
//   ~/.config/containers/auth.json
//   ~/.netrc                        passwords for hosts, in plain text
//   ~/.git-credentials,             passwords and tokens of git remotes, in plain text (git's
//   ~/.config/git/credentials       credential store writes the one that exists)
//   ~/.config/gh/hosts.yml          gh's tokens for its hosts (its config.yml beside stays
//                                   readable)
//   ~/.npmrc                        package registry tokens (a fenced npm does without the
//                                   user's settings too)
//   ~/.pypirc                       package index upload passwords and tokens
//   ~/.cargo/credentials.toml,      crate registry tokens (the second is the older name)
//   ~/.cargo/credentials
//   ~/.vault-token                  the secrets server's login token
//   ~/.pgpass                       database passwords
//   ~/.password-store               the user's password store
//   ~/.local/share/keyrings         the desktop keyring (the device secret lives there too)
//   ~/.bash_history,                shell histories: passwords and tokens typed on a command
//   ~/.zsh_history,                 line (`export TOKEN=...`, `curl -u user:password`)
//   ~/.local/share/fish/fish_history
//   ~/.python_history,              the same of interpreters and database clients, which also
//   ~/.node_repl_history,           hold the statements that set passwords
//   ~/.psql_history, ~/.mysql_history
// and what the program adds (fence_places in app/): the agent's configuration folder
// (device.json may hold the device secret), the local service's session secret, the web
// view's data, the container registry logins kept in $XDG_RUNTIME_DIR/containers/auth.json,
// the profile folders of the installed browsers (cookies and saved passwords) and the private
// browsers' profiles. Both $HOME and the home of the user's account are covered, after
// following links, since a link elsewhere leads to the same files.
// A refused place that does not exist yet is fenced through the deepest folder of its path
// that does (links followed as far as they lead, one that leads nowhere yet included): that
// folder gets no rule, only its entries one by one, so whatever is made in it later, the
// refused place or any other name, stays unreadable to the run and to what it leaves running
// until the next run's fence is built. The workspace folders and the run's temporary folder
// have rules of their own, so what is made in them is readable as ever. A file where a folder
// of a refused path would be (~/.docker made a file) is read as any other file.
//
// Per kernel version (Landlock ABI), the rights the fence handles grow: 1 has no REFER, so a
// rename or a hard link between two folders is always refused; 2 adds REFER (granted within
// the writable folders); 3 adds truncation (before it, truncate(2) of any file the command may
// open for writing is allowed, which the write rules already limit); 6 adds the scopes: the
// command may neither connect to an abstract unix socket made outside the fence nor signal a
// process outside it. Network ports and device ioctls (4, 5) are left alone. Without Landlock
// (a kernel too old, or the module not enabled) commands run as they would unfenced; the
// program says so once when it starts, and says too when the scopes are missing.
//
// The sockets of the session (its bus, the keyring, the key agents, the display, the container
// engines) are doors no file rule closes: connect() is no file access. A fenced run has its own
// view of the session in which they are not there (namespace.h). Before the ruleset is entered
// every capability is dropped, so a command of an agent run as root is root only over its
// files: no raw socket, no typing into another terminal, no reading of another process.
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
// workspace all the time. Because no-new-privileges is set, set-user-id programs (sudo, su)
// fail inside the fence.
//
// Cost: one listing of each folder on the refused paths per run, and one rule per entry of
// those folders (a few microseconds each: /tmp is on the way, for the private browsers'
// profiles). A missing place costs no more than it would if it existed: the walk stops at the
// deepest folder that exists (~/.config for a missing ~/.config/gh, never what lies below).
// The run's folder is made ahead, while the run before runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exec/namespace.h"
#include "platform/result.h"

namespace kavor::exec {

// The Landlock ABI version the running kernel offers, 0 when it offers none. Asked once.
int landlock_abi();

// One refused place: a path whose last component may be a name pattern with '*' ("/tmp/x-*"),
// and the names inside it (patterns too) that stay readable.
struct RefusedPlace {
  std::filesystem::path path;
  std::vector<std::string> readable{};
};

// The credential places of the home folder `home` (the list above).
std::vector<RefusedPlace> home_credential_places(const std::filesystem::path& home);

// Whether `name` matches `pattern`, where '*' stands for any run of characters.
bool fence_name_matches(const std::string& pattern, const std::string& name);

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
  // home, and the extra places.
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

// Between fork and exec: every capability dropped (bounding, ambient, inheritable, permitted and
// effective sets), no new privileges, then the ruleset. System calls only. 0 on success, -1
// with errno set.
int enter_fence(int ruleset_fd);

// A rule granting `rights` below the folder `fd` (system calls only, for the run's own folders
// made between fork and exec). 0 on success, -1 with errno set.
int add_fence_rule(int ruleset_fd, int fd, std::uint64_t rights);

// The home folders whose credential places are refused: $HOME and the home of the account.
std::vector<std::filesystem::path> fence_home_folders();

// The kernel's scopes the fence keeps (Landlock ABI 6): a fenced command may neither connect
// to an abstract unix socket made outside the fence (the display's @/tmp/.X11-unix/X0, some
// session buses) nor signal a process outside it (the agent, the user's other programs).
// Without them, both stay open and the agent says so when it starts.
bool fence_scopes_available();

// The last line of a fenced run that failed.
inline constexpr const char* kFenceLine =
    "\n[This command ran inside the workspace fence: writing outside the workspace folder and "
    "reading credential folders are refused. If it needs more, ask the user to allow it.]";

// Removes `folder` and everything below it without following any link (a link is removed, not
// what it leads to), even when what runs beside it swaps a folder for a link meanwhile. A
// command may leave anything in its temporary folder, and all of it goes: folders of this user
// it made unreadable or unwritable get their owner's rights back first (changed through a
// descriptor of the folder, never through a link), and nesting has no limit (folders deeper
// than a few dozen levels are moved up to `folder` first, so the descriptors held stay few).
void remove_tree_no_follow(const std::filesystem::path& folder);

// Makes the temporary folder of the next fenced run ahead of time, unless one is waiting. Making
// a folder may take a millisecond on some file systems, which a command's start then does not
// wait for; the next preparation takes it when it is still a folder of this user in the same
// place. Waiting folders go at the program's end like those of live runs.
void make_spare_run_folder();

// The program is exiting: removes the temporary folders of the runs still alive, spending at
// most `budget` on it (their commands are ended by then).
void remove_live_run_folders(std::chrono::milliseconds budget);

// Removes the run folders in `parent` that agents no longer running left behind, spending at
// most `budget`. Only a real folder of this user whose name holds the process id of an agent
// that is gone; never one of another user, never through a link. The first fence a process
// prepares does this in its temporary folder's parent.
void remove_stale_run_folders(const std::filesystem::path& parent,
                              std::chrono::milliseconds budget);

}  // namespace kavor::exec
