// A command text cut into words the way a POSIX shell cuts it, for the command scope check.
//
// Words end at unquoted blanks and at the operators ";", "&", "|", "(", ")", "<", ">" and line
// ends. Quotes and backslashes are removed as the shell removes them: 'a b' and "a b" are one
// word, do"cs" and do\cs are "docs", and inside double quotes a backslash only escapes $, `, ",
// \ and a line end. An unclosed quote runs to the end of the text. Nothing is expanded: a word
// keeps its "$NAME", "~" and patterns for the caller to judge.
//
// Each word knows where it stands, which is what decides how the caller reads it:
// - the first word after the start, a line end, ";", "&", "|", "(" or ")" is a command word
//   (the caller walks past keywords such as "then" and prefixes such as "builtin" itself);
// - a command word after a single "|" reads a pipe;
// - the word after a redirection ("<", ">", ">>", "<<<", "2>&", ...) is its target; the file
//   descriptor glued before a redirection ("2>") is no word at all.
// An extended pattern ("@(a|b)", "!(x)") stays one word, parentheses included.
//
// Cost: one pass over the text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavor::tools {

struct ShellWord {
  std::string text;       // quotes and backslashes removed
  bool command = false;   // first word of a command
  bool piped = false;     // a command word whose command reads the pipe before it
  bool redirect = false;  // the target of a redirection
};

std::vector<ShellWord> shell_words(std::string_view text);

// The words brace expansion makes of `word`, in the shell's order: "a{b,c}d" gives "abd" and
// "acd", "{1..3}" gives "1", "2", "3", "{a..c}" the letters; alternatives nest. "${" opens no
// alternatives, a brace without a "," or a sequence is kept as written, and an empty
// alternative makes no word ("{,a}" is "a"). Nothing when the expansion would give more than
// `limit` words.
std::optional<std::vector<std::string>> brace_alternatives(const std::string& word,
                                                           std::size_t limit);

// The first form in `text` whose result the shell only knows while it runs, as far as it shows
// what it is: command substitution ("$(", "$((", a backquote), process substitution ("<(",
// ">("), ANSI-C quoting ("$'"), locale quoting ("$\""), or a "${...}" that is not a plain
// variable name (defaults, patterns, indirection; "${" when the brace is never closed).
// Nothing when there is none.
std::optional<std::string_view> hidden_text(std::string_view text);

// True when `name` can name a shell variable: a letter or "_", then letters, digits or "_".
bool is_variable_name(std::string_view name);

}  // namespace kavor::tools
