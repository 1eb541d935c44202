// Brace alternatives are expanded into separate patterns before compiling ("src/{a,b}/*.c"
// becomes "src/a/*.c" and "src/b/*.c"), so each expansion follows the plain rules, `**`
// components included, and a path matches when any expansion does. Each expansion is matched by
// the bitset automaton of wildmatch.h, which never backtracks.
#include "walk/glob.h"

#include <algorithm>

#include "platform/text.h"

namespace kavor::walk {
namespace {

// Expansions allowed for one pattern; "{a,b}{c,d}..." multiplies quickly.
constexpr std::size_t kMaxAlternatives = 1024;

// Index just past the class opening at p[pos] == '[', or npos when it is not closed. Mirrors
// the class syntax of the matcher: a ']' first (after an optional negation mark) is a member,
// and "[:name:]" inside a class holds its own ']'.
std::size_t class_end(std::string_view p, std::size_t pos) {
  std::size_t k = pos + 1;
  if (k < p.size() && (p[k] == '!' || p[k] == '^')) ++k;
  bool first = true;
  while (k < p.size()) {
    if (p[k] == ']' && !first) return k + 1;
    first = false;
    if (p[k] == '[' && k + 1 < p.size() && p[k + 1] == ':') {
      const std::size_t close = p.find(']', k + 2);
      if (close == std::string_view::npos) return close;
      if (close > k + 2 && p[close - 1] == ':') {
        k = close + 1;
        continue;
      }
    }
    ++k;
  }
  return std::string_view::npos;
}

// Splits the pattern into the cartesian product of its brace groups.
Result<std::vector<std::string>> expand_braces(std::string_view p) {
  std::vector<std::string> out(1);
  std::size_t i = 0;
  while (i < p.size()) {
    const char c = p[i];
    if (c == '[') {
      const std::size_t end = class_end(p, i);
      if (end == std::string_view::npos) return fail("unclosed character class");
      for (auto& s : out) s.append(p.substr(i, end - i));
      i = end;
      continue;
    }
    if (c != '{') {
      for (auto& s : out) s.push_back(c);
      ++i;
      continue;
    }
    // One group: collect its alternatives.
    std::vector<std::string> options(1);
    std::size_t k = i + 1;
    bool closed = false;
    while (k < p.size()) {
      const char d = p[k];
      if (d == '}') {
        closed = true;
        ++k;
        break;
      }
      if (d == '{') return fail("nested alternatives are not supported");
      if (d == ',') {
        options.emplace_back();
        ++k;
        continue;
      }
      if (d == '[') {
        const std::size_t end = class_end(p, k);
        if (end == std::string_view::npos) return fail("unclosed character class");
        options.back().append(p.substr(k, end - k));
        k = end;
        continue;
      }
      options.back().push_back(d);
      ++k;
    }
    if (!closed) return fail("unclosed alternative");
    if (out.size() * options.size() > kMaxAlternatives) return fail("too many alternatives");
    std::vector<std::string> product;
    product.reserve(out.size() * options.size());
    for (const auto& head : out)
      for (const auto& tail : options) product.push_back(head + tail);
    out = std::move(product);
    i = k;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

Result<Glob> Glob::compile(std::string_view pattern) {
  if (pattern.empty()) return fail("empty pattern");
  const Result<std::vector<std::string>> expansions = expand_braces(pattern);
  if (!expansions.ok()) return expansions.error();
  Glob glob;
  glob.pattern_ = std::string(pattern);
  glob.alternatives_.reserve(expansions->size());
  for (const auto& e : expansions.value()) {
    Result<detail::Wildmatch> m = detail::Wildmatch::compile(e, detail::Dialect::Tool);
    if (!m.ok()) return m.error();
    glob.alternatives_.push_back(std::move(m).value());
  }
  return glob;
}

bool Glob::matches(std::string_view path) const {
  for (const auto& m : alternatives_)
    if (m.matches(path)) return true;
  return false;
}

std::string normalize_glob_pattern(std::string_view raw) {
  std::string pattern = trim(raw);
  if (pattern.starts_with("./")) pattern.erase(0, 2);
  return pattern;
}

}  // namespace kavor::walk
