// Texts cut for display keep their first characters and end with " …" when something was cut.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/utf8.h"

namespace kavor::browser {

// `text` (well-formed UTF-8) cut to `chars` characters.
inline std::string cut_chars(std::string_view text, std::size_t chars) {
  const std::size_t bytes = utf8_prefix_bytes(text, chars);
  if (bytes >= text.size()) return std::string(text);
  std::string out(text.substr(0, bytes));
  out += " \u2026";
  return out;
}

// Characters (code points) of well-formed UTF-8 `text`.
inline std::size_t char_count(std::string_view text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

}  // namespace kavor::browser
