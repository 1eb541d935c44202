// What the command scope check (command_scope.h) knows of commands by their name: one row a
// command, saying what the check does on meeting it and, in one line, why. A command without a
// row is read as any other: each of its words is judged as a path.
//
// A row belongs here only when the command does one of these, which no look at its words shows:
// - names the command that runs next (keywords, prefixes such as "sudo" and "env");
// - runs the commands after it more than once (loops, function bodies);
// - fills variables with what it reads, so their values are unseen;
// - moves the folder later words are read from (an option such as "git -C DIR");
// - runs text the check never sees as words ("eval", "xargs", a shell fed by a pipe).
// A new row is reviewed against that list. Commands whose reading needs code of its own are
// handled in the check: "cd" and "pushd", "source" and ".", "printf -v", "function" and
// "coproc" bodies, "cmake -E chdir", and "[" and "[[" (test commands, not patterns).
#pragma once

#include <string_view>

namespace kavor::tools {

struct ShellCommand {
  std::string_view name;
  // The next word still names the command ("then", "do").
  bool keyword = false;
  // Opens a compound command, which may follow the name of a coprocess ("coproc c { ...; }").
  bool compound = false;
  // Runs the command named after its own options ("sudo -u me ls").
  bool prefix = false;
  // May run the commands after it more than once: there "cd .." leaves the workspace even from
  // below its root.
  bool repeats = false;
  // Fills the variables named among its arguments with what it reads.
  bool fills_variables = false;
  // Sets the variables named among its arguments; "-n" makes one stand for another.
  bool declares = false;
  // Runs text the check never sees as words; `why` says how, and is shown to the user.
  bool runs_unseen_text = false;
  // A shell: fed by a pipe, it runs whatever the program before it printed.
  bool shell = false;
  // Options (as the shell passes them, space-separated) that take the next word as their value:
  // for a prefix, that word is not the command it runs.
  std::string_view values = "";
  // Options that name the folder the command works in, or runs another command in.
  std::string_view folders = "";
  // Options that make a text of their own into a command ("env -S 'bash -s'").
  std::string_view splits = "";
  // The reason for the row, as a phrase that follows the command's name.
  std::string_view why;
};

// The row of `name` (a command word, or its last path component); nothing for other commands.
const ShellCommand* shell_command(std::string_view name);

}  // namespace kavor::tools
