#include "exec/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/command_output.h"

namespace kavor::exec {
namespace command_line_test {
namespace {

TEST(CommandLine, WindowsFormsAreTheCommandLinesThoseProgramsReceive) {
  const auto line = [](const std::string& shell, const std::string& command) {
    return windows_command_line(shell_process(Platform::Windows, shell, command));
  };
  EXPECT_EQ(line("cmd", "dir \"C:\\Program Files\" & echo ok"),
            R"("cmd.exe" /D /S /C "chcp 65001>nul & dir "C:\Program Files" & echo ok")");
  EXPECT_EQ(line("bash", "ls -la"), R"("bash.exe" -lc "ls -la")");
  EXPECT_EQ(line("sh", "echo"), R"("bash.exe" -lc echo)");
  EXPECT_EQ(
      line("", "Get-ChildItem \"C:\\a b\\\""),
      R"("powershell.exe" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass )"
      R"(-Command "[Console]::OutputEncoding=[Text.Encoding]::UTF8; Get-ChildItem \"C:\a b\\\"")");
  EXPECT_EQ(line("pwsh", "x").substr(0, 17), R"("powershell.exe" )");  // any other name

  // Backslashes are doubled only before a quote; empty arguments survive as "".
  EXPECT_EQ(windows_command_line(
                {"C:\\Tools dir\\p.exe", {"", "a\\b", "a\\\\", "tab\there", "q\""}, {}, "batch"}),
            R"("C:\Tools dir\p.exe" "" a\b a\\ "tab	here" "q\"")");
  EXPECT_EQ(windows_command_line({"x", {"ends in\\"}, {}, "batch"}), R"("x" "ends in\\")");

  EXPECT_EQ(taskkill_args(4242), (std::vector<std::string>{"/PID", "4242", "/T", "/F"}));
  EXPECT_EQ(wsl_listing_process().args, (std::vector<std::string>{"-l", "-v"}));
  EXPECT_EQ(
      wsl_process("Ubuntu", "C:\\w", "make").args,
      (std::vector<std::string>{"-d", "Ubuntu", "--cd", "C:\\w", "-e", "bash", "-lc", "make"}));
  EXPECT_EQ(wsl_process("", "C:\\w", "make").args,
            (std::vector<std::string>{"--cd", "C:\\w", "-e", "bash", "-lc", "make"}));
}

TEST(CommandLine, LinuxRunsBashForBlankBashAndShAndTheLangFollowsTheShellUsed) {
  struct Case {
    const char* shell;
    const char* program;
    const char* lang;
  };
  for (const Case& c : {Case{"", "bash", "bash"}, Case{"bash", "bash", "bash"},
                        Case{"sh", "bash", "bash"}, Case{"powershell", "pwsh", "powershell"},
                        Case{"Bash", "pwsh", "powershell"}, Case{"cmd", "cmd.exe", "batch"}}) {
    const ProcessDescription process = shell_process(Platform::Linux, c.shell, "echo hi");
    EXPECT_EQ(process.program, c.program) << c.shell;
    EXPECT_EQ(process.lang, c.lang) << c.shell;
  }
  EXPECT_EQ(shell_process(Platform::Linux, "", "echo hi").args,
            (std::vector<std::string>{"-lc", "echo hi"}));
  EXPECT_EQ(shell_process(Platform::Linux, "powershell", "ls").args,
            shell_process(Platform::Windows, "powershell", "ls").args);
  EXPECT_EQ(shell_process(Platform::Windows, "", "ls").lang, "powershell");
}

TEST(CommandLine, TimeoutsAreClampedAndDefaultToTwoMinutes) {
  EXPECT_EQ(clamp_timeout(std::nullopt).count(), 120);
  EXPECT_EQ(clamp_timeout(0).count(), 1);
  EXPECT_EQ(clamp_timeout(300).count(), 300);
  EXPECT_EQ(clamp_timeout(5000).count(), 1800);
  EXPECT_EQ(clamp_timeout(~0ULL).count(), 1800);
}

// What bash reads back from a quoted docker command must be the arguments as given.
std::vector<std::string> bash_reads(const std::string& command_text) {
  const std::string script = "printf '%s\\0' " + command_text.substr(7);  // after "docker "
  return kavor::test::nul_separated(kavor::test::command_output("bash -c " + posix_quote(script)));
}

TEST(CommandLine, DockerArgumentsAreQuotedOnlyWhenNeededAndBashReadsThemBack) {
  EXPECT_EQ(docker_command_text(
                {"run", "--rm", "-v", "/src:/app", "alpine:3.19", "user@host", "a=b,c+d"}),
            "docker run --rm -v /src:/app alpine:3.19 user@host a=b,c+d");
  EXPECT_EQ(docker_command_text({"exec", "box", "sh", "-c", "echo it's $HOME"}),
            "docker exec box sh -c 'echo it'\\''s $HOME'");
  EXPECT_EQ(posix_quote("a b"), "'a b'");
  EXPECT_EQ(posix_quote(""), "''");
  EXPECT_EQ(posix_quote("*.txt"), "'*.txt'");
  EXPECT_EQ(posix_quote("caf\xC3\xA9"), "'caf\xC3\xA9'");  // ASCII only stays bare

  const std::vector<std::string> hostile = {"plain", "",     "two words", "it's",
                                            "$(id)", "`id`", "a\nb",      "'; rm -rf ~; '",
                                            "\\",    "\"",   "!x",        "~"};
  EXPECT_EQ(bash_reads(docker_command_text(hostile)), hostile);
}

}  // namespace
}  // namespace command_line_test
}  // namespace kavor::exec
