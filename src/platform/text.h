// Small text helpers that several layers share, so that each has one meaning everywhere: what
// counts as white space around an argument, and how a system error number is worded.
//
// White space here is ASCII's (space, tab, CR, LF, form feed, vertical tab): arguments, paths
// and memory text are trimmed of it; the Unicode spaces of typed text are utf8.h's concern.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace kavor {

inline constexpr std::string_view kAsciiSpace = " \t\r\n\f\v";

// Whether `text` holds nothing but ASCII white space.
inline bool blank(std::string_view text) {
  return text.find_first_not_of(kAsciiSpace) == std::string_view::npos;
}

// `text` without ASCII white space at either end.
inline std::string trim(std::string_view text) {
  const auto first = text.find_first_not_of(kAsciiSpace);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kAsciiSpace);
  return std::string(text.substr(first, last - first + 1));
}

inline bool is_ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

// The system's wording of an errno value ("No such file or directory").
inline std::string errno_text(int error) {
  return std::system_category().message(error);
}

}  // namespace kavor
