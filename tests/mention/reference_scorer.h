// The scoring rules written out the slow, plain way: every character decoded into arrays,
// each rule computed as it is stated. The scorer's two ways (bytes for ASCII, a streaming pass
// for the rest) are held to it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/utf8.h"
#include "mention/fold.h"
#include "mention/scorer.h"

namespace kavor::mention::test {

inline int reference_boundary(char32_t before, char32_t at) {
  if (before == ' ' || before == '-' || before == '.' || before == '_') return 40;
  if (before == '/') return 46;
  if (is_lower_case(before) && is_upper_case(at)) return 36;
  return is_letter(before) == is_letter(at) ? 16 : 28;
}

// The score and the matched positions (byte offsets in the whole path).
inline std::optional<std::int32_t> reference_score(const Token& token, const Subject& s,
                                                   std::uint32_t now,
                                                   std::vector<std::size_t>* positions = nullptr) {
  const std::string_view text = s.path.substr(s.start);
  const std::size_t h = token.chars.size();
  if (h == 0 || text.size() < h) return std::nullopt;
  std::vector<char32_t> c;
  std::vector<char32_t> f;
  std::vector<std::size_t> at;
  for (std::size_t pos = 0; pos < text.size();) {
    at.push_back(s.start + pos);
    c.push_back(common::next_code_point(text, pos));
    f.push_back(fold_char(c.back()));
  }
  const std::size_t n = c.size();
  std::size_t u = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (at[i] >= s.name_at) {
      u = i;
      break;
    }
  }
  const auto ignored = [&](std::size_t i) { return f[i] == kFoldsToNothing; };

  std::size_t end = n;
  for (std::size_t i = 0, k = 0; i < n && end == n; ++i) {
    if (!ignored(i) && f[i] == token.chars[k] && ++k == h) end = i;
  }
  if (end == n) return std::nullopt;
  std::vector<std::size_t> p(h);
  for (std::size_t i = end + 1, k = h; k-- > 0;) {
    do --i;
    while (ignored(i) || f[i] != token.chars[k]);
    p[k] = i;
  }
  const auto kept_between = [&](std::size_t a, std::size_t b) {
    std::size_t g = 0;
    for (std::size_t i = a + 1; i < b; ++i) g += !ignored(i);
    return g;
  };

  int score = 0;
  bool contiguous = true;
  for (std::size_t k = 0; k < h; ++k) {
    int j = 46;
    for (std::size_t q = p[k]; q-- > 0;) {
      if (!ignored(q)) {
        j = reference_boundary(c[q], c[p[k]]);
        break;
      }
    }
    const int v = score + j + (p[k] >= u ? 8 : 0);
    if (k == 0) {
      score = p[0] >= u ? v - 2 * static_cast<int>(std::min<std::size_t>(p[0] - u, 10)) : v;
    } else if (const std::size_t g = kept_between(p[k - 1], p[k]); g == 0) {
      score = v + 20;
    } else {
      score = v - 2 * static_cast<int>(std::min<std::size_t>(g, 10));
      contiguous = false;
    }
  }
  if (p[0] >= u && contiguous) {
    std::optional<std::size_t> l;
    std::optional<std::size_t> e;
    for (std::size_t i = u; i < n; ++i) {
      if (ignored(i)) continue;
      if (!l) l = i;
      e = i;
    }
    if (!l || p[0] != *l) {
      score += 300;
    } else {
      score += p[h - 1] == *e ? 1300 : (p[h - 1] + 1 < n && c[p[h - 1] + 1] == '.' ? 850 : 700);
      if (s.is_dir) score += 4;
    }
  }
  if (s.mtime != 0) {
    const std::uint32_t age = now > s.mtime ? now - s.mtime : 0;
    score += age <= 86'400 ? 12 : age <= 604'800 ? 8 : age <= 2'592'000 ? 4 : 0;
  }
  score -= static_cast<int>(std::min<std::size_t>(n / 8, 40)) + 3 * static_cast<int>(s.depth);
  if (positions) {
    positions->clear();
    for (const std::size_t i : p) positions->push_back(at[i]);
  }
  return score + s.pick_boost;
}

}  // namespace kavor::mention::test
