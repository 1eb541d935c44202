// The four command tools as the dispatcher sees them: what a call decodes to, and one call of
// each running for real through its decoder.
#include "tools/command_tools.h"

#include <gtest/gtest.h>

#include <fstream>

#include "exec/run_support.h"
#include "support/recording_host.h"

namespace kavor::tools {
namespace command_tools_test {
namespace {

using exec::test::RealProcessTest;

struct Expect {
  const char* tool;
  common::Json args;
  // Either the decoded call (kind, summary, detail, lang, outside, cwd) or the refusal.
  std::string kind_or_error;
  std::string summary = {};
  std::string detail = {};
  std::string lang = {};
  bool outside = false;
  std::string cwd = ".";
};

class CommandToolsTest : public RealProcessTest {
 protected:
  void SetUp() override {
    fs::create_directory(folder_ / "sub");
    std::ofstream(folder_ / "go.mod") << "module x\n";
    std::ofstream(folder_ / "file.txt") << "x";
    install_command_tools(table_);
    scope_ = Scope{folder_, {}};
  }
  Result<Decoded> decode(const char* tool, const common::Json& args) {
    return (*table_.find(tool))(args, scope_);
  }
  ToolResult run(const char* tool, const common::Json& args, test::RecordingHost& host,
                 common::StopFlag stop = std::make_shared<std::atomic<bool>>(false)) {
    Result<Decoded> decoded = decode(tool, args);
    if (!decoded.ok()) return decoded.error();
    Decoded& d = decoded.value();
    if (!d.run_async) return d.run(stop);
    return kavor::test::run(d.run_async(RunContext{"call-1", "chat", stop, &host}));
  }
  ToolTable table_;
  Scope scope_;
};

TEST_F(CommandToolsTest, CallsDecodeToTheCommandAsItWillRunOrToTheRefusal) {
  const std::string root = folder_.string();
  const std::string docker_run = "docker run --rm -v /etc:/x alpine sh -c 'echo hi'";
  const Expect cases[] = {
      {"shell",
       {{"command", "make -j4\nmake test"}},
       "exec",
       "make -j4 \u2026",
       "make -j4\nmake test",
       "bash"},
      {"shell", {{"command", "ls"}, {"cwd", "sub"}}, "exec", "ls", "ls", "bash", false, "sub"},
      {"shell",
       {{"command", "cat /etc/passwd"}},
       "exec",
       "cat /etc/passwd",
       "cat /etc/passwd",
       "bash",
       true},
      {"shell", {{"command", "ls"}, {"cwd", "/"}}, "exec", "ls", "ls", "bash", true, "/"},
      {"shell", {{"command", "ls"}, {"shell", "powershell"}}, "exec", "ls", "ls", "powershell"},
      {"shell", {{"command", "dir"}, {"shell", "cmd"}}, "exec", "dir", "dir", "batch"},
      {"shell", {{"command", " \n\t"}}, "command is empty."},
      {"shell", nullptr, "command is empty."},
      {"shell",
       {{"command", "ls"}, {"cwd", "missing"}},
       "The folder " + root + "/missing does not exist."},
      {"shell", {{"command", "ls"}, {"cwd", "file.txt"}}, root + "/file.txt is not a folder."},
      {"run_tests", common::Json::object(), "exec", "go test ./...", "go test ./...", "bash"},
      {"run_tests",
       {{"command", "pytest -x"}, {"shell", "sh"}},
       "exec",
       "pytest -x",
       "pytest -x",
       "bash"},
      {"run_tests", {{"cwd", "sub"}}, "No test runner found in sub; pass command."},
      {"run_tests", {{"cwd", "missing"}}, "The folder " + root + "/missing does not exist."},
      {"wsl", common::Json::object(), "read", "wsl -l -v", "wsl -l -v", "bash"},
      {"wsl",
       {{"distro", "Ubuntu"}, {"cwd", "sub"}},
       "read",
       "wsl -l -v",
       "wsl -l -v",
       "bash",
       false,
       "sub"},
      {"wsl",
       {{"command", "uname -a"}, {"distro", "Ubuntu"}},
       "exec",
       "uname -a",
       "uname -a",
       "bash"},
      {"wsl",
       {{"command", "cat ~/.bashrc"}},
       "exec",
       "cat ~/.bashrc",
       "cat ~/.bashrc",
       "bash",
       true},
      {"docker",
       {{"args", {"run", "--rm", "-v", "/etc:/x", "alpine", "sh", "-c", "echo hi"}}},
       "exec",
       docker_run,
       docker_run,
       "bash",
       true},
      {"docker",
       {{"args", {"ps", 3, nullptr, "-a"}}},
       "exec",
       "docker ps -a",
       "docker ps -a",
       "bash"},
      {"docker",
       {{"args", common::Json::array()}},
       "args is empty; pass the docker arguments as a list."},
      {"docker", {{"args", "ps"}}, "args is empty; pass the docker arguments as a list."},
      {"docker", {{"args", {1, 2}}}, "args is empty; pass the docker arguments as a list."},
      // What runs must be what was shown: a C string would end at the NUL.
      {"shell",
       {{"command", std::string("echo safe\0; rm -rf ~", 20)}},
       "command contains a NUL character, which no program can receive."},
      {"shell",
       {{"command", "ls"}, {"cwd", std::string("sub\0x", 5)}},
       "cwd contains a NUL character, which no program can receive."},
      {"run_tests",
       {{"command", std::string("a\0b", 3)}},
       "command contains a NUL character, which no program can receive."},
      {"wsl",
       {{"command", "ls"}, {"distro", std::string("U\0", 2)}},
       "distro contains a NUL character, which no program can receive."},
      {"docker",
       {{"args", {"run", std::string("-v\0/etc:/x", 10)}}},
       "args contains a NUL character, which no program can receive."},
  };
  for (const Expect& c : cases) {
    const Result<Decoded> result = decode(c.tool, c.args);
    const std::string what = std::string(c.tool) + " " + c.args.dump();
    if (!result.ok()) {
      EXPECT_EQ(result.message(), c.kind_or_error) << what;
      continue;
    }
    const Decoded& d = result.value();
    EXPECT_EQ(kind_name(d.kind), c.kind_or_error) << what;
    EXPECT_EQ(d.summary, c.summary) << what;
    EXPECT_EQ(d.detail, c.detail) << what;
    EXPECT_EQ(d.lang, c.lang) << what;
    EXPECT_EQ(d.outside, c.outside) << what;
    EXPECT_EQ(d.cwd, c.cwd) << what;
    EXPECT_EQ(static_cast<bool>(d.run_async), d.kind == ToolKind::Exec) << what;
    // Only what runs in the docker daemon or a virtual machine is beyond the fence.
    const bool elsewhere = std::string(c.tool) == "docker" || std::string(c.tool) == "wsl";
    EXPECT_EQ(d.unfenced, elsewhere && d.kind == ToolKind::Exec) << what;
  }
}

TEST_F(CommandToolsTest, EachToolRunsForRealAndStreamsItsOutputUnderTheCallId) {
  test::RecordingHost host;
  // "sh" runs bash, as a login shell, in the working folder.
  const ToolResult shell = run("shell",
                               {{"command",
                                 "echo $0 $PWD; shopt -q login_shell && "
                                 "echo login"},
                                {"shell", "sh"},
                                {"cwd", "sub"}},
                               host);
  EXPECT_TRUE(shell.ok());
  // A login shell runs the machine's profile first, which may print lines of its own.
  const std::string expected = "bash " + (folder_ / "sub").string() + "\nlogin\n";
  EXPECT_TRUE(shell.value().output.ends_with(expected)) << shell.value().output;
  const auto events = host.events(QStringLiteral("agent://output"));
  ASSERT_FALSE(events.empty());
  std::string streamed;
  for (const common::Json& e : events) {
    EXPECT_EQ(e["call_id"], "call-1");
    streamed += e["chunk"].get<std::string>();
  }
  EXPECT_EQ(streamed, shell.value().output);

  const ToolResult tests = run("run_tests", {{"command", "exit 2"}}, host);
  EXPECT_FALSE(tests.ok());
  EXPECT_EQ(tests.message(), "(no output)\n[exit code 2]");
  const ToolResult powershell = run("shell", {{"command", "ls"}, {"shell", "powershell"}}, host);
  if (!exec::find_program("pwsh")) {
    EXPECT_EQ(powershell.message(), "pwsh is not installed or not on PATH.");
  }
  EXPECT_EQ(run("shell", {{"command", "dir"}, {"shell", "cmd"}}, host).message(),
            "cmd.exe is not installed or not on PATH.");
  EXPECT_EQ(run("wsl", {{"command", "uname"}}, host).message(),
            "wsl.exe is not installed or not on PATH.");
  EXPECT_EQ(run("wsl", common::Json::object(), host).message(),
            "WSL is not available: wsl.exe is not installed or not on PATH.");
  // The docker client here has no daemon to talk to; its own version it knows.
  const ToolResult docker = run("docker", {{"args", {"--version"}}}, host);
  if (exec::find_program("docker")) {
    EXPECT_TRUE(docker.ok()) << docker.message();
    EXPECT_EQ(docker.value().output.rfind("Docker version", 0), 0u) << docker.value().output;
  } else {
    EXPECT_EQ(docker.message(), "docker is not installed or not on PATH.");
  }
}

}  // namespace
}  // namespace command_tools_test
}  // namespace kavor::tools
