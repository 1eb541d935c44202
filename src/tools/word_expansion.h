// What a word of a command stands for once the shell has expanded its "~" and its variables:
// step 3 of the command scope check (command_scope.h), which judges every string a word may
// become.
//
// 1. Values. A variable stands for every value the text gives it ("x=src", "for f in a b",
//    "PATH+=:bin", each brace alternative of a value), gathered before any word is judged since
//    a loop may use a value before the line that sets it, and for the environment's value.
//    Inside its own value a variable stands for what it held before ("PATH=$PATH:bin"). "$PWD"
//    is the current folder, "$OLDPWD" a folder the text never names.
// 2. Unseen values. A variable the text fills while it runs ("read", "mapfile", "printf -v",
//    "getopts", "for f" without "in", more values than the limit) has no known value: a word
//    that uses it is outside.
// 3. Tilde. "~" and "~/x" are the home folder, "~+" the current one; "~name", "~-" and "~N"
//    (another user's home, the previous folder, the folder stack) are outside. Other text after
//    a tilde ("~5%") stays as written.
// 4. A lone "$NAME". Where a path must stand (Position::Path) it is its values and the
//    environment's, and outside when it may be empty or unset ("cd $X" with X unset goes home).
//    Elsewhere the environment's value counts only for the folder variables TMP, HOME, TEMP,
//    TMPDIR and USERPROFILE: "echo $SHELL" names no file.
// 5. References among other text give every combination of their values. The environment's
//    value counts where the reference makes whole path components ("a/$X/b"); glued to other
//    text ("$PATH:bin") it is left as written. A reference with no known value is outside where
//    it begins a path ("$X/y"; unset, the shell reads "/y") or where a path must stand.
// The first cut's pieces (expand_leading) are read as other shells read them too: a leading
// "~", "$NAME", "${NAME}", "$env:NAME" or "%NAME%" followed by nothing or a path.
//
// Cost: at most 1024 strings for one word; values built from other variables are expanded four
// levels deep at most. A word past either is outside.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tools/command_scope.h"

namespace kavor::tools {

// Quoted commands inside quoted commands, and values built from values, followed this deep.
inline constexpr int kMaxNesting = 4;
// Strings one word may stand for once its braces and variables are expanded.
inline constexpr std::size_t kMaxAlternatives = 1024;

// Where a word stands, which decides how strictly its variables must be known.
enum class Position {
  Ordinary,  // any argument
  Path,      // must be a path: the target of cd, pushd, source, "." or a redirection
};

// A word of the text as a reason names it: in single quotes, or in double quotes when it holds
// a single quote ("$'").
inline std::string in_quotes(const std::string& word) {
  const char quote = word.find('\'') == std::string::npos ? '\'' : '"';
  return quote + word + quote;
}

// The reason a word names for itself: "'WORD' SAYS."
inline OutsideReason outside(std::string word, std::string_view says) {
  std::string sentence = in_quotes(word) + " " + std::string(says) + ".";
  return OutsideReason{std::move(word), std::move(sentence)};
}

// What one step of the check gives: its value, or the reason the text reaches outside.
template <typename T>
class Judged {
 public:
  Judged(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Judged(OutsideReason reason) : state_(std::in_place_index<1>, std::move(reason)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  OutsideReason& reason() { return std::get<1>(state_); }

 private:
  std::variant<T, OutsideReason> state_;
};

class WordExpansion {
 public:
  WordExpansion(fs::path cwd, const EnvLookup& env) : cwd_(std::move(cwd)), env_(env) {}

  // A value the text gives `name`, kept as written: one built from other variables ("d=$HOME/x")
  // is expanded where the variable is used.
  void add_value(const std::string& name, const std::string& value);
  // A variable the text fills unseen; `cause` follows its name in the reason ("is filled by
  // 'read' while the command runs").
  void add_unseen(const std::string& name, const std::string& cause);
  // Whether the text gives `name` a value, seen or unseen.
  bool set_by_text(const std::string& name) const;
  std::optional<std::string> environment(const std::string& name) const { return env_(name); }

  // Every string a word of the shell's cut may stand for.
  Judged<std::vector<std::string>> expand(const std::string& word, Position position) {
    return expand(word, position, 0);
  }
  // The paths a piece of the first cut stands for; none when it starts with a reference that
  // does not stand for a folder here.
  Judged<std::vector<std::string>> expand_leading(const std::string& word);

 private:
  Judged<std::vector<std::string>> expand(const std::string& word, Position position, int depth);
  Judged<std::vector<std::string>> text_values(const std::string& name, int depth);
  std::optional<std::string> env_value(const std::string& name, bool leading) const;
  Judged<std::string> expand_tilde(const std::string& word) const;
  Judged<std::string> home(const std::string& word) const;

  fs::path cwd_;
  const EnvLookup& env_;
  std::map<std::string, std::vector<std::string>> values_;  // values the text assigns
  std::map<std::string, std::string> unseen_;  // variables filled unseen, and what fills them
  std::set<std::string> expanding_;            // values being expanded now
};

// The names of the variables "$NAME" and "${NAME}" refer to in `word`, in order.
std::vector<std::string> referenced_variables(const std::string& word);

}  // namespace kavor::tools
