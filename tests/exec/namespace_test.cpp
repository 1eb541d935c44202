// The doors of the user's session, tried from a fenced command: each is open to the same command
// run unfenced (so each row shows a real door), and closed to it fenced. Then the ordinary work
// that must still run fenced: a C project with make and git, a bus and a display of the run's
// own, its temporary folder.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <fstream>
#include <string>
#include <vector>

#include "app/tools.h"
#include "exec/fence.h"
#include "exec/namespace.h"
#include "exec/run_keeper.h"
#include "platform/loopback_listener.h"
#include "run_support.h"

namespace kavor::exec {
namespace namespace_test {
namespace {

using test::EnvFor;
using test::output;

// Started by the test, outside any fence; ended with it.
class Services {
 public:
  // Asked to end first, so that the display removes its lock file.
  ~Services() {
    for (const pid_t pid : pids_) ::kill(pid, SIGTERM);
    for (const pid_t pid : pids_) {
      if (!kavor::test::wait_until([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; },
                                   std::chrono::seconds(2))) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
  }
  // `script` runs in the foreground of a child of its own; it should exec the service.
  void start(const std::string& script) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      ::execl("/bin/sh", "sh", "-c", script.c_str(), nullptr);
      ::_exit(127);
    }
    pids_.push_back(pid);
  }

 private:
  std::vector<pid_t> pids_;
};

int sh(const std::string& script) {
  return std::system(("sh -c '" + script + "' >/dev/null 2>&1").c_str());
}

std::string listener(const std::string& address) {
  return "exec python3 -c 'import socket,sys\ns=socket.socket(socket.AF_UNIX)\n"
         "s.bind(sys.argv[1].replace(\"@\",\"\\0\",1))\ns.listen()\n"
         "while True: s.accept()[0].close()' '" +
         address + "'";
}

std::string connects(const std::string& address) {
  return "python3 -c 'import socket,sys;s=socket.socket(socket.AF_UNIX);"
         "s.connect(sys.argv[1].replace(\"@\",\"\\0\",1))' '" +
         address + "' && echo REACHED";
}

class NamespaceTest : public test::RealProcessTest {
 protected:
  void SetUp() override {
    if (landlock_abi() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
    if (run_view_support() == ViewSupport::None) GTEST_SKIP() << "no namespace can be made";
    // The session lives outside /tmp, where a run's own /tmp would hide it by itself.
    ASSERT_TRUE(elsewhere_.isValid());
    fs::create_directories(base_ / "home" / ".gnupg");
    fs::create_directories(base_ / "run");
    fs::create_directories(base_ / "agent");
    fs::create_directories(ws_);
    fs::permissions(base_ / "run", fs::perms::owner_all);
    fs::permissions(base_ / "home" / ".gnupg", fs::perms::owner_all);
  }

  test::Ran fenced(const std::string& script, const fs::path& ws) {
    return test::run(test::bash(script, ws), {}, RunOptions{true, app::program_fence(), {ws}});
  }
  test::Ran unfenced(const std::string& script) { return test::run(test::bash(script, ws_)); }

  QTemporaryDir elsewhere_{"/var/tmp/kavor-doors-XXXXXX"};
  fs::path base_ = fs::canonical(elsewhere_.path().toStdString());
  fs::path ws_ = base_ / "ws";
};

bool reached(const test::Ran& ran) {
  return output(ran.outcome).find("REACHED") != std::string::npos;
}

// Each door of the session, real where it can run here: a session bus, a key agent, gpg-agent,
// an X display, a container engine's socket (a stand-in listener), signals, terminals, the
// agent's own process, and root's capabilities.
TEST_F(NamespaceTest, TheSessionsDoorsAreOpenUnfencedAndClosedFenced) {
  const std::string run = (base_ / "run").string();
  const std::string bus = run + "/bus";
  const std::string ssh = (base_ / "agent" / "ssh.sock").string();
  const std::string gnupg = (base_ / "home" / ".gnupg").string();
  const std::string docker = (base_ / "docker.sock").string();
  // The display picks a free number itself: tests run side by side.
  Services services;
  const fs::path display_file = base_ / "display";
  services.start("exec Xvfb -displayfd 1 -nolisten tcp > '" + display_file.string() + "'");
  ASSERT_TRUE(kavor::test::wait_until([&] { return !test::first_line(display_file).empty(); },
                                      std::chrono::seconds(20)));
  const std::string display = test::first_line(display_file);
  const std::string x_socket = "/tmp/.X11-unix/X" + display;
  const test::HomeFor home(base_ / "home");
  const EnvFor runtime("XDG_RUNTIME_DIR", run);
  const EnvFor bus_address("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus);
  const EnvFor agent("SSH_AUTH_SOCK", ssh);
  const EnvFor x("DISPLAY", ":" + display);
  const EnvFor engine("DOCKER_HOST", "unix://" + docker);
  const EnvFor wayland("WAYLAND_DISPLAY", "wayland-0");
  const EnvFor xauthority("XAUTHORITY", (base_ / "home" / ".Xauthority").string());
  const EnvFor gpg_info("GPG_AGENT_INFO", gnupg + "/S.gpg-agent:0:1");

  services.start("exec dbus-daemon --session --nofork --address=unix:path=" + bus);
  services.start("exec ssh-agent -D -a " + ssh);
  services.start("exec gpg-agent --homedir " + gnupg + " --daemon --no-detach");
  services.start(listener(docker));
  // The desktop keyring, unlocked, on the test's own bus: the Secret Service and its control.
  fs::create_directories(base_ / "home" / ".local" / "share" / "keyrings");
  std::ofstream(base_ / "keyring-password") << "password";
  ASSERT_TRUE(kavor::test::wait_until([&] { return fs::exists(bus); }, std::chrono::seconds(20)));
  services.start("exec gnome-keyring-daemon --foreground --unlock --components=secrets < " +
                 (base_ / "keyring-password").string());
  fs::create_directories(base_ / "home" / ".ssh");
  fs::create_directories(base_ / "elsewhere");
  const std::vector<std::string> listened = {(base_ / "home" / ".ssh" / "cm-host").string(),
                                             (base_ / "elsewhere" / "server.sock").string()};
  for (const std::string& socket : listened) services.start(listener(socket));
  const pid_t victim = ::fork();
  if (victim == 0) {
    ::execlp("sleep", "sleep", "60", nullptr);
    ::_exit(127);
  }
  ASSERT_TRUE(kavor::test::wait_until(
      [&] {
        for (const std::string& socket : listened) {
          if (!fs::exists(socket)) return false;
        }
        return fs::exists(bus) && fs::exists(ssh) && fs::exists(docker) && fs::exists(x_socket) &&
               fs::exists(gnupg + "/S.gpg-agent") && fs::exists(run + "/keyring/control");
      },
      std::chrono::seconds(20)));
  ASSERT_EQ(sh("ssh-keygen -q -t ed25519 -N \"\" -f " + (base_ / "key").string() +
               " && SSH_AUTH_SOCK=" + ssh + " ssh-add " + (base_ / "key").string()),
            0);
  // A throw-away private key in the gpg-agent, and a password in the keyring.
  const std::string gpg =
      "gpg --homedir " + gnupg + " --batch --pinentry-mode loopback --passphrase ''";
  ASSERT_EQ(std::system((gpg + " --quick-gen-key 'Test <t@example.invalid>' ed25519 default never "
                               ">/dev/null 2>&1")
                            .c_str()),
            0);
  ASSERT_EQ(std::system("printf s3cret | secret-tool store --label=t service kavor account t"), 0);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  const int slave = ::open(terminal.c_str(), O_RDWR | O_NOCTTY);
  const std::string typed = "typed-password\n";

  // Named by its id: a fenced command's parent is no process of its namespace.
  const std::string agent_pid = std::to_string(::getpid());
  struct Door {
    const char* name;
    std::string probe;  // prints REACHED when it got through
    bool only_root = false;
  };
  const std::vector<Door> doors = {
      {"the session bus in the runtime folder, by its path",
       "gdbus call --address unix:path=" + bus +
           " --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus --method "
           "org.freedesktop.DBus.GetId && echo REACHED"},
      {"another socket of the runtime folder (the keyring's control)",
       connects(run + "/keyring/control")},
      {"the key agent, by its path", "SSH_AUTH_SOCK=" + ssh + " ssh-add -l && echo REACHED"},
      {"the Secret Service on the session bus, and a password it keeps",
       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus +
           " secret-tool lookup service kavor account t | grep -q s3cret && echo REACHED"},
      {"a private key through gpg-agent",
       gpg + " --armor --export-secret-keys | grep -q 'PRIVATE KEY' && echo REACHED"},
      {"gpg-agent in ~/.gnupg", "gpg-connect-agent --no-autostart --homedir " + gnupg +
                                    " 'GETINFO pid' /bye | grep -q '^D ' && echo REACHED"},
      {"the display's socket in /tmp",
       "DISPLAY=:" + display + " xdotool getmouselocation && echo REACHED"},
      {"the display's abstract socket", connects("@" + x_socket)},
      {"the container engine named by DOCKER_HOST", connects(docker)},
      {"a signal to the agent", "kill -0 " + agent_pid + " && echo REACHED"},
      {"a signal to another program of the user",
       "kill -0 " + std::to_string(victim) + " && echo REACHED"},
      {"another terminal of the user",
       "timeout 5 head -n1 " + terminal + " | grep -q typed && echo REACHED"},
      {"the agent's environment",
       "tr '\\0' '\\n' < /proc/" + agent_pid + "/environ | grep -q = && echo REACHED"},
      {"the variables that name the doors",
       "[ -n \"$DBUS_SESSION_BUS_ADDRESS$SSH_AUTH_SOCK$GPG_AGENT_INFO$DISPLAY$WAYLAND_DISPLAY"
       "$XAUTHORITY\" ] && echo REACHED"},
      {"root's raw sockets",
       "python3 -c 'import socket;socket.socket(socket.AF_INET,socket.SOCK_RAW,1)' && echo REACHED",
       true},
      {"root's capabilities", "grep -q 'CapEff:.*[1-9a-f]' /proc/self/status && echo REACHED",
       true},
      {"a socket no variable names (a multiplexed ssh connection in ~/.ssh)",
       connects((base_ / "home" / ".ssh" / "cm-host").string())},
      {"a socket of a service elsewhere", connects((base_ / "elsewhere" / "server.sock").string())},
      {"the machine's other devices (disks, consoles)",
       "ls /dev | grep -qvxE 'null|zero|full|random|urandom|tty|ptmx|pts|shm|fd|std(in|out|err)' "
       "&& echo REACHED"},
  };
  for (const Door& door : doors) {
    SCOPED_TRACE(door.name);
    if (door.only_root && ::geteuid() != 0) continue;
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    const test::Ran open = unfenced(door.probe);
    EXPECT_TRUE(reached(open)) << output(open.outcome);
    ::tcflush(slave, TCIFLUSH);
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    const test::Ran closed = fenced(door.probe, ws_);
    EXPECT_FALSE(reached(closed)) << output(closed.outcome);
    ::tcflush(slave, TCIFLUSH);
  }
  ::kill(victim, SIGKILL);
  ::waitpid(victim, nullptr, 0);
  ::close(slave);
  ::close(master);
}

// What a project's build and tests do still works fenced, with the workspace outside /tmp and
// inside it (where the run's own /tmp must put it back).
TEST_F(NamespaceTest, OrdinaryWorkStillRunsFenced) {
  const test::HomeFor home(base_ / "home");
  // A socket in another account's private folder is listed for every account; a run cannot
  // reach it, and must not fail to start over it.
  Services services;
  if (::geteuid() == 0) {
    const fs::path other = base_ / "other";
    fs::create_directories(other);
    services.start(listener((other / "sock").string()));
    ASSERT_TRUE(kavor::test::wait_until([&] { return fs::exists(other / "sock"); }));
    ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
    fs::permissions(other, fs::perms::owner_all);
  }
  const char* project =
      "printf '#include <stdio.h>\\nint main(void){puts(\"hello\");return 0;}\\n' > main.c && "
      "printf 'hello: main.c\\n\\tcc -o hello main.c\\ntest: hello\\n\\t./hello\\n' > Makefile && "
      "make -s test && git init -q && git add . && "
      "git -c user.name=t -c user.email=t@example.invalid commit -qm first && git log --oneline";
  const std::vector<std::pair<const char*, std::string>> work = {
      {"a C project built, tested and committed", project},
      {"the run's temporary folder",
       "echo kept > \"$TMPDIR/f\" && cat \"$TMPDIR/f\" && "
       "mktemp -d && [ /tmp -ef \"$TMPDIR\" ]"},
      {"a session bus of the run's own", "dbus-run-session -- true"},
      {"a display of the run's own", "xvfb-run -a true"},
      {"shared memory of the run's own",
       "echo x > /dev/shm/kavor-door-test && cat /dev/shm/kavor-door-test"},
      {"a terminal of the run's own", "script -qc tty /dev/null | grep -q /dev/pts/"},
      {"a project's tests as the test tool finds them (npm test)",
       "printf '{\"scripts\":{\"test\":\"node -e 1\"}}' > package.json && npm test -s && "
       "rm package.json"},
      {"process ids that /proc and ps agree with",
       "sleep 30 & p=$!; ps -o pid= -p $p | grep -qw $p && [ -d /proc/$p ] && kill $p"},
  };
  QTemporaryDir in_temp;
  const fs::path inside = fs::canonical(in_temp.path().toStdString()) / "ws";
  for (const fs::path& ws : {ws_, inside}) {
    fs::create_directories(ws);
    for (const auto& [name, script] : work) {
      SCOPED_TRACE(std::string(name) + " in " + ws.string());
      const test::Ran ran = fenced(script, ws);
      EXPECT_TRUE(ran.outcome.ok()) << output(ran.outcome);
    }
    EXPECT_TRUE(fs::exists(ws / "hello"));
    EXPECT_TRUE(fs::exists(ws / ".git"));
  }
  EXPECT_FALSE(fs::exists("/dev/shm/kavor-door-test"));
}

// A server a run leaves running (here one that answers after the run has ended) keeps its
// workspace below /tmp, which the run's own /tmp holds, and that /tmp: both go only once it has
// ended.
TEST_F(NamespaceTest, WhatARunLeavesRunningKeepsItsWorkspaceAndTemporaryFolder) {
  QTemporaryDir in_temp;
  const fs::path ws = fs::canonical(in_temp.path().toStdString()) / "ws";
  fs::create_directories(ws);
  const test::Ran ran = fenced(
      "echo \"$TMPDIR\" > where; echo kept > /tmp/own; "
      "setsid -f sh -c 'while [ ! -e go ]; do sleep 0.05; done; "
      "cat /tmp/own > " +
          ws.string() + "/answer' < /dev/null > /dev/null 2>&1",
      ws);
  ASSERT_TRUE(ran.outcome.ok()) << output(ran.outcome);
  std::string folder = test::read_all(ws / "where");
  folder.pop_back();
  std::ofstream(ws / "go");
  ASSERT_TRUE(kavor::test::wait_until([&] { return !test::read_all(ws / "answer").empty(); },
                                      std::chrono::seconds(5)))
      << "what the run left lost its workspace";
  EXPECT_EQ(test::read_all(ws / "answer"), "kept\n");
  ASSERT_TRUE(kavor::test::wait_until(
      [&] { return fenced("true", ws).outcome.ok() && !fs::exists(fs::symlink_status(folder)); },
      std::chrono::seconds(5)))
      << folder;
}

// What a fenced run leaves listening on a loopback port (the local service's, while it
// restarts) belongs to the user too; it is taken for the user's own only when a program of the
// user's outside the fence holds it, however it hides where it is kept. And what a fenced run
// leaves running, undumpable or ended but not collected, never makes the user's own refused.
TEST_F(NamespaceTest, AListenerIsTheUsersOwnOnlyWhenAProgramOutsideTheFenceHoldsIt) {
  if (!runs_end_with_agent()) GTEST_SKIP() << "fenced runs share the agent's PID namespace here";
  const std::string bound =
      "import socket,ctypes,os,threading,time\n"
      "s=socket.socket()\ns.bind(('127.0.0.1',0))\ns.listen()\nport=s.getsockname()[1]\n";
  const std::string serve =
      "open('port','w').write(str(port))\nwhile True: s.accept()[0].close()\n";
  // PR_SET_DUMPABLE 0: its descriptors cannot be read by the user's other programs.
  const std::string undumpable = "ctypes.CDLL(None).prctl(4,0,0,0,0)\n";
  // The listener travels in a message to itself, in no descriptor table, until it is looked at.
  const std::string in_flight =
      "a,b=socket.socketpair()\nsocket.send_fds(a,[b'x'],[s.fileno()])\ns.close()\n"
      "open('port','w').write(str(port))\ntime.sleep(2)\n"
      "s=socket.socket(fileno=socket.recv_fds(b,1,1)[1][0])\n"
      "while True: s.accept()[0].close()\n";
  // Kept only by a thread with a descriptor table of its own (CLONE_FILES unshared).
  const std::string in_a_thread =
      "held=threading.Event()\n"
      "def keep():\n  ctypes.CDLL(None).unshare(0x400)\n  held.set()\n  time.sleep(60)\n"
      "threading.Thread(target=keep,daemon=True).start()\nheld.wait()\nos.close(s.detach())\n"
      "open('port','w').write(str(port))\ntime.sleep(60)\n";
  // Left by an earlier fenced run: an undumpable process, and a child ended but not collected.
  const std::string leftovers =
      "setsid -f python3 -c 'import ctypes,os,time\nctypes.CDLL(None).prctl(4,0,0,0,0)\n"
      "if os.fork()==0: os._exit(0)\ntime.sleep(60)' < /dev/null > /dev/null 2>&1";
  struct Row {
    const char* name;
    std::string program;
    bool fenced;
    platform::PortOwner owner;
  };
  const std::vector<Row> rows = {
      {"the user's own listener", bound + serve, false, platform::PortOwner::Ours},
      {"a fenced run's listener", bound + serve, true, platform::PortOwner::Unproven},
      {"one whose descriptors cannot be read", bound + undumpable + serve, true,
       platform::PortOwner::Unproven},
      {"one kept in flight while it is looked at", bound + in_flight, true,
       platform::PortOwner::Unproven},
      {"one kept by a thread's own descriptors", bound + in_a_thread, true,
       platform::PortOwner::Unproven},
      {"the user's own beside what fenced runs left", bound + serve, false,
       platform::PortOwner::Ours},
  };
  ASSERT_TRUE(fenced(leftovers, ws_).outcome.ok());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(ws_ / "port");
    std::ofstream(ws_ / "server.py") << row.program;
    const std::string start = "setsid -f python3 server.py < /dev/null > /dev/null 2>&1";
    ASSERT_TRUE((row.fenced ? fenced(start, ws_) : unfenced(start)).outcome.ok());
    ASSERT_TRUE(kavor::test::wait_until([&] { return !test::read_all(ws_ / "port").empty(); }));
    const unsigned port = static_cast<unsigned>(std::stoul(test::read_all(ws_ / "port")));
    EXPECT_EQ(platform::loopback_port_owner("127.0.0.1", port).owner, row.owner);
    // Looked at again: a verdict is not remembered for a listener held in the fence.
    EXPECT_EQ(platform::loopback_port_owner("127.0.0.1", port).owner, row.owner);
    for (const pid_t pid : test::pids_running("server.py")) ::kill(pid, SIGKILL);
  }
  for (const pid_t pid : test::pids_running("python3")) {
    if (test::read_all("/proc/" + std::to_string(pid) + "/cmdline").find("prctl") !=
        std::string::npos) {
      ::kill(pid, SIGKILL);
    }
  }
}

// What a fenced run can write, it can swap for a link. A cover planned on such a path covers
// nothing else, and a workspace folder swapped for a link after its rule was made is not taken
// into the view: the start fails instead of giving the link's target the run's rights.
TEST_F(NamespaceTest, ALinkSwappedInByAnEarlierRunWidensNothing) {
  const fs::path home = base_ / "home";
  const test::HomeFor as_home(home);
  fs::remove_all(home / ".gnupg");
  ASSERT_TRUE(fenced("ln -s /etc .gnupg", home).outcome.ok());
  // The folder is not covered (the file rules refuse reading a refused place's target, links
  // followed, which a run that may write the home folder could do to itself anyway).
  const test::Ran after = fenced("[ \"$(ls /etc | wc -l)\" -gt 10 ]", home);
  EXPECT_TRUE(after.outcome.ok()) << output(after.outcome);

  const fs::path secret = base_ / "secret";
  fs::create_directories(secret);
  std::ofstream(secret / "key") << "PRIVATE";
  QTemporaryDir in_temp;
  const fs::path ws = fs::canonical(in_temp.path().toStdString()) / "sub";
  for (const fs::path& target : {fs::path(), secret}) {
    SCOPED_TRACE(target.string());
    fs::create_directories(ws);
    auto fence = prepare_fence({{secret}}, {ws});
    ASSERT_TRUE(fence.ok()) << fence.message();
    if (!target.empty()) {
      fs::rename(ws, ws.string() + ".real");
      fs::create_directory_symlink(target, ws);
    }
    SpawnRequest request{
        ProcessDescription{"bash", {"-c", "cat key; echo x > written"}, {}, "bash"}, ws, "", ""};
    request.fence_fd = fence.value()->ruleset_fd();
    request.view = &*fence.value()->view();
    Result<std::unique_ptr<Child>> started = spawn(request);
    if (started.ok()) started.value()->wait();
    EXPECT_EQ(started.ok(), target.empty()) << started.message();
    if (!started.ok()) {
      EXPECT_NE(started.message().find(" at " + ws.string()), std::string::npos)
          << started.message();
    }
    EXPECT_FALSE(fs::exists(secret / "written"));
    if (!target.empty()) {
      fs::remove(ws);
      fs::rename(ws.string() + ".real", ws);
    }
  }
}

}  // namespace
}  // namespace namespace_test
}  // namespace kavor::exec
