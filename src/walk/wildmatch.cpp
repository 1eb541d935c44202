// Compiling patterns into token programs and running them as a bitset automaton; see the header
// for the idea. The pattern rules follow git's wildmatch in pathname mode: `*`, `?` and classes
// never match "/", and `**` is special only as a whole path component.
#include "walk/wildmatch.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kavor::walk::detail {
namespace {

// ASCII-only character classes, independent of the process locale, byte for byte as git's own
// character table has them. Its space class is space, tab, newline and carriage return: not the
// vertical tab and form feed of the C library's isspace, so neither `[[:space:]]` nor
// `[![:space:]]` may lean on it.
bool in_named_class(std::string_view name, unsigned char c, bool* known) {
  const bool upper = c >= 'A' && c <= 'Z';
  const bool lower = c >= 'a' && c <= 'z';
  const bool digit = c >= '0' && c <= '9';
  const bool graph = c > 0x20 && c < 0x7f;
  *known = true;
  if (name == "alnum") return upper || lower || digit;
  if (name == "alpha") return upper || lower;
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return c < 0x20 || c == 0x7f;
  if (name == "digit") return digit;
  if (name == "graph") return graph;
  if (name == "lower") return lower;
  if (name == "print") return graph || c == ' ';
  if (name == "punct") return graph && !upper && !lower && !digit;
  if (name == "space") return c == ' ' || c == '\t' || c == '\n' || c == '\r';
  if (name == "upper") return upper;
  if (name == "xdigit") return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  *known = false;
  return false;
}

enum class ClassResult { Ok, Unclosed, UnknownName, BadRange };

// Parses the class that opens at pattern[pos] == '['. On success `end` is the index just past
// the closing ']'. A ']' right after the opening (or after the negation mark) is a member.
template <typename Set>
ClassResult parse_class(std::string_view p, std::size_t pos, Dialect dialect, Set& set,
                        bool* negated, std::size_t* end) {
  const std::size_t n = p.size();
  std::size_t k = pos + 1;
  *negated = false;
  if (k < n && (p[k] == '!' || p[k] == '^')) {
    *negated = true;
    ++k;
  }
  int prev = -1;  // last single member, the possible start of a range
  bool first = true;
  for (;;) {
    if (k >= n) return ClassResult::Unclosed;
    unsigned char c = static_cast<unsigned char>(p[k]);
    if (c == ']' && !first) break;
    first = false;
    if (c == '\\' && dialect == Dialect::Ignore) {
      if (++k >= n) return ClassResult::Unclosed;
      c = static_cast<unsigned char>(p[k]);
      set(c, c);
      prev = c;
      ++k;
      continue;
    }
    if (c == '-' && prev >= 0 && k + 1 < n && p[k + 1] != ']') {
      ++k;
      unsigned char hi = static_cast<unsigned char>(p[k]);
      if (hi == '\\' && dialect == Dialect::Ignore) {
        if (++k >= n) return ClassResult::Unclosed;
        hi = static_cast<unsigned char>(p[k]);
      }
      if (hi < prev) {
        if (dialect == Dialect::Tool) return ClassResult::BadRange;
      } else {
        set(static_cast<unsigned char>(prev), hi);
      }
      prev = -1;
      ++k;
      continue;
    }
    if (c == '[' && k + 1 < n && p[k + 1] == ':') {
      const std::size_t s = k + 2;
      std::size_t e = s;
      while (e < n && p[e] != ']') ++e;
      if (e >= n) return ClassResult::Unclosed;
      if (e > s && p[e - 1] == ':') {
        const std::string_view name = p.substr(s, e - 1 - s);
        for (int b = 0; b < 256; ++b) {
          bool known = false;
          const auto byte = static_cast<unsigned char>(b);
          const bool member = in_named_class(name, byte, &known);
          if (!known) return ClassResult::UnknownName;
          if (member) set(byte, byte);
        }
        prev = -1;
        k = e + 1;
        continue;
      }
      // No ":]" before the next ']': the '[' is an ordinary member.
    }
    set(c, c);
    prev = c;
    ++k;
  }
  *end = k + 1;
  return ClassResult::Ok;
}

}  // namespace

Result<Wildmatch> Wildmatch::compile(std::string_view p, Dialect dialect) {
  Wildmatch out;
  std::vector<Token> tokens;
  const std::size_t n = p.size();
  const auto never = [&out]() -> Result<Wildmatch> {
    out.shape_ = Shape::Never;
    out.tokens_.clear();
    out.prefix_.clear();
    out.suffix_.clear();
    out.classes_.clear();
    return std::move(out);
  };

  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == '*') {
      std::size_t j = i;
      while (j < n && p[j] == '*') ++j;
      const bool component_start = i == 0 || p[i - 1] == '/';
      if (j - i >= 2 && component_start) {
        if (j == n) {
          tokens.push_back({Op::AnyAll, 0, 0});
          i = j;
          continue;
        }
        if (p[j] == '/') {
          tokens.push_back({Op::DirsStart, 0, 0});
          tokens.push_back({Op::DirsLoop, 0, 0});
          i = j + 1;
          continue;
        }
        // "**\/" (the slash escaped) crosses folders as "**/" does, but git gives it no way
        // past the loop: it stands for one folder or more, never for none, so "a/**\/b"
        // matches "a/c/b" and not "a/b".
        if (dialect == Dialect::Ignore && p[j] == '\\' && j + 1 < n && p[j + 1] == '/') {
          tokens.push_back({Op::DirsLoop, 0, 0});
          i = j + 2;
          continue;
        }
      }
      // Any other run of stars, "**" glued to other characters included, is one `*`.
      tokens.push_back({Op::Star, 0, 0});
      i = j;
      continue;
    }
    if (c == '?') {
      tokens.push_back({Op::Any, 0, 0});
      ++i;
      continue;
    }
    if (c == '[') {
      ByteSet set{};
      bool negated = false;
      std::size_t end = 0;
      const auto add = [&set](unsigned char lo, unsigned char hi) {
        for (unsigned b = lo; b <= hi; ++b) set[b >> 6] |= std::uint64_t{1} << (b & 63);
      };
      switch (parse_class(p, i, dialect, add, &negated, &end)) {
        case ClassResult::Ok:
          break;
        case ClassResult::Unclosed:
          if (dialect == Dialect::Ignore) return never();
          return fail("unclosed character class");
        case ClassResult::UnknownName:
          if (dialect == Dialect::Ignore) return never();
          return fail("unknown character class name");
        case ClassResult::BadRange:
          return fail("character range out of order");
      }
      if (negated)
        for (auto& w : set) w = ~w;
      set['/' >> 6] &= ~(std::uint64_t{1} << ('/' & 63));
      if (out.classes_.size() >= 0xffff) return fail("too many character classes");
      out.classes_.push_back(set);
      tokens.push_back({Op::Class, 0, static_cast<std::uint16_t>(out.classes_.size() - 1)});
      i = end;
      continue;
    }
    if (c == '\\' && dialect == Dialect::Ignore) {
      // A trailing backslash escapes nothing; git rejects such a pattern.
      if (i + 1 >= n) return never();
      tokens.push_back({Op::Literal, static_cast<unsigned char>(p[i + 1]), 0});
      i += 2;
      continue;
    }
    tokens.push_back({Op::Literal, c, 0});
    ++i;
  }

  // Literal runs at both ends are compared directly; the automaton only sees the middle.
  std::size_t head = 0;
  while (head < tokens.size() && tokens[head].op == Op::Literal) {
    out.prefix_.push_back(static_cast<char>(tokens[head].ch));
    ++head;
  }
  if (head == tokens.size()) {
    out.shape_ = Shape::Literal;
    return out;
  }
  std::size_t tail = tokens.size();
  while (tail > head && tokens[tail - 1].op == Op::Literal) --tail;
  for (std::size_t k = tail; k < tokens.size(); ++k)
    out.suffix_.push_back(static_cast<char>(tokens[k].ch));
  out.tokens_.assign(tokens.begin() + static_cast<std::ptrdiff_t>(head),
                     tokens.begin() + static_cast<std::ptrdiff_t>(tail));

  const auto& t = out.tokens_;
  if (t.size() == 1 && t[0].op == Op::AnyAll) {
    out.shape_ = Shape::Anything;
  } else if (t.size() == 3 && t[0].op == Op::DirsStart &&
             (t[2].op == Op::Star || t[2].op == Op::AnyAll)) {
    out.shape_ = Shape::Anything;
  } else if (t.size() == 1 && t[0].op == Op::Star) {
    out.shape_ = Shape::NoSlash;
  } else if (t.size() == 2 && t[0].op == Op::DirsStart) {
    out.shape_ = Shape::DirsOrEmpty;
  } else {
    out.shape_ = Shape::Automaton;
  }
  return out;
}

bool Wildmatch::matches(std::string_view text) const {
  switch (shape_) {
    case Shape::Never:
      return false;
    case Shape::Literal:
      return text == prefix_;
    default:
      break;
  }
  if (text.size() < prefix_.size() + suffix_.size()) return false;
  if (!suffix_.empty() &&
      std::memcmp(text.data() + text.size() - suffix_.size(), suffix_.data(), suffix_.size()) != 0)
    return false;
  if (!prefix_.empty() && std::memcmp(text.data(), prefix_.data(), prefix_.size()) != 0)
    return false;
  const std::string_view middle =
      text.substr(prefix_.size(), text.size() - prefix_.size() - suffix_.size());
  switch (shape_) {
    case Shape::Anything:
      return true;
    case Shape::NoSlash:
      return middle.find('/') == std::string_view::npos;
    case Shape::DirsOrEmpty:
      return middle.empty() || middle.back() == '/';
    default:
      return run_automaton(middle);
  }
}

bool Wildmatch::run_automaton(std::string_view text) const {
  const std::size_t m = tokens_.size();  // position m is the accepting one
  const std::size_t words = (m + 1 + 63) / 64;
  std::uint64_t inline_bits[8];
  std::vector<std::uint64_t> heap_bits;
  std::uint64_t* cur = inline_bits;
  if (words > 4) {
    heap_bits.assign(2 * words, 0);
    cur = heap_bits.data();
  }
  std::uint64_t* next = cur + words;
  std::fill(cur, cur + words, 0);

  const auto set_bit = [](std::uint64_t* set, std::size_t j) {
    std::uint64_t& w = set[j >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (j & 63);
    const bool was = (w & bit) != 0;
    w |= bit;
    return was;
  };
  // Sets position j and follows the empty moves: `*` and `**` may match nothing, and a `**/`
  // start leads into its loop and past it. A position already set has had its moves followed.
  const auto add = [this, m, &set_bit](std::uint64_t* set, std::size_t j) {
    for (;;) {
      if (set_bit(set, j) || j == m) return;
      const Op op = tokens_[j].op;
      if (op == Op::DirsStart) {
        set_bit(set, j + 1);
        j += 2;
      } else if (op == Op::Star || op == Op::AnyAll) {
        ++j;
      } else {
        return;
      }
    }
  };

  add(cur, 0);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    std::fill(next, next + words, 0);
    bool alive = false;
    for (std::size_t w = 0; w < words; ++w) {
      std::uint64_t bits = cur[w];
      while (bits) {
        const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
        bits &= bits - 1;
        if (i == m) continue;
        const Token& tok = tokens_[i];
        switch (tok.op) {
          case Op::Literal:
            if (c != tok.ch) continue;
            add(next, i + 1);
            break;
          case Op::Any:
            if (c == '/') continue;
            add(next, i + 1);
            break;
          case Op::Class:
            if (!has(classes_[tok.klass], c)) continue;
            add(next, i + 1);
            break;
          case Op::Star:
            if (c == '/') continue;
            add(next, i);
            break;
          case Op::AnyAll:
            add(next, i);
            break;
          case Op::DirsStart:
            continue;  // consumes nothing; its moves were followed when it was set
          case Op::DirsLoop:
            set_bit(next, i);
            if (c == '/') add(next, i + 1);
            break;
        }
        alive = true;
      }
    }
    if (!alive) return false;
    std::swap(cur, next);
  }
  return (cur[m >> 6] >> (m & 63)) & 1u;
}

}  // namespace kavor::walk::detail
