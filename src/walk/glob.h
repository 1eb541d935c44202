// Globs for selecting files by their path relative to a walked folder ("src/a/b.c").
//
// Dialect, case-sensitive:
//   *        any run of characters without "/"
//   ?        one character other than "/"
//   [abc] [a-z] [!a] [^a] [[:alpha:]]
//            one character of (or, negated, not of) the class; never "/"
//   **       as a whole path component: "**/x" is x in any folder including the top,
//            "a/**/b" is b below a at any depth including directly, "a/**" is everything inside a.
//            Glued to other characters ("a**", "**.c", "a/**b") it is an ordinary `*`, as in
//            ignore files.
//   {a,b}    alternatives, not nested; "," and "}" outside braces are ordinary characters
//   \        an ordinary character, not an escape (Windows-style paths stay readable)
// Everything else matches itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "walk/wildmatch.h"

namespace kavor::walk {

class Glob {
 public:
  // Compiles a pattern; a malformed one fails with a short phrase such as "unclosed character
  // class".
  static Result<Glob> compile(std::string_view pattern);

  // True when the "/"-separated relative path matches the whole pattern.
  bool matches(std::string_view path) const;

  const std::string& pattern() const { return pattern_; }

 private:
  std::string pattern_;
  std::vector<detail::Wildmatch> alternatives_;  // one per brace expansion
};

// How a caller prepares a user's pattern: surrounding ASCII white space removed, then one
// leading "./" removed.
std::string normalize_glob_pattern(std::string_view raw);

}  // namespace kavor::walk
