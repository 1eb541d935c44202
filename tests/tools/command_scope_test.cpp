#include "tools/command_scope.h"

#include <gtest/gtest.h>

#include <map>

namespace kavor::tools {
namespace {

TEST(CommandScope, WordsAreCutAtShellPunctuationAndQuotesAreDropped) {
  EXPECT_EQ(command_words(R"(cat "a b.txt" | grep -n 'x' > out.txt; ls -)"),
            (std::vector<std::string>{"cat", "a", "b.txt", "grep", "-n", "x", "out.txt", "ls"}));
  EXPECT_EQ(command_words("curl https://example.org/a=b --data=x"),
            (std::vector<std::string>{"curl", "b", "--data", "x"}));  // "=" cuts the link
}

TEST(CommandScope, PathsOutsideTheFoldersAreFoundInEveryDisguise) {
  const Scope scope{"/home/me/ws", {"/data/extra"}};
  const fs::path cwd = "/home/me/ws/src";
  const std::map<std::string, std::string> vars = {
      {"HOME", "/home/me"}, {"TMPDIR", "/tmp"}, {"PROJECT", "/home/me/ws"}, {"EMPTY", ""}};
  const EnvLookup env = [&](const std::string& name) -> std::optional<std::string> {
    const auto it = vars.find(name);
    return it == vars.end() ? std::nullopt : std::optional(it->second);
  };
  const auto outside = [&](const std::string& command) {
    return command_reaches_outside(command, cwd, scope, env);
  };
  for (const char* inside :
       {"make -j4", "cat ../README.md", "ls /home/me/ws", "cp a /data/extra/b", "grep -rn TODO .",
        "echo $PROJECT/x", "echo $SHELL", "git log --oneline",
        "curl https://example.org/etc/passwd", "echo %PATH%x", "cd $EMPTY/x"}) {
    EXPECT_FALSE(outside(inside)) << inside;
  }
  for (const char* out :
       {"cat /etc/passwd", "ls ../../ws-evil", "rm -rf ~", "cat ~/.ssh/id_rsa", "ls $HOME",
        "cat ${HOME}/.bashrc", "ls $env:HOME/x", "cat %HOME%\\x", "gcc -I/usr/include a.c",
        "tar -C /opt x", "ls \"/etc\"", "echo x>/tmp/y", "ls $TMPDIR"}) {
    EXPECT_TRUE(outside(out)) << out;
  }
}

}  // namespace
}  // namespace kavor::tools
