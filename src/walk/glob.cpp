// Brace alternatives are expanded into separate patterns before compiling ("src/{a,b}/*.c"
// becomes "src/a/*.c" and "src/b/*.c"), so each expansion follows the plain rules, `**`
// components included, and a path matches when any expansion does. Each expansion is matched by
// the bitset automaton of wildmatch.h, which never backtracks.
#include "walk/glob.h"

#include <algorithm>

namespace kavor::walk {
namespace {

// Expansions allowed for one pattern; "{a,b}{c,d}..." multiplies quickly.
constexpr std::size_t kMaxAlternatives = 1024;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

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
bool expand_braces(std::string_view p, std::vector<std::string>& out, std::string& error) {
  out.assign(1, std::string());
  std::size_t i = 0;
  while (i < p.size()) {
    const char c = p[i];
    if (c == '[') {
      const std::size_t end = class_end(p, i);
      if (end == std::string_view::npos) {
        error = "unclosed character class";
        return false;
      }
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
      if (d == '{') {
        error = "nested alternatives are not supported";
        return false;
      }
      if (d == ',') {
        options.emplace_back();
        ++k;
        continue;
      }
      if (d == '[') {
        const std::size_t end = class_end(p, k);
        if (end == std::string_view::npos) {
          error = "unclosed character class";
          return false;
        }
        options.back().append(p.substr(k, end - k));
        k = end;
        continue;
      }
      options.back().push_back(d);
      ++k;
    }
    if (!closed) {
      error = "unclosed alternative";
      return false;
    }
    if (out.size() * options.size() > kMaxAlternatives) {
      error = "too many alternatives";
      return false;
    }
    std::vector<std::string> product;
    product.reserve(out.size() * options.size());
    for (const auto& head : out)
      for (const auto& tail : options) product.push_back(head + tail);
    out = std::move(product);
    i = k;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return true;
}

}  // namespace

std::optional<Glob> Glob::compile(std::string_view pattern, std::string& error) {
  if (pattern.empty()) {
    error = "empty pattern";
    return std::nullopt;
  }
  std::vector<std::string> expansions;
  if (!expand_braces(pattern, expansions, error)) return std::nullopt;
  Glob glob;
  glob.pattern_ = std::string(pattern);
  glob.alternatives_.reserve(expansions.size());
  for (const auto& e : expansions) {
    auto m = detail::Wildmatch::compile(e, detail::Dialect::Tool, &error);
    if (!m) return std::nullopt;
    glob.alternatives_.push_back(std::move(*m));
  }
  return glob;
}

bool Glob::matches(std::string_view path) const {
  for (const auto& m : alternatives_)
    if (m.matches(path)) return true;
  return false;
}

std::string normalize_glob_pattern(std::string_view raw) {
  while (!raw.empty() && is_space(raw.front())) raw.remove_prefix(1);
  while (!raw.empty() && is_space(raw.back())) raw.remove_suffix(1);
  if (raw.substr(0, 2) == "./") raw.remove_prefix(2);
  return std::string(raw);
}

}  // namespace kavor::walk
