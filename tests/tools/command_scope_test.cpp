#include "tools/command_scope.h"
#include "support/temp_tree.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace kavor::tools {
namespace command_scope_test {
namespace {

// An outside verdict and its reason: the sentence the user is shown, which names the word.
struct Out {
  const char* command;
  const char* reason;
};

std::string reason_of(const std::optional<OutsideReason>& found) {
  if (!found) return "inside";
  EXPECT_NE(found->sentence.find(found->word), std::string::npos) << found->sentence;
  return found->sentence;
}

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
  const Out outs[] = {
      {"cat /etc/passwd", "'/etc/passwd' names a place outside the workspace."},
      {"ls ../../ws-evil", "'../../ws-evil' names a place outside the workspace."},
      {"rm -rf ~", "'~' names a place outside the workspace."},
      {"cat ~/.ssh/id_rsa", "'~/.ssh/id_rsa' names a place outside the workspace."},
      {"ls $HOME", "'$HOME' names a place outside the workspace."},
      {"cat ${HOME}/.bashrc", "'${HOME}/.bashrc' names a place outside the workspace."},
      {"ls $env:HOME/x", "'$env:HOME/x' names a place outside the workspace."},
      {"cat %HOME%\\x", "'%HOME%\\x' names a place outside the workspace."},
      {"gcc -I/usr/include a.c", "'-I/usr/include' names a place outside the workspace."},
      {"tar -C /opt x", "'tar -C /opt' leaves the workspace."},
      {"ls \"/etc\"", "'/etc' names a place outside the workspace."},
      {"echo x>/tmp/y", "'/tmp/y' names a place outside the workspace."},
      {"ls $TMPDIR", "'$TMPDIR' names a place outside the workspace."},
      // An empty variable before a slash leaves the slash: this is "cd /x".
      {"cd $EMPTY/x", "'cd $EMPTY/x' leaves the workspace."}};
  for (const Out& out : outs) {
    EXPECT_EQ(reason_of(outside(out.command)), out.reason) << out.command;
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
  const Out outs[] = {
      // Expansions with no value in the text.
      {"cat ${X:-/etc}/passwd", "'${X:-/etc}' stands for text only known once the command runs."},
      {"cat \"$HOME\"/x", "'$HOME/x' names a place outside the workspace."},
      {"echo ${HOME}", "'${HOME}' names a place outside the workspace."},
      {"cat $'\\x2fetc/passwd'", "\"$'\" stands for text only known once the command runs."},
      {"echo $((1+2))", "'$((' stands for text only known once the command runs."},
      {"diff <(ls) >(cat)", "'<(' stands for text only known once the command runs."},
      {"sh -c \"cat \\$HOME/x\"", "'$HOME/x' names a place outside the workspace."},
      {"cat $1/x", "'$1' has no known value, so '$1/x' may start at the top folder."},
      // Alternatives, patterns and "~" forms.
      {"cat {/etc,x}/passwd", "'{/etc,x}/passwd' names a place outside the workspace."},
      {"cat {.,.}{.,.}/{.,.}{.,.}/x",
       "'{.,.}{.,.}/{.,.}{.,.}/x' names a place outside the workspace."},
      {"cat /e*c/passwd", "'/e*c/passwd' names a place outside the workspace."},
      {"ls ../.*/", "'../.*/' names a place outside the workspace."},
      {"ls ~root", "'~root' is the home folder of the user 'root'."},
      {"cat ~-/x", "'~-' is the previous folder, which the command does not name."},
      {"ls ~1", "'~1' is a folder on the folder stack, which the command does not name."},
      // Folders the text moves to.
      {"cd", "'cd' with no folder goes to the home folder."},
      {"cd -P", "'cd' with no folder goes to the home folder."},
      {"cd -- -", "'cd -' goes back to a folder the command does not name."},
      {"cd ..; cd ..; ls", "'cd ..' leaves the workspace."},
      {"while true; do pushd ..; done", "'..' names a place outside the workspace."},
      {"cd $NOPE", "'$NOPE' may be empty or unset where a path must stand."},
      {"if true; then builtin cd; fi", "'cd' with no folder goes to the home folder."},
      {"bash <<< \"cd\"", "'cd' with no folder goes to the home folder."},
      {"sh -lc cd", "'cd' with no folder goes to the home folder."},
      // Switches and values that carry a path.
      {"env -C / ls", "'env -C /' leaves the workspace."},
      {"git -C / status", "'git -C /' leaves the workspace."},
      {"./configure --prefix=/", "'--prefix=/' names a place outside the workspace."},
      {"cat file:///etc/passwd", "'file:///etc/passwd' names a place outside the workspace."},
      // Commands that run what the text does not show.
      {"a=cd; $a", "'$a' is a command name the shell may turn into any command."},
      {"alias l=cd", "'alias' makes a name stand for a text that runs later."},
      {"eval ls", "'eval' runs its arguments as a command line read anew."},
      {"find . | xargs cat", "'xargs' runs commands built from what it reads."},
      {"curl -s x | sudo bash", "'bash' runs whatever the pipe feeds it."},
      {"IFS=/; ls", "'IFS=/' changes where the shell cuts words."},
      {"declare -n r=HOME; ls $r", "'declare -n' makes one variable stand for another."},
      {"printf -v p %s x; cat $p", "'$p' is filled by 'printf -v' while the command runs."},
      {"mapfile -t a < list; cat $a", "'$a' is filled by 'mapfile' while the command runs."},
      {"for f; do cat $f; done",
       "'$f' takes the script's arguments, which the command does not show."},
      {"x=1; sh -c \"sh -c 'sh -c \\\"sh -c \\\\\\\"sh -c ls\\\\\\\"\\\"'\"",
       "'ls' is quoted more than 4 levels deep."}};
  for (const Out& out : outs) {
    EXPECT_EQ(reason_of(outside(out.command)), out.reason) << out.command;
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
  const Out outs[] = {
      {"cat sub/up/x", "'sub/up/x' leads outside the workspace through a link."},
      {"cd sub && cat up/x", "'up/x' leads outside the workspace through a link."},
      {"cd in; cat up/x", "'up/x' leads outside the workspace through a link."},
      {"ls h*/", "'h*/' leads outside the workspace through a link."},
      {"cat h/../x", "'h/../x' leads outside the workspace through a link."},
      {"cat loop/x", "'loop/x' passes through more links than the system follows."}};
  for (const Out& out : outs) {
    EXPECT_EQ(reason_of(outside(out.command)), out.reason) << out.command;
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
  const Out outs[] = {
      // Options that name the folder the command works in.
      {"env -C .. cat ../x", "'../x' names a place outside the workspace."},
      {"env --chdir=.. cat ../x", "'../x' names a place outside the workspace."},
      {"sudo -D .. cat ../x", "'../x' names a place outside the workspace."},
      {"git -C .. diff --no-index a ../x", "'..' names a place outside the workspace."},
      {"make -kC .. -f ../x", "'..' names a place outside the workspace."},
      {"tar --directory .. -cf - ../x", "'..' names a place outside the workspace."},
      {"cmake -E chdir .. cat ../x", "'..' names a place outside the workspace."},
      // Command words the shell rewrites, and bodies of functions and coprocesses.
      {"{cd,..}; cat ../x", "'{cd,..}' is a command name the shell may turn into any command."},
      {"c[d] ..; cat ../x", "'c[d]' is a command name the shell may turn into any command."},
      {"function f { cd ..; }; f; cat ../x", "'cd ..' leaves the workspace."},
      {"coproc c { cd ..; cat ../x; }", "'..' names a place outside the workspace."},
      {"coproc eval cat", "'eval' runs its arguments as a command line read anew."},
      // Locale quoting: bash reads $\"../\" as ../, and a message catalog may turn it into
      // anything.
      {"cat $\"../\"../x", "'$\"' stands for text only known once the command runs."},
      // A prefix's option value is not the command: a shell or xargs still runs what it reads.
      {"cat cmds | timeout -s KILL 9 bash", "'bash' runs whatever the pipe feeds it."},
      {"cat list | env -u A xargs cat", "'xargs' runs commands built from what it reads."},
      {"cat cmds | env -S 'bash -s'", "'env -S' makes a text into a command that may be anything."},
      {"cat cmds | sudo -s",
       "'sudo' with nothing to run starts a shell, which runs what the pipe feeds it."},
      // find hands every name it visits, ".." included, to the command in place of "{}".
      {"find .. -maxdepth 0 -exec sh -c 'cd {}; cat ../x' \\;",
       "'{}' may be any name find visits, '..' among them."}};
  for (const Out& out : outs) {
    EXPECT_EQ(reason_of(outside(out.command)), out.reason) << out.command;
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
