// How well a typed token matches one path, as one integer: the higher, the more likely the
// path is the one the user means.
//
// The token must occur in the scanned text (the path, or what follows a scope's folder) as a
// subsequence, compared through fold_char, so "rdm" finds "README.md". Of all the ways it
// occurs, the scorer takes one cheaply: forward to where the first complete occurrence ends,
// then backward from there, each token character at the nearest earlier position. That picks
// the tightest match that ends first, the one a reader sees.
//
// Each matched character earns a boundary value J from the character before it (ignoring
// characters that fold to nothing):
//   nothing before, or "/"             46   start of the path or of a component
//   " ", "-", ".", "_"                 40   start of a word
//   lower case before upper case       36   camelCase hump
//   letter after letter, or non-letter after non-letter
//                                      16   inside a word
//   a letter after a non-letter or the reverse
//                                      28   "v2" -> "2", "2d" -> "d"
// The running score S adds J, plus 8 for a character in the last component (the name). A gap
// costs 2 per skipped character (at most 20), and for the first character the distance from
// the name's start counts as a gap; an adjacent character earns 20 instead. So runs beat
// scattered letters, and the name beats its folders.
//
// A contiguous match inside the name earns a name bonus on top: 1300 for the whole name, 850
// for a prefix that ends at a "." (the name without its extension), 700 for another prefix,
// 300 elsewhere in the name; a folder gets 4 more for a whole-name or prefix match. Then
// recency (+12 within a day, +8 a week, +4 thirty days), and penalties for long and deep paths
// (-1 per 8 characters up to -40, -3 per level), and the boost of a recent pick (160 for the
// newest, 2 less for each older one).
//
// Worked example, the token "readme" (files modified long ago):
//   README.md          R J46+8=54   E..E each 16+8+20=44 -> 274; whole run at the name's start,
//                      ending before "." +850 = 1124; 9 characters -1, depth 1 -3  => 1120
//   readme-old/x.txt   r J46 (before the name: no +8) = 46, then five times 16+20 = 226; the
//                      match is not in the name, no bonus; 16 characters -2, depth 2 -6 => 218
// and "mc" on MyClass.java: M 54; C after lower-case "y" J36+8 = 98, one skipped character
// -2 => 96; not contiguous, no bonus; -1 -3 => 92.
//
// Cost: O(length of the scanned text) per path. The common case, an ASCII path and an ASCII
// token, runs on bytes with table lookups (score_ascii); everything else decodes the text
// once into scratch arrays (score_general). Tests hold the two to the same answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavor::mention {

// Boundary values and bonuses of the scoring above.
inline constexpr int kStartBoundary = 46;
inline constexpr int kSlashBoundary = 46;
inline constexpr int kWordBoundary = 40;
inline constexpr int kCamelBoundary = 36;
inline constexpr int kClassChange = 28;
inline constexpr int kSameClass = 16;
inline constexpr int kInName = 8;
inline constexpr int kAdjacent = 20;
inline constexpr int kGapCost = 2;
inline constexpr int kMaxGapCharged = 10;
inline constexpr int kWholeName = 1300;
inline constexpr int kNamePrefixBeforeDot = 850;
inline constexpr int kNamePrefix = 700;
inline constexpr int kInsideName = 300;
inline constexpr int kFolderNameMatch = 4;
inline constexpr int kLengthPenaltyDivisor = 8;
inline constexpr int kMaxLengthPenalty = 40;
inline constexpr int kDepthPenalty = 3;

// The query's name part, folded, characters that fold to nothing dropped.
struct Token {
  std::u32string chars;
  std::uint64_t char_set = 0;  // folded_char_set of the characters
  bool ascii = true;           // every folded character is ASCII

  static Token make(std::string_view text);
  bool empty() const { return chars.empty(); }
};

// One candidate as the scorer sees it.
struct Subject {
  std::string_view path;    // the whole relative path, well-formed UTF-8
  std::size_t start = 0;    // byte where scanning starts (after a scope's "folder/")
  std::size_t name_at = 0;  // byte where the last component starts
  unsigned depth = 1;
  bool is_dir = false;
  bool ascii = false;  // the path is plain ASCII
  std::uint32_t mtime = 0;
  int pick_boost = 0;
};

// The score, or nothing when the token does not occur. `now` is encoded like an mtime.
std::optional<std::int32_t> score(const Token& token, const Subject& subject, std::uint32_t now);

// The most `subject` can score against `token`, found without reading the path beyond its
// name's first byte: the best run of adjacent characters, the best name bonus the name's first
// character and length allow, the least penalty. A search whose kept results all score at
// least this much need not score the subject at all.
std::int32_t score_bound(const Token& token, const Subject& subject, std::uint32_t now);

// The matched characters of a matching subject, as (byte offset in path, byte length),
// ascending; empty when it does not match.
std::vector<std::pair<std::size_t, std::size_t>> matched_bytes(const Token& token,
                                                               const Subject& subject);

// The recent-pick boost of the pick at position r (0 is the newest).
inline int pick_boost(std::size_t r) {
  return 160 - 2 * static_cast<int>(r);
}

// The two ways of scoring, exposed for tests: score() picks score_ascii when both the path and
// the token are ASCII.
namespace detail {
std::optional<std::int32_t> score_general(const Token& token, const Subject& subject,
                                          std::uint32_t now, std::vector<std::size_t>* positions);
std::optional<std::int32_t> score_ascii(const Token& token, const Subject& subject,
                                        std::uint32_t now, std::vector<std::size_t>* positions);
}  // namespace detail

}  // namespace kavor::mention
