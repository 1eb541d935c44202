// Whether a command text reaches outside the call's folders.
//
// The check reads the text as the shell will, as far as a text can be read without running
// it. It answers "outside" (the user is asked) when a word names a place outside the scope,
// and also when the text keeps from it what the shell will do: an extra question is a
// nuisance, a missed one lets the assistant read or change the user's files unasked.
//
// 1. Hidden text. Command and process substitution ("$(...)", backquotes, "<(...)"), "$'...'"
//    and "$\"...\"" quoting and any "${...}" but a plain name only take their shape while the
//    shell runs: outside, wherever they stand, quotes included (a nested "sh -c '...'" reads
//    quoted text again). So is a command that runs text it builds or reads: "eval", "alias",
//    "xargs", "parallel", a shell fed by a pipe, a command name held in a variable the text sets
//    or rewritten by braces or a pattern ("{cd,..}", "c[d]"). The value of a prefix's option
//    ("timeout -s KILL", "env -u X") is not the command it runs; the body after "function
//    NAME" or "coproc" is a command.
// 2. Words. The text is cut twice: at blanks, quotes and shell punctuation, every piece on its
//    own ("a=b,c" gives "a", "b", "c"); and as the shell cuts it, quotes and backslashes
//    removed ("do\cs" and do"cs" are "docs"). A word that holds blanks or separators, or
//    follows "-c", is read again as a command, four levels deep at most: "sh -c '...'",
//    "bash <<< '...'" and "trap '...'" run it.
// 3. Expansion. Brace alternatives ("{a,b}", "{1..3}") are each judged. "~" and "~/x" are the
//    home folder; "~name", "~-" and "~N" are outside. A variable stands for its value in the
//    environment and every value the text gives it ("x=src", "for f in a b"); "$PWD" is the
//    current folder. A variable with no known value is outside where it begins a path
//    ("$X/y"; unset, the shell reads "/y") or stands where a path must be: the target of "cd",
//    "pushd", "source", "." and of a redirection ("cd $X" with X unset goes home), and so is
//    find's "{}" there ("-exec sh -c 'cd {}'" may be "cd .."). So is any variable filled by
//    "read", "mapfile", "printf -v" or "getopts", a name reference ("declare -n"), and a text
//    that sets IFS. A lone "$NAME" elsewhere is a path only for
//    TMP, HOME, TEMP, TMPDIR and USERPROFILE, or when the text gives it its values: "echo
//    $SHELL" names no file.
// 4. Folders. "cd" and "pushd" move the folder later words are read from, and so do the folder
//    options of commands that work elsewhere ("env -C", "git -C", "make -C", "tar -C",
//    "cmake -E chdir", "sudo -D", ...). "cd" alone or with options only goes home, "cd -" to a
//    folder the text does not name, and with CDPATH set a plain name may lead anywhere:
//    outside. A target is judged from every folder the text may be in by then ("cd a || cd b"
//    may run either). Where a loop or a function may repeat it, from the scope's folders too:
//    there "cd .." leaves the workspace even from below it.
// 5. Paths. Every word, and the value glued to a switch ("-I/usr", "--out=/x"), is read as a
//    path from each of those folders and resolved as the file tools resolve paths: links
//    followed, ".." taken both by the text and, as the kernel takes it, after the link before
//    it; more than 40 links is outside. A word with "*", "?", "[" or an extended pattern is
//    judged by the names it matches on disk now; one starting with "." that can match ".."
//    (".*") also counts as "..". "file:" addresses are paths; other addresses ("://") are not.
//
// What stays open, because no text check can close it: what programs do by themselves
// (scripts, Makefiles and package scripts of the workspace, code handed to an interpreter,
// "grep -R" or "find -L" following links below a folder, archives unpacking elsewhere, links
// a program creates), what login scripts define, shell options the text turns on, and a lone
// "$NAME" from the environment used as an argument ("cat $MAIL"). Those need a fence the
// kernel keeps, not a reading of the text.
//
// Cost: one pass over the text to cut it, then a few file-system lookups per component of each
// word for each folder it is read from, and one listing per pattern component. Limits (4096
// names matched, 1024 alternatives of one word, 64 folders) keep a text bounded; a text past
// one is outside.
//
// The verdict says why: the first part of the text found to take it outside, and a sentence
// for the user that names it ("'cd ~' leaves the workspace.", "'eval' runs its arguments as a
// command line read anew."). Step 3 lives in word_expansion.h; what the check knows of
// commands by name ("sudo", "read", "git -C") is the table of shell_commands.h.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/scope.h"

namespace kavor::tools {

// Looks up an environment variable; the process environment by default.
using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
EnvLookup process_environment();

// Why a command may reach outside the call's folders: the part of the text that takes it there,
// as the text has it ("~", "$HOME/x", "eval"), and one plain sentence for the user that names
// it.
struct OutsideReason {
  std::string word;
  std::string sentence;
};

// The words of a command at blanks, quotes and punctuation (the first cut of step 2).
std::vector<std::string> command_words(const std::string& command);

// Nothing when `command`, run in `cwd`, stays inside `scope` by the rules above; otherwise the
// first reason found that it may reach outside.
std::optional<OutsideReason> command_reaches_outside(const std::string& command,
                                                     const fs::path& cwd, const Scope& scope,
                                                     const EnvLookup& env = process_environment());

}  // namespace kavor::tools
