// Whether one file name matches one shell pattern, as the shell matches the names of a folder
// when it expands a word such as "*.c" or "h?".
//
//   *        any run of characters
//   ?        one character
//   [abc] [a-z] [!a] [^a] [[:alpha:]]
//            one character of (or, negated, not of) the class
//   \        an ordinary character, not an escape
// Everything else matches itself, case-sensitively. A name starting with "." matches only a
// pattern starting with "." (the shell hides such names from "*"). A pattern holds no "/" and
// no brace alternatives: a caller expands braces and splits paths first.
//
// Matching runs wildmatch.h's automaton: O(name length x pattern length) whatever the pattern.
#pragma once

#include <string_view>

#include "platform/result.h"
#include "walk/wildmatch.h"

namespace kavor::walk {

class NamePattern {
 public:
  // Compiles a pattern; a malformed one fails with a short phrase such as "unclosed character
  // class".
  static Result<NamePattern> compile(std::string_view pattern);

  // True when `name` matches the whole pattern.
  bool matches(std::string_view name) const;

  // True when the shell hides `name` from `pattern`: a name starting with "." from a pattern
  // that does not.
  static bool hidden_from(std::string_view pattern, std::string_view name);

 private:
  explicit NamePattern(bool dot, detail::Wildmatch compiled)
      : dot_(dot), compiled_(std::move(compiled)) {}

  bool dot_;  // the pattern starts with "."
  detail::Wildmatch compiled_;
};

}  // namespace kavor::walk
