#include "mention/scorer.h"

#include <algorithm>
#include <array>

#include "common/utf8.h"
#include "mention/fold.h"

namespace kavor::mention {

namespace {

// Seconds of age that still earn a recency bonus, and the bonus.
constexpr std::uint32_t kDay = 86'400;
constexpr std::uint32_t kWeek = 604'800;
constexpr std::uint32_t kThirtyDays = 2'592'000;
constexpr int kRecentDay = 12;
constexpr int kRecentWeek = 8;
constexpr int kRecentMonth = 4;

int recency_bonus(std::uint32_t mtime, std::uint32_t now) {
  if (mtime == 0) return 0;
  const std::uint32_t age = now > mtime ? now - mtime : 0;
  if (age <= kDay) return kRecentDay;
  if (age <= kWeek) return kRecentWeek;
  if (age <= kThirtyDays) return kRecentMonth;
  return 0;
}

int penalties(std::size_t chars, unsigned depth) {
  const int length =
      static_cast<int>(std::min<std::size_t>(chars / kLengthPenaltyDivisor, kMaxLengthPenalty));
  return length + kDepthPenalty * static_cast<int>(depth);
}

int charged_gap(std::size_t gap) {
  return kGapCost * static_cast<int>(std::min<std::size_t>(gap, kMaxGapCharged));
}

// The boundary value of a character K after the character L (both as written).
int boundary(char32_t before, char32_t at) {
  if (before == ' ' || before == '-' || before == '.' || before == '_') return kWordBoundary;
  if (before == '/') return kSlashBoundary;
  if (is_lower_case(before) && is_upper_case(at)) return kCamelBoundary;
  return is_letter(before) == is_letter(at) ? kSameClass : kClassChange;
}

// The same for ASCII, as a table: kAsciiBoundary[L][K].
struct AsciiBoundary {
  std::array<std::array<std::uint8_t, 128>, 128> j{};
  AsciiBoundary() {
    for (char32_t l = 0; l < 128; ++l) {
      for (char32_t k = 0; k < 128; ++k) j[l][k] = static_cast<std::uint8_t>(boundary(l, k));
    }
  }
};
const AsciiBoundary& ascii_boundary() {
  static const AsciiBoundary table;
  return table;
}

// What a matched run earns besides its characters: the name bonus, recency, penalties, boost.
// `first` and `last` are the matched positions, `name_first` and `name_last` the first and last
// non-ignored positions of the name (name_first > name_last when the name has none), `after`
// the character after the last match (0 when none).
int finish(const Subject& s, std::uint32_t now, bool in_name_and_contiguous, std::size_t first,
           std::size_t last, std::size_t name_first, std::size_t name_last, char32_t after,
           std::size_t chars) {
  int bonus = 0;
  if (in_name_and_contiguous) {
    const bool name_empty = name_first > name_last;
    if (name_empty || first != name_first) {
      bonus = kInsideName;
    } else {
      bonus = last == name_last ? kWholeName : (after == '.' ? kNamePrefixBeforeDot : kNamePrefix);
      if (s.is_dir) bonus += kFolderNameMatch;
    }
  }
  return bonus + recency_bonus(s.mtime, now) - penalties(chars, s.depth) + s.pick_boost;
}

struct Scratch {
  std::vector<std::size_t> positions;
  std::vector<std::size_t> gaps;  // gaps[k]: characters between positions k-1 and k
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

}  // namespace

Token Token::make(std::string_view text) {
  Token t;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t folded = fold_char(common::next_code_point(text, pos));
    if (folded == kFoldsToNothing) continue;
    t.chars.push_back(folded);
    t.char_set |= folded_char_bit(folded);
    if (folded >= 0x80) t.ascii = false;
  }
  return t;
}

namespace detail {

std::optional<std::int32_t> score_ascii(const Token& token, const Subject& subject,
                                        std::uint32_t now, std::vector<std::size_t>* positions) {
  const std::size_t h = token.chars.size();
  const auto* s = reinterpret_cast<const unsigned char*>(subject.path.data()) + subject.start;
  const std::size_t n = subject.path.size() - subject.start;
  if (n < h || h == 0) return std::nullopt;
  const auto& fold = kAsciiFold.to;

  // Forward to the end of the first complete occurrence.
  std::size_t i = 0;
  for (std::size_t k = 0; k < h; ++k) {
    const auto want = static_cast<unsigned char>(token.chars[k]);
    while (i < n && fold[s[i]] != want) ++i;
    if (i == n) return std::nullopt;
    ++i;
  }
  // Backward from there, each character at the nearest earlier position.
  std::vector<std::size_t>& pos = scratch().positions;
  pos.resize(h);
  std::size_t j = i - 1;
  pos[h - 1] = j;
  for (std::size_t k = h - 1; k-- > 0;) {
    const auto want = static_cast<unsigned char>(token.chars[k]);
    --j;
    while (fold[s[j]] != want) --j;
    pos[k] = j;
  }

  const std::size_t u = subject.name_at > subject.start ? subject.name_at - subject.start : 0;
  const auto& table = ascii_boundary().j;
  int score = 0;
  bool contiguous = true;
  for (std::size_t k = 0; k < h; ++k) {
    const std::size_t p = pos[k];
    const int j_value = p == 0 ? kStartBoundary : table[s[p - 1]][s[p]];
    const int v = score + j_value + (p >= u ? kInName : 0);
    if (k == 0) {
      score = p >= u ? v - charged_gap(p - u) : v;
    } else if (p == pos[k - 1] + 1) {
      score = v + kAdjacent;
    } else {
      score = v - charged_gap(p - pos[k - 1] - 1);
      contiguous = false;
    }
  }
  const std::size_t last = pos[h - 1];
  const char32_t after = last + 1 < n ? s[last + 1] : 0;
  score += finish(subject, now, pos[0] >= u && contiguous, pos[0], last, u, n - 1, after, n);
  if (positions) {
    positions->clear();
    for (const std::size_t p : pos) positions->push_back(subject.start + p);
  }
  return score;
}

std::optional<std::int32_t> score_general(const Token& token, const Subject& subject,
                                          std::uint32_t now, std::vector<std::size_t>* positions) {
  const std::size_t h = token.chars.size();
  const std::string_view text = subject.path.substr(subject.start);
  if (text.size() < h || h == 0) return std::nullopt;
  // Positions are byte offsets into `text`; the name starts at byte u.
  const std::size_t u = subject.name_at > subject.start ? subject.name_at - subject.start : 0;
  const auto folded_at = [&](std::size_t at) {
    std::size_t pos = at;
    return fold(decode_utf8(text, pos));
  };
  const auto written_at = [&](std::size_t at) {
    std::size_t pos = at;
    return decode_utf8(text, pos);
  };
  // The start of the character before the one at `at` (> 0).
  const auto back = [&](std::size_t at) {
    do --at;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80);
    return at;
  };

  // Forward to the end of the first complete occurrence.
  std::size_t end = std::string_view::npos;
  for (std::size_t pos = 0, k = 0; pos < text.size();) {
    const std::size_t at = pos;
    if (fold(decode_utf8(text, pos)) == token.chars[k] && ++k == h) {
      end = at;
      break;
    }
  }
  if (end == std::string_view::npos) return std::nullopt;

  // Backward from there, each character at the nearest earlier position; on the way, how many
  // characters that do not fold to nothing each gap holds.
  Scratch& sc = scratch();
  std::vector<std::size_t>& pos = sc.positions;
  pos.resize(h);
  sc.gaps.assign(h, 0);
  pos[h - 1] = end;
  for (std::size_t k = h - 1, at = end; k-- > 0;) {
    for (;;) {
      at = back(at);
      const char32_t f = folded_at(at);
      if (f == kFoldsToNothing) continue;
      if (f == token.chars[k]) break;
      ++sc.gaps[k + 1];
    }
    pos[k] = at;
  }

  int score = 0;
  bool contiguous = true;
  for (std::size_t k = 0; k < h; ++k) {
    const std::size_t p = pos[k];
    int j_value = kStartBoundary;
    for (std::size_t q = p; q > 0;) {
      q = back(q);
      if (folded_at(q) != kFoldsToNothing) {
        j_value = boundary(written_at(q), written_at(p));
        break;
      }
    }
    const int v = score + j_value + (p >= u ? kInName : 0);
    if (k == 0) {
      if (p < u) {
        score = v;
      } else {
        // Characters (all of them) from the name's start to the first match, up to the most
        // charged.
        std::size_t distance = 0;
        for (std::size_t i = u; i < p && distance < kMaxGapCharged; ++i)
          distance += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        score = v - charged_gap(distance);
      }
    } else if (sc.gaps[k] == 0) {
      score = v + kAdjacent;
    } else {
      score = v - charged_gap(sc.gaps[k]);
      contiguous = false;
    }
  }

  // The name's first and last characters that do not fold to nothing.
  std::size_t name_first = 1;
  std::size_t name_last = 0;  // stays below name_first when the name has none
  if (pos[0] >= u && contiguous) {
    for (std::size_t at = u; at < text.size();) {
      const std::size_t here = at;
      if (fold(decode_utf8(text, at)) != kFoldsToNothing) {
        name_first = here;
        break;
      }
    }
    for (std::size_t at = text.size(); at > u;) {
      at = back(at);
      if (at < u) break;
      if (folded_at(at) != kFoldsToNothing) {
        name_last = at;
        break;
      }
    }
    if (name_last < name_first) {
      name_first = 1;
      name_last = 0;
    }
  }
  std::size_t chars = 0;
  for (const char byte : text) chars += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  const std::size_t last = pos[h - 1];
  std::size_t after_at = last;
  decode_utf8(text, after_at);
  const char32_t after = after_at < text.size() ? written_at(after_at) : 0;
  score += finish(subject, now, pos[0] >= u && contiguous, pos[0], last, name_first, name_last,
                  after, chars);
  if (positions) {
    positions->clear();
    for (const std::size_t p : pos) positions->push_back(subject.start + p);
  }
  return score;
}

}  // namespace detail

std::optional<std::int32_t> score(const Token& token, const Subject& subject, std::uint32_t now) {
  if (subject.ascii) {
    // An ASCII path folds to ASCII only: a token with anything else cannot occur in it.
    if (!token.ascii) return std::nullopt;
    return detail::score_ascii(token, subject, now, nullptr);
  }
  return detail::score_general(token, subject, now, nullptr);
}

std::int32_t score_bound(const Token& token, const Subject& subject, std::uint32_t now) {
  const auto h = static_cast<int>(token.chars.size());
  const int best_char = kStartBoundary + kInName;  // no boundary value exceeds 46
  const int run = best_char + (h - 1) * (best_char + kAdjacent);
  const std::size_t bytes = subject.path.size() - subject.start;
  // A character takes at most four bytes.
  const std::size_t fewest_chars = subject.ascii ? bytes : (bytes + 3) / 4;
  int name = kWholeName + kFolderNameMatch;
  const std::size_t name_first = std::max(subject.name_at, subject.start);
  if (h == 1 && token.chars[0] < 0x80 && name_first > subject.start) {
    // One character matches at its first occurrence: one before the name rules out any bonus.
    const auto lower = static_cast<char>(token.chars[0]);
    const char upper = lower >= 'a' && lower <= 'z' ? static_cast<char>(lower - 'a' + 'A') : lower;
    const std::string_view before = subject.path.substr(subject.start, name_first - subject.start);
    const bool earlier = before.find(lower) != std::string_view::npos ||
                         (upper != lower && before.find(upper) != std::string_view::npos);
    if (earlier) name = 0;
  }
  if (name == 0) {
    // No name bonus possible.
  } else if (subject.ascii) {
    const bool starts_with_token =
        name_first < subject.path.size() &&
        kAsciiFold.to[static_cast<unsigned char>(subject.path[name_first])] == token.chars[0];
    if (!starts_with_token) {
      name = kInsideName;
    } else if (subject.path.size() - name_first != token.chars.size()) {
      name = kNamePrefixBeforeDot + kFolderNameMatch;
    }
  } else {
    // The name's first character that does not fold to nothing.
    std::size_t pos = name_first;
    char32_t first = kFoldsToNothing;
    while (pos < subject.path.size() &&
           (first = fold(decode_utf8(subject.path, pos))) == kFoldsToNothing) {
    }
    if (first != token.chars[0]) name = kInsideName;
  }
  return run + name + recency_bonus(subject.mtime, now) - penalties(fewest_chars, subject.depth) +
         subject.pick_boost;
}

std::vector<std::pair<std::size_t, std::size_t>> matched_bytes(const Token& token,
                                                               const Subject& subject) {
  std::vector<std::size_t> positions;
  const bool matched = subject.ascii
                           ? token.ascii && detail::score_ascii(token, subject, 0, &positions)
                           : detail::score_general(token, subject, 0, &positions).has_value();
  std::vector<std::pair<std::size_t, std::size_t>> out;
  if (!matched) return out;
  for (const std::size_t at : positions) {
    std::size_t end = at;
    common::next_code_point(subject.path, end);
    out.emplace_back(at, end - at);
  }
  return out;
}

}  // namespace kavor::mention
