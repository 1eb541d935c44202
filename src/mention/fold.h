// Character folding for mention search: two spellings a user does not tell apart while typing
// fold to the same character, and marks that do not change what a word is fold to nothing.
//
//   ASCII "A"-"Z"                       -> "a"-"z"
//   "\"                                 -> "/"       (a typed Windows separator finds paths)
//   other ASCII                         -> itself
//   alef with hamza above or below, wasla      -> alef U+0627
//   yeh with hamza, alef maksura, Arabic yeh   -> Persian yeh U+06CC
//   teh marbuta, heh with yeh above            -> heh U+0647
//   Arabic kaf U+0643                          -> keheh U+06A9
//   Arabic-Indic and Persian digits            -> ASCII "0"-"9"
//   combining marks U+0300-036F, Arabic harakat U+064B-065F, tatweel U+0640, superscript
//   alef U+0670, zero-width non-joiner and joiner, directional marks U+200C-200F
//                                              -> nothing (the character is passed over)
//   anything else                              -> its simple lower-case form, or itself
//
// Cost: a table lookup for ASCII, a few comparisons for the Arabic block, one Unicode table
// lookup otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kavor::mention {

// What fold_char returns for a character that folds to nothing.
inline constexpr char32_t kFoldsToNothing = 0xFFFFFFFF;

char32_t fold_char(char32_t c);

// fold_char restricted to ASCII bytes (below 0x80), as a table.
struct AsciiFold {
  std::array<unsigned char, 128> to{};
  constexpr AsciiFold() {
    for (int c = 0; c < 128; ++c) to[c] = static_cast<unsigned char>(c);
    for (int c = 'A'; c <= 'Z'; ++c) to[c] = static_cast<unsigned char>(c - 'A' + 'a');
    to['\\'] = '/';
  }
};
inline constexpr AsciiFold kAsciiFold{};

// The character classes the boundary rule of the scorer looks at. ASCII is decided by the
// ASCII ranges; from the given code point on (U+00AA for lower case and letters, U+00C0 for
// upper case) by the Unicode tables.
bool is_lower_case(char32_t c);
bool is_upper_case(char32_t c);
bool is_letter(char32_t c);

// A 64-bit summary of which folded characters a text holds, for a quick "cannot match" test:
// the query's set must be a subset of the path's. Bits 0-25 stand for "a"-"z", 26-35 for the
// digits, 36-55 for the other ASCII characters (shared), 56-62 for everything beyond ASCII
// (shared by code point), and bit 63, which no query sets, says the text has a non-ASCII byte.
inline constexpr std::uint64_t kNonAsciiText = std::uint64_t{1} << 63;
constexpr std::uint64_t folded_char_bit(char32_t folded) {
  if (folded >= 'a' && folded <= 'z') return std::uint64_t{1} << (folded - 'a');
  if (folded >= '0' && folded <= '9') return std::uint64_t{1} << (26 + folded - '0');
  if (folded < 0x80) return std::uint64_t{1} << (36 + folded % 20);
  return std::uint64_t{1} << (56 + folded % 7);
}
// folded_char_bit of fold_char of each ASCII byte, as a table.
struct AsciiBits {
  std::array<std::uint64_t, 128> of{};
  constexpr AsciiBits() {
    for (int c = 0; c < 128; ++c) of[c] = folded_char_bit(AsciiFold().to[c]);
  }
};
inline constexpr AsciiBits kAsciiBits{};
// The set of a well-formed UTF-8 text, characters that fold to nothing left out.
std::uint64_t folded_char_set(std::string_view text);

// The character at `pos` of well-formed UTF-8 (every recorded path is checked), moving `pos`
// past it; a sequence cut short by the end reads as U+FFFD. Inline and unchecked, as it runs
// for every character of every non-ASCII path a search or a load looks at.
inline char32_t decode_utf8(std::string_view text, std::size_t& pos) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC0 || pos + length > text.size()) {
    ++pos;
    return 0xFFFD;
  }
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (at(i) & 0x3F);
  pos += length;
  return c;
}

// fold_char with the ASCII table inline.
inline char32_t fold(char32_t c) {
  return c < 0x80 ? kAsciiFold.to[c] : fold_char(c);
}

// The simple lower-case form of `c` (ASCII and beyond), used to order listings by name.
char32_t lower_case(char32_t c);

}  // namespace kavor::mention
