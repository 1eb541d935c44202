// The text handling the browser code shares (trimming is platform/text.h's): lower-casing what
// the assistant wrote, writing a coordinate back, and cutting texts for display (they keep their
// first characters and end with " …" when something was cut).
#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "platform/text.h"

namespace kavor::browser {

// `text` (well-formed UTF-8) cut to `chars` characters.
inline std::string cut_chars(std::string_view text, std::size_t chars) {
  const std::size_t bytes = common::utf8_prefix_bytes(text, chars);
  if (bytes >= text.size()) return std::string(text);
  std::string out(text.substr(0, bytes));
  out += " \u2026";
  return out;
}

// `text` with A-Z lower-cased (names of actions, keys and schemes are ASCII).
inline std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A coordinate as the assistant would write it: "10", "20.5".
inline std::string number_text(double value) {
  if (value == std::floor(value)) return std::to_string(static_cast<long long>(value));
  std::string text = std::to_string(value);
  text.erase(text.find_last_not_of('0') + 1);
  return text;
}

// Characters (code points) of well-formed UTF-8 `text`.
inline std::size_t char_count(std::string_view text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

}  // namespace kavor::browser
