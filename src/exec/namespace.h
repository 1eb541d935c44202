// A fenced run's own view of the user's session: the doors that the fence's file rules cannot
// close.
//
// Landlock keeps files, but a named socket is a door: connect() on it is no file access, and
// behind each one a service of the session runs outside the fence and does what it is asked.
// The session bus starts programs with an environment the caller sets, the keyring hands out
// every stored password, the key agents sign and export keys, the display server takes key
// presses for the agent's own window, and a container engine runs as root. Dropping the
// variables that name those sockets is not enough, since their paths are well known. So a
// fenced command gets a mount namespace of its own, made in the child between fork and exec
// (spawn.h), in which the doors are not there at all:
//
//   place                          in the run                     what it hides
//   /tmp                           the run's temporary folder     X11's sockets (.X11-unix), the
//                                  (still at its own path too,    session buses and key agents
//                                  where TMPDIR names it);        of other set-ups (dbus-*,
//                                  workspace folders inside /tmp  ssh-*), tmux servers, the
//                                  are put back where they were   files of every other program
//   $XDG_RUNTIME_DIR,              an empty folder of the run's   the session bus, the keyring's
//   /run/user/<uid>                own, owner only                control socket, gpg-agent and
//                                                                 ssh-agent, PipeWire and
//                                                                 PulseAudio, the Wayland
//                                                                 display, the portals, rootless
//                                                                 container engines, the local
//                                                                 service's session secret
//   ~/.gnupg, $GNUPGHOME           empty, read-only               gpg-agent's sockets where
//                                                                 older set-ups keep them
//   SSH_AUTH_SOCK's folder         empty, read-only               a key agent started elsewhere
//   the sockets named by           nothing (the null device)      a bus or agent started
//   DBUS_SESSION_BUS_ADDRESS,                                     elsewhere
//   DBUS_SYSTEM_BUS_ADDRESS,
//   GPG_AGENT_INFO
//   /run/dbus/system_bus_socket    nothing                        the system bus: the service
//                                                                 manager starts units for root,
//                                                                 the login manager powers the
//                                                                 machine off for a local user
//   /run/systemd/private           nothing                        the service manager's own
//                                                                 socket (root)
//   /run/docker.sock, podman's,    nothing                        a container engine that runs
//   containerd's, DOCKER_HOST's                                   as root mounts any folder
//   /run/screen                    empty, read-only               screen sessions
//   every other socket bound with  nothing                        a multiplexed ssh connection
//   a path when the run starts                                    in ~/.ssh, an editor's server,
//   (/proc/net/unix), but those                                   a database, a root daemon:
//   of the workspace folders and                                  whatever no list names
//   of the run's own folders
//   /dev                           the run's own: null, zero,     the machine's disks (root
//                                  full, random, urandom, tty     reads any file off them),
//                                  and the usual links            consoles, cameras, sound
//   /dev/shm                       the run's own                  other programs' shared memory
//   /dev/pts                       a terminal instance of its     what is typed into the user's
//                                  own (/dev/ptmx leads to it)    other terminals
//   /var/lib/xkb                   the run's own                  nothing: an X server the run
//                                                                 starts as root writes its
//                                                                 keymaps there
// and DBUS_SESSION_BUS_ADDRESS, SSH_AUTH_SOCK, GPG_AGENT_INFO, DISPLAY, WAYLAND_DISPLAY and
// XAUTHORITY leave the environment, so that tools fail with their own clear message instead of
// a refused connection. A run may still start a bus or a display of its own (dbus-run-session,
// xvfb-run): both work in the run's /tmp. The lock files of the displays in use are copied into
// it, so that `xvfb-run -a` picks a number that is free (the abstract socket of a display is
// shared with the session, see below).
// A place that holds a workspace folder or a home folder is not covered (the run would lose
// its work); its sockets are covered one by one then. A workspace that is /tmp, or a home
// folder below /tmp, keeps the real /tmp in the same way.
// Links: what a fenced run may write it may replace with a link, so a folder to cover is taken
// only when no link leads to it (a link ~/.gnupg -> /etc would otherwise empty /etc for every
// later run), a socket only when it is one, and each is mounted over through a descriptor opened
// without following any link. A workspace folder put back into the run's /tmp must be the one
// the fence's rule was made on: a link swapped in since would be mounted inside the run's folder
// and take its rights along, so the start fails instead.
//
// What the namespace does not hide: abstract sockets (@/tmp/.X11-unix/X0, the session bus of
// some set-ups) and signals, which belong to no file system; the fence's Landlock scopes keep
// them (fence_rules.h) on kernels that have them. The network is untouched, and so are services
// reached over it. Without a keeper, /proc still lists the session's processes; what a process
// holds is kept from the run by Landlock (no tracing or reading of a process outside the fence).
//
// How. The mount namespace is owned by a user namespace that maps the user's ids to themselves
// (the keeper's, where there is one: run_keeper.h), so no privilege is needed to make it. The
// command itself runs in a user namespace of its own below that one, and in the keeper's PID
// namespace with that namespace's /proc, so what root may do inside reaches nothing outside: no
// raw socket on the machine's network, no keys typed into another terminal, no mount, no process
// but fenced ones to see. Every capability is dropped before the command starts anyway
// (fence_rules.h). Mounts are private to the namespace (nothing propagates back), and a fenced
// command cannot undo them: its user namespace owns none of them, Landlock refuses every change
// of the mount tree, and a namespace the command makes itself gets them locked together.
// Where no user namespace can be made (a kernel or distribution that forbids them to
// unprivileged users), a root agent still makes the mount namespace; anyone else runs fenced as
// before, and the agent says once at start which doors stay open.
//
// Why these system calls and not a sandboxing program (bubblewrap does the same calls): it
// would stand between the agent and the command as a second exec per start, with its own
// argument language to quote, and the parent-death signal, the run's cgroup, its process group
// and the Landlock ruleset (a descriptor) would all have to pass through it. The child already
// makes its system calls between fork and exec; these are a few more.
//
// Cost: two namespaces joined, two made and about twenty mounts per start, tens of microseconds
// each, a read of the socket table when the fence is built, and a probe of one fork the first
// time a fence is prepared.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kavor::exec {

class RunKeeper;

// One mount of the run's view, made in this order.
struct ViewMount {
  enum class Kind {
    OwnTemp,     // `source` (the run's temporary folder) over `target` (/tmp)
    KeepInside,  // a folder below /tmp (a workspace folder, the run's own): taken before /tmp
                 // is covered, put back after
    Hide,        // an empty read-only folder over `target`
    HideFile,    // the null device over the file `target` (a socket)
    Own,         // an empty folder of the run's own over `target`, granted every fence right
    Terminals,   // a new terminal instance over /dev/pts (/dev/ptmx leads to it)
    Devices,     // an empty /dev of the run's own, with its usual links
    Device,      // a device of the machine: taken before /dev is covered, put back after
  };
  Kind kind;
  std::string target;
  std::string source{};             // OwnTemp
  std::string options{};            // Own: the folder's mode
  std::vector<std::string> make{};  // KeepInside: the folders to make in the new /tmp first
  // KeepInside: the folder the fence's rule was made on; another one found at `target` in the
  // child (a link or a folder swapped in since) fails the start.
  dev_t device = 0;
  ino_t inode = 0;
  // The child's own copy of the taken folder (KeepInside); written between fork and exec only.
  mutable int taken = -1;
};

// Everything the child needs to make the view, prepared before the fork.
struct RunView {
  bool own_users = true;  // a user namespace of its own (false: a mount namespace only, root)
  std::string uid_map;
  std::string gid_map;
  std::vector<ViewMount> mounts;
  std::vector<std::string> unset;  // names that leave the environment
  std::uint64_t rights = 0;        // the fence rights granted to the run's own folders
  std::uint64_t read_rights = 0;   // those granted to the run's own /proc
  // The keeper whose namespaces the run starts in (run_keeper.h); none: the run's user namespace
  // is made below the agent's, in the agent's PID namespace.
  std::shared_ptr<const RunKeeper> keeper{};
  // The mount the child could not make, for its report; written between fork and exec only.
  mutable int failed_at = -1;
};

// How much of a view this system lets the agent make; probed once, with one fork.
enum class ViewSupport { None, MountsOnly, Full };
ViewSupport run_view_support();

// A folder the fence granted rights to, as the descriptor its rule was made on found it.
struct GrantedFolder {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

// The view of one run whose temporary folder is `run_folder`, writing below `writable`, for the
// home folders `homes`, granting `rights` to its own folders and `read_rights` to its /proc; from
// the environment now, in the keeper's namespaces where there is a keeper.
RunView plan_run_view(const GrantedFolder& run_folder, const std::vector<GrantedFolder>& writable,
                      const std::vector<std::filesystem::path>& homes, std::uint64_t rights,
                      std::uint64_t read_rights);

// Whether a run writing below `writable` keeps the machine's /tmp in its view (a workspace that
// is /tmp, or a home folder below it); otherwise /tmp is the run's own, and nothing else of the
// machine's /tmp is in view.
bool view_keeps_real_temp(const std::vector<std::filesystem::path>& writable,
                          const std::vector<std::filesystem::path>& homes);

// Copies the lock files of the displays in use from /tmp into `run_folder`, so that a display
// started in the run picks a free number.
void mark_displays_in_use(const std::filesystem::path& run_folder);

// Between fork and exec: the namespaces (the keeper's user and PID namespaces and a mount
// namespace of the run's own, or without a keeper the run's user namespace with its mount
// namespace), the ids and the mounts, adding the rules of the run's own folders to
// `ruleset_fd`. System calls only. 0 on success, -1 with errno set (and `failed_at` the index of
// the mount that failed, when one did).
int enter_run_view(const RunView& view, int ruleset_fd);

// In the run's first process, inside the keeper's PID namespace (after enter_run_view, in the
// process it started there): the /proc of that namespace over the machine's, with its rule,
// then the run's own user namespace and ids. System calls only. 0 on success, -1 with errno set.
int finish_kept_view(const RunView& view, int ruleset_fd);

// Writes the id maps of a user namespace the caller has just made (setgroups refused first, as
// the kernel requires before a group map). System calls only. 0 on success, -1 with errno set.
int write_own_id_maps(const std::string& uid_map, const std::string& gid_map);

// What stays open to a fenced command on this system, one sentence each (none where every door
// is closed); the agent says them once when it starts. Probes with one fork the first time.
std::vector<std::string> open_doors();

// The variables a fenced run does not inherit.
inline constexpr const char* kSessionVariables[] = {
    "DBUS_SESSION_BUS_ADDRESS", "SSH_AUTH_SOCK", "GPG_AGENT_INFO", "DISPLAY",
    "WAYLAND_DISPLAY",          "XAUTHORITY",
};

}  // namespace kavor::exec
