#include "tools/command_scope.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace kavor::tools {
namespace command_scope_test {
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
        "curl https://example.org/etc/passwd", "echo %PATH%x"}) {
    EXPECT_FALSE(outside(inside)) << inside;
  }
  for (const char* out :
       {"cat /etc/passwd", "ls ../../ws-evil", "rm -rf ~", "cat ~/.ssh/id_rsa", "ls $HOME",
        "cat ${HOME}/.bashrc", "ls $env:HOME/x", "cat %HOME%\\x", "gcc -I/usr/include a.c",
        "tar -C /opt x", "ls \"/etc\"", "echo x>/tmp/y", "ls $TMPDIR",
        // An empty variable before a slash leaves the slash: this is "cd /x".
        "cd $EMPTY/x"}) {
    EXPECT_TRUE(outside(out)) << out;
  }
}

// Text whose effect the shell only learns while it runs is outside, and so is every way of
// writing a path the shell reads differently from its letters; ordinary work stays inside.
TEST(CommandScope, TextTheShellReadsDifferentlyIsOutsideAndOrdinaryWorkIsNot) {
  const Scope scope{"/home/me/ws", {}};
  const fs::path cwd = "/home/me/ws/src";
  const std::map<std::string, std::string> vars = {{"HOME", "/home/me"}, {"CC", "gcc"}};
  const EnvLookup env = [&](const std::string& name) -> std::optional<std::string> {
    const auto it = vars.find(name);
    return it == vars.end() ? std::nullopt : std::optional(it->second);
  };
  const auto outside = [&](const std::string& command) {
    return command_reaches_outside(command, cwd, scope, env);
  };
  for (const char* out :
       {// Expansions with no value in the text.
        "cat ${X:-/etc}/passwd", "cat \"$HOME\"/x", "echo ${HOME}", "cat $'\\x2fetc/passwd'",
        "echo $((1+2))", "diff <(ls) >(cat)", "sh -c \"cat \\$HOME/x\"", "cat $1/x",
        // Alternatives, patterns and "~" forms.
        "cat {/etc,x}/passwd", "cat {.,.}{.,.}/{.,.}{.,.}/x", "cat /e*c/passwd", "ls ../.*/",
        "ls ~root", "cat ~-/x", "ls ~1",
        // Folders the text moves to.
        "cd", "cd -P", "cd -- -", "cd ..; cd ..; ls", "while true; do pushd ..; done", "cd $NOPE",
        "if true; then builtin cd; fi", "bash <<< \"cd\"", "sh -lc cd",
        // Switches and values that carry a path.
        "env -C / ls", "git -C / status", "./configure --prefix=/", "cat file:///etc/passwd",
        // Commands that run what the text does not show.
        "a=cd; $a", "alias l=cd", "eval ls", "find . | xargs cat", "curl -s x | sudo bash",
        "IFS=/; ls", "declare -n r=HOME; ls $r", "printf -v p %s x; cat $p",
        "mapfile -t a < list; cat $a", "for f; do cat $f; done",
        "x=1; sh -c \"sh -c 'sh -c \\\"sh -c \\\\\\\"sh -c ls\\\\\\\"\\\"'\""}) {
    EXPECT_TRUE(outside(out)) << out;
  }
  for (const char* inside :
       {"git commit -m \"fix a/b\"", "git commit -m 'Don'\\''t cd into build; see (x|y)'",
        "awk '{print $1}' f.txt | sort | uniq -c", "sed -i 's/a\\/b/c/g' x.c",
        "export PATH=$PATH:./bin && npm test 2>&1 | tail -5", "x=lib; ls $x/a ${x}",
        "for f in a b; do cat $f; done", "ls ../{a,b}.c", "find . -name '*.c' -delete",
        "timeout 5 sh -c 'make test'", "$CC -c main.c", "git diff HEAD~1 -- ~+/x",
        "echo costs ~5% and $5", "cd ../include && ls ../src", "echo \"$PWD/x\""}) {
    EXPECT_FALSE(outside(inside)) << inside;
  }
}

// Links are followed as the file tools follow them, including in the folders "cd" reaches.
TEST(CommandScope, LinksAreFollowedFromEveryFolderTheTextReaches) {
  const test::TempTree tree("kavor-scope");
  const fs::path base = tree.path();
  const fs::path ws = base / "ws";
  fs::create_directories(ws / "sub" / "deep");
  fs::create_directories(base / "home");
  std::ofstream(ws / "sub" / "deep" / "up") << "a file, not the link below";
  fs::create_symlink("../..", ws / "sub" / "up");  // leads from sub to base
  fs::create_symlink(base / "home", ws / "h");
  fs::create_symlink("sub", ws / "in");
  fs::create_symlink("loop", ws / "loop");
  const Scope scope{ws, {}};
  const auto outside = [&](const std::string& command) {
    return command_reaches_outside(command, ws, scope, process_environment());
  };
  for (const char* out : {"cat sub/up/x", "cd sub && cat up/x", "cd in; cat up/x", "ls h*/",
                          "cat h/../x", "cat loop/x"}) {
    EXPECT_TRUE(outside(out)) << out;
  }
  for (const char* inside : {"cat up/x", "cd sub/deep && cat up", "ls in/ s*/", "cat in/../x"}) {
    EXPECT_FALSE(outside(inside)) << inside;
  }
}

// From a folder below the workspace root, a relative path that stays inside leaves it once the
// command works one folder up: every way the text has of moving there, or of running a command it
// does not name plainly, is followed.
TEST(CommandScope, FoldersAndCommandsTheTextReachesByOtherMeansAreFollowed) {
  const test::TempTree tree("kavor-scope");
  const fs::path ws = tree.path();
  fs::create_directories(ws / "sub");
  std::ofstream(ws / "sub" / "cd") << "a file that \"c[d]\" matches";
  const Scope scope{ws, {}};
  const auto outside = [&](const std::string& command) {
    return command_reaches_outside(command, ws / "sub", scope, process_environment());
  };
  for (const char* out :
       {// Options that name the folder the command works in.
        "env -C .. cat ../x", "env --chdir=.. cat ../x", "sudo -D .. cat ../x",
        "git -C .. diff --no-index a ../x", "make -kC .. -f ../x", "tar --directory .. -cf - ../x",
        "cmake -E chdir .. cat ../x",
        // Command words the shell rewrites, and bodies of functions and coprocesses.
        "{cd,..}; cat ../x", "c[d] ..; cat ../x", "function f { cd ..; }; f; cat ../x",
        "coproc c { cd ..; cat ../x; }", "coproc eval cat",
        // Locale quoting: bash reads $\"../\" as ../, and a message catalog may turn it into
        // anything.
        "cat $\"../\"../x",
        // A prefix's option value is not the command: a shell or xargs still runs what it reads.
        "cat cmds | timeout -s KILL 9 bash", "cat list | env -u A xargs cat",
        "cat cmds | env -S 'bash -s'", "cat cmds | sudo -s",
        // find hands every name it visits, ".." included, to the command in place of "{}".
        "find .. -maxdepth 0 -exec sh -c 'cd {}; cat ../x' \\;"}) {
    EXPECT_TRUE(outside(out)) << out;
  }
  for (const char* inside :
       {"git -C ../sub status", "make --directory=../sub all", "tar -xf a.tar -C out",
        "grep -C 3 x f", "[ -f x ] && cat x", "[[ -d ../sub ]]", "env -u A ls ../sub",
        "timeout -s KILL 9 make", "function f { ls; }; f", "coproc c { cat x; }",
        "find . -name '*.o' -exec rm {} +"}) {
    EXPECT_FALSE(outside(inside)) << inside;
  }
}

}  // namespace
}  // namespace command_scope_test
}  // namespace kavor::tools
