// Path-pattern matching shared by tool globs and ignore rules.
//
// A pattern is compiled into a short token program: literal bytes, `?`, character classes, `*`
// (any run without "/"), a trailing `**` (anything) and a `**/` component (zero or more whole
// folders). Matching runs that program as a nondeterministic automaton over the text, keeping
// the set of live token positions in a bitset: every text byte is looked at once and every live
// position costs O(1), so a match is O(text length x pattern length) whatever the pattern, with
// no backtracking (a pattern such as "*a*a*a*a*b" cannot blow up). Literal runs at the start and
// end of the program are compared directly before the automaton runs, and the common leftovers
// ("*", "**", "**/*") are answered without it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace kavor::walk::detail {

enum class Dialect {
  // Tool globs: a backslash is an ordinary character; malformed patterns are errors.
  Tool,
  // Ignore files: a backslash escapes the next character; a malformed pattern is accepted and
  // matches nothing, the way git treats it.
  Ignore,
};

class Wildmatch {
 public:
  // Compiles one pattern (no brace alternatives). In the Tool dialect a malformed pattern fails
  // with a short phrase ("unclosed character class"); in the Ignore dialect compilation always
  // succeeds.
  static Result<Wildmatch> compile(std::string_view pattern, Dialect dialect);

  // True when the whole text matches. The text is a "/"-separated relative path (or one name).
  bool matches(std::string_view text) const;

 private:
  enum class Op : std::uint8_t {
    Literal,  // one byte
    Any,      // `?`: one byte other than "/"
    Class,    // `[...]`: one byte of the class, never "/"
    Star,     // `*`: any run of bytes without "/"
    AnyAll,   // trailing `**`: any run of bytes
    // `**/` is two tokens: DirsStart matches nothing and leads both past DirsLoop (zero
    // folders) and into it; DirsLoop takes any bytes and may leave only after a "/". Once
    // inside, the "/" is required, which is why the start needs its own position. An ignore
    // file's `**\/` is DirsLoop alone: one folder or more, as git reads it.
    DirsStart,
    DirsLoop,
  };
  struct Token {
    Op op;
    unsigned char ch;     // Literal
    std::uint16_t klass;  // Class: index into classes_
  };
  using ByteSet = std::array<std::uint64_t, 4>;

  // What remains between the literal prefix and suffix, when it has a shortcut.
  enum class Shape : std::uint8_t {
    Literal,      // no wildcard at all: the text equals prefix_
    Never,        // malformed ignore pattern: matches nothing
    Anything,     // middle matches every text ("**", "**/*")
    NoSlash,      // middle is a single "*"
    DirsOrEmpty,  // middle is a single "**/": empty or ending in "/"
    Automaton,    // general case
  };

  bool run_automaton(std::string_view text) const;
  static bool has(const ByteSet& set, unsigned char c) { return (set[c >> 6] >> (c & 63)) & 1u; }

  std::string prefix_;
  std::string suffix_;
  std::vector<Token> tokens_;  // the middle part
  std::vector<ByteSet> classes_;
  Shape shape_ = Shape::Literal;
};

}  // namespace kavor::walk::detail
