// The fence's ruleset: the Landlock rules that let a fenced command write only where it may and
// read everything but the places that hold the user's credentials (fence.h says what the fence
// is for and what it leaves open).
//
// The idea. Landlock only grants: a process restricts itself to a ruleset, and from then on a
// file access is allowed only when a rule on the file or on a folder above it grants it. The
// ruleset is built in the agent before the fork (descriptors opened with O_PATH, rules added,
// descriptors closed), handed to the start (spawn.h), and the child only turns on
// no-new-privileges and restricts itself before exec. What the command starts inherits the
// fence, whatever session or parent it moves to; nothing of it can be lifted from inside.
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
// process outside it. Network ports and device ioctls (4, 5) are left alone.
//
// Before the ruleset is entered every capability is dropped, so a command of an agent run as
// root is root only over its files: no raw socket, no typing into another terminal, no reading
// of another process. Because no-new-privileges is set, set-user-id programs (sudo, su) fail
// inside the fence.
//
// Cost: one listing of each folder on the refused paths per run, and one rule per entry of
// those folders (a few microseconds each: /tmp is on the way, for the private browsers'
// profiles). A missing place costs no more than it would if it existed: the walk stops at the
// deepest folder that exists (~/.config for a missing ~/.config/gh, never what lies below).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/result.h"
#include "walk/owned_fd.h"

namespace kavor::exec {

// The Landlock ABI version the running kernel offers, 0 when it offers none. Asked once.
int landlock_abi();

// The kernel's scopes the fence keeps (Landlock ABI 6): a fenced command may neither connect
// to an abstract unix socket made outside the fence (the display's @/tmp/.X11-unix/X0, some
// session buses) nor signal a process outside it (the agent, the user's other programs).
// Without them, both stay open and the agent says so when it starts.
bool fence_scopes_available();

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

// One run's ruleset while it is built; the descriptor is closed with it unless handed over.
class FenceRuleset {
 public:
  // A ruleset handling every right this kernel's Landlock knows but network ports and device
  // ioctls (handling a right is what makes it refused where no rule grants it), with the
  // scopes from ABI 6 on. Fails with the system's reason, or when the kernel offers no Landlock.
  static Result<FenceRuleset> create();

  int fd() const { return fd_; }
  // Hands the descriptor over to the run's fence, which closes it; rules are still added to it
  // here while the fence holds it.
  int release() { return owned_.release(); }
  // Every right the ruleset handles: what a writable folder is granted.
  std::uint64_t handled() const { return handled_; }
  // Reading, listing and executing, of those handled.
  std::uint64_t read_rights() const;

  // Reading everywhere but the refused places (the complement walk above).
  Result<void> grant_reading_except(const std::vector<RefusedPlace>& refused);
  // `rights` below what `fd` is open on (only a file's rights when it is no folder); a link is
  // passed over. False when the kernel refused the rule (errno set).
  bool grant(int fd, std::uint64_t rights);
  // The devices a command writes to as a matter of course: /dev/null, /dev/zero, /dev/full,
  // /dev/random, /dev/urandom, /dev/tty and /dev/ptmx (reading and writing), the terminals of
  // /dev/pts, and /dev/shm (shared memory segments; those of other programs of the user are
  // within reach too). A missing one is passed over.
  void grant_devices();

 private:
  FenceRuleset(int fd, std::uint64_t handled) : owned_(fd), fd_(fd), handled_(handled) {}

  walk::OwnedFd owned_;
  int fd_;
  std::uint64_t handled_;
};

// Between fork and exec: every capability dropped (bounding, ambient, inheritable, permitted and
// effective sets), no new privileges, then the ruleset. System calls only. 0 on success, -1
// with errno set.
int enter_fence(int ruleset_fd);

// A rule granting `rights` below the folder `fd` (system calls only, for the run's own folders
// made between fork and exec). 0 on success, -1 with errno set.
int add_fence_rule(int ruleset_fd, int fd, std::uint64_t rights);

}  // namespace kavor::exec
