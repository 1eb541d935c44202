// Unified diffs that agree byte for byte with `diff -U3` of GNU diffutils.
//
// Many different edit scripts are equally short, so agreeing with that tool means making the
// same choices it makes, in the same order:
//
// 1. Window. The identical beginning and end of the two texts are found byte by byte and left
//    out of the comparison, except for a few lines on either side (the "horizon", as wide as the
//    context) that stay in so that changes can still slide into them.
// 2. Equivalence classes. Every line of the window gets a number; equal lines get equal numbers.
//    A last line without "\n" never equals a line that has one.
// 3. Discarding. Lines that occur nowhere in the other text are taken out before the comparison
//    (they are changes anyway), and so are lines that occur very often in the other text, when
//    they sit inside a run of such lines. This speeds up the search and steers it away from
//    matching frequent lines such as blank ones by accident.
// 4. Middle snake. Myers' O(ND) search runs forward from the top-left and backward from the
//    bottom-right corner of the edit graph at once; where the two frontiers meet lies a middle
//    snake, which splits the problem into two halves that are solved the same way. Only two
//    diagonal vectors are needed, so memory stays linear. When the edit cost grows beyond about
//    the square root of the input size the search stops early and splits at the furthest point
//    either direction reached, which keeps huge, very different inputs fast at the price of a
//    diff that is no longer minimal.
// 5. Boundary shifting. A run of changed lines next to equal lines can often move up or down
//    without changing the result ("a b [b]" versus "a [b] b"). Runs are slid as far down as
//    possible, merged with neighbouring runs when a slide reaches them, and finally moved back to
//    line up with a run of changes in the other text where one exists.
// 6. Hunks. Changes whose gap is at most twice the context (six unchanged lines) share a hunk;
//    each hunk shows three lines of context before and after, deletions before insertions.
//
// Every step above is reproduced, including the early stop on expensive inputs, so the output
// should match the tool's default output for any pair of texts. Texts containing NUL bytes are
// still compared line by line (the tool would only report that binary files differ).

#include "common/diff.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

namespace kavor::common {
namespace {

using Index = std::ptrdiff_t;

constexpr Index kContext = 3;
// Identical lines kept in the window on each side; at least the context so that the first and
// last changes can still slide.
constexpr Index kHorizon = kContext;

// A text cut into lines. Line i is text[start[i], start[i + 1]) and includes its "\n".
struct Lines {
  std::string_view text;
  std::vector<std::size_t> start;
  bool missing_newline = false;

  explicit Lines(std::string_view t) : text(t) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      start.push_back(pos);
      const std::size_t nl = text.find('\n', pos);
      pos = nl == std::string_view::npos ? text.size() : nl + 1;
    }
    start.push_back(text.size());
    missing_newline = !text.empty() && text.back() != '\n';
  }

  Index count() const { return static_cast<Index>(start.size()) - 1; }
  std::string_view line(Index i) const {
    const auto u = static_cast<std::size_t>(i);
    return text.substr(start[u], start[u + 1] - start[u]);
  }

  // The text as the byte comparison sees it: a missing final "\n" is supplied.
  std::size_t padded_size() const { return text.size() + (missing_newline ? 1 : 0); }
  char padded_at(std::size_t pos) const { return pos < text.size() ? text[pos] : '\n'; }

  // Number of lines that begin before byte `pos`.
  Index lines_before(std::size_t pos) const {
    const auto end = start.end() - 1;
    return static_cast<Index>(std::lower_bound(start.begin(), end, pos) - start.begin());
  }
};

// The lines [first, end) of each text that take part in the comparison.
struct Window {
  Index first[2];
  Index end[2];
};

Window find_window(const Lines& a, const Lines& b) {
  const std::size_t size_a = a.padded_size();
  const std::size_t size_b = b.padded_size();

  // Identical beginning, byte by byte.
  const std::size_t shorter = std::min(size_a, size_b);
  std::size_t pos = 0;
  while (pos < shorter && a.padded_at(pos) == b.padded_at(pos)) ++pos;
  // The supplied "\n" of one text must not pair with a real "\n" of the other.
  if ((a.text.size() < pos) != (b.text.size() < pos)) --pos;
  // Back to the start of the line, then keep the horizon's lines in the window.
  while (pos > 0 && a.padded_at(pos - 1) != '\n') --pos;
  for (Index kept = 0; kept < kHorizon && pos > 0; ++kept) {
    --pos;
    while (pos > 0 && a.padded_at(pos - 1) != '\n') --pos;
  }
  const std::size_t prefix_end = pos;

  // Identical end. When only one text lacks its final "\n" the last lines differ anyway.
  std::size_t suffix_a = size_a;
  std::size_t suffix_b = size_b;
  if (a.missing_newline == b.missing_newline) {
    // Never let the end reach into the (horizon-trimmed) beginning of either text.
    const std::size_t stop = prefix_end + (size_a < size_b ? 0 : size_a - size_b);
    while (suffix_a != stop) {
      if (a.padded_at(suffix_a - 1) != b.padded_at(suffix_b - 1)) break;
      --suffix_a;
      --suffix_b;
    }
    const std::size_t matched_from = suffix_a;
    const bool at_line_starts = (suffix_a == 0 || a.padded_at(suffix_a - 1) == '\n') &&
                                (suffix_b == 0 || b.padded_at(suffix_b - 1) == '\n');
    // Give back the horizon, plus the rest of a partly matched line.
    Index give_back = kHorizon + (at_line_starts ? 0 : 1);
    while (give_back-- > 0 && suffix_a != size_a) {
      while (a.padded_at(suffix_a++) != '\n') {
      }
    }
    suffix_b += suffix_a - matched_from;
  }

  Window w{};
  w.first[0] = a.lines_before(prefix_end);
  w.first[1] = b.lines_before(prefix_end);
  w.end[0] = a.lines_before(suffix_a);
  w.end[1] = b.lines_before(suffix_b);
  return w;
}

// Per-line change marks with a zero guard before the first and after the last line, so that
// scans can run off either end without bounds checks.
class Marks {
 public:
  explicit Marks(Index n) : flags_(static_cast<std::size_t>(n) + 2, 0), size_(n) {}
  char& operator[](Index i) { return flags_[static_cast<std::size_t>(i + 1)]; }
  char operator[](Index i) const { return flags_[static_cast<std::size_t>(i + 1)]; }
  Index size() const { return size_; }

 private:
  std::vector<char> flags_;
  Index size_;
};

// Discard verdicts.
enum : char { kKeep = 0, kUnmatched = 1, kFrequent = 2 };

// `base` doubled once for every factor of four in n: about base * sqrt(n).
Index root_scaled(Index n, Index base) {
  Index result = base;
  for (Index rest = n; (rest >>= 2) > 0;) result *= 2;
  return result;
}

// Decides which lines of one text stay out of the comparison. `count_in_other[c]` is how often
// class c occurs in the other text's window.
std::vector<char> choose_discards(const std::vector<Index>& classes,
                                  const std::vector<Index>& count_in_other) {
  const Index n = static_cast<Index>(classes.size());
  std::vector<char> verdict(classes.size(), kKeep);
  auto at = [&verdict](Index i) -> char& { return verdict[static_cast<std::size_t>(i)]; };

  const Index frequent_above = root_scaled(n / 64, 5);
  for (Index i = 0; i < n; ++i) {
    const Index matches =
        count_in_other[static_cast<std::size_t>(classes[static_cast<std::size_t>(i)])];
    if (matches == 0) {
      at(i) = kUnmatched;
    } else if (matches > frequent_above) {
      at(i) = kFrequent;
    }
  }

  // A frequent line is only dropped inside a run of droppable lines that begins and ends with an
  // unmatched line, and only where frequent lines are a small minority: elsewhere it is a useful
  // anchor for the alignment.
  Index i = 0;
  while (i < n) {
    if (at(i) != kUnmatched) {
      at(i) = kKeep;
      ++i;
      continue;
    }
    Index run_end = i;
    Index frequent = 0;
    while (run_end < n && at(run_end) != kKeep) {
      if (at(run_end) == kFrequent) ++frequent;
      ++run_end;
    }
    while (at(run_end - 1) == kFrequent) {
      at(--run_end) = kKeep;
      --frequent;
    }
    const Index length = run_end - i;

    if (frequent * 4 > length) {
      for (Index k = i; k < run_end; ++k) {
        if (at(k) == kFrequent) at(k) = kKeep;
      }
    } else {
      // Long stretches of frequent lines are kept; "long" grows with the square root of the run.
      const Index longest_stretch = root_scaled(length / 4, 1);
      Index k = i;
      while (k < run_end) {
        if (at(k) != kFrequent) {
          ++k;
          continue;
        }
        Index stretch_end = k;
        while (stretch_end < run_end && at(stretch_end) == kFrequent) ++stretch_end;
        if (stretch_end - k > longest_stretch) {
          for (; k < stretch_end; ++k) at(k) = kKeep;
        }
        k = stretch_end;
      }

      // Near either end of the run, keep frequent lines until three unmatched lines in a row
      // have been seen, or an unmatched line at least eight lines in.
      auto keep_frequent_near_edge = [&](Index from, Index step) {
        Index unmatched_in_row = 0;
        for (Index d = 0; d < length; ++d) {
          char& v = at(from + d * step);
          if (d >= 8 && v == kUnmatched) break;
          if (v == kUnmatched) {
            if (++unmatched_in_row == 3) break;
          } else {
            v = kKeep;
            unmatched_in_row = 0;
          }
        }
      };
      keep_frequent_near_edge(i, 1);
      keep_frequent_near_edge(run_end - 1, -1);
    }
    i = run_end;
  }
  return verdict;
}

// The middle-snake search over the kept lines of both texts.
class Aligner {
 public:
  Aligner(const std::vector<Index>& a, const std::vector<Index>& b)
      : a_(a), b_(b), offset_(static_cast<Index>(b.size()) + 1) {
    const std::size_t diagonals = a.size() + b.size() + 3;
    forward_.resize(diagonals);
    backward_.resize(diagonals);
    // Give up on a minimal result once the cost exceeds about the square root of the input
    // size, but never below 4096.
    cost_limit_ = 1;
    for (auto rest = diagonals; rest != 0; rest >>= 2) cost_limit_ <<= 1;
    cost_limit_ = std::max<Index>(cost_limit_, 4096);
  }

  // Marks every line of a (deleted) and b (inserted) that is not part of the alignment.
  void align(std::vector<char>& deleted, std::vector<char>& inserted) {
    struct Task {
      Index x_lo, x_hi, y_lo, y_hi;
      bool minimal;
    };
    std::vector<Task> todo{
        {0, static_cast<Index>(a_.size()), 0, static_cast<Index>(b_.size()), false}};
    while (!todo.empty()) {
      Task t = todo.back();
      todo.pop_back();
      while (t.x_lo < t.x_hi && t.y_lo < t.y_hi && a(t.x_lo) == b(t.y_lo)) ++t.x_lo, ++t.y_lo;
      while (t.x_lo < t.x_hi && t.y_lo < t.y_hi && a(t.x_hi - 1) == b(t.y_hi - 1)) {
        --t.x_hi, --t.y_hi;
      }
      if (t.x_lo == t.x_hi) {
        for (Index y = t.y_lo; y < t.y_hi; ++y) inserted[static_cast<std::size_t>(y)] = 1;
      } else if (t.y_lo == t.y_hi) {
        for (Index x = t.x_lo; x < t.x_hi; ++x) deleted[static_cast<std::size_t>(x)] = 1;
      } else {
        const Split s = split(t.x_lo, t.x_hi, t.y_lo, t.y_hi, t.minimal);
        todo.push_back({s.x, t.x_hi, s.y, t.y_hi, s.upper_minimal});
        todo.push_back({t.x_lo, s.x, t.y_lo, s.y, s.lower_minimal});
      }
    }
  }

 private:
  struct Split {
    Index x, y;
    bool lower_minimal, upper_minimal;
  };

  Index a(Index i) const { return a_[static_cast<std::size_t>(i)]; }
  Index b(Index i) const { return b_[static_cast<std::size_t>(i)]; }
  // Furthest x reached on diagonal d (= x - y) by the forward and the backward search.
  Index& fwd(Index d) { return forward_[static_cast<std::size_t>(d + offset_)]; }
  Index& bwd(Index d) { return backward_[static_cast<std::size_t>(d + offset_)]; }

  // Finds where a shortest path through the box crosses its middle. Both searches extend one edit
  // step per round on every other diagonal; the search that completes a round first on a
  // diagonal the other has already passed has found the split.
  Split split(Index x_lo, Index x_hi, Index y_lo, Index y_hi, bool minimal) {
    const Index d_min = x_lo - y_hi;
    const Index d_max = x_hi - y_lo;
    const Index f_mid = x_lo - y_lo;
    const Index b_mid = x_hi - y_hi;
    Index f_lo = f_mid, f_hi = f_mid, b_lo = b_mid, b_hi = b_mid;
    const bool odd = (f_mid - b_mid) % 2 != 0;
    constexpr Index kUnreachedBelow = -1;
    constexpr Index kUnreachedAbove = std::numeric_limits<Index>::max();

    fwd(f_mid) = x_lo;
    bwd(b_mid) = x_hi;
    for (Index cost = 1;; ++cost) {
      // Widen the forward range by a diagonal on each side, or, at the edge of the box, narrow it
      // so that it keeps this round's parity.
      if (f_lo > d_min) {
        fwd(--f_lo - 1) = kUnreachedBelow;
      } else {
        ++f_lo;
      }
      if (f_hi < d_max) {
        fwd(++f_hi + 1) = kUnreachedBelow;
      } else {
        --f_hi;
      }
      for (Index d = f_hi; d >= f_lo; d -= 2) {
        const Index below = fwd(d - 1);
        const Index above = fwd(d + 1);
        Index x = below < above ? above : below + 1;
        Index y = x - d;
        while (x < x_hi && y < y_hi && a(x) == b(y)) ++x, ++y;
        fwd(d) = x;
        if (odd && b_lo <= d && d <= b_hi && bwd(d) <= x) return {x, y, true, true};
      }

      if (b_lo > d_min) {
        bwd(--b_lo - 1) = kUnreachedAbove;
      } else {
        ++b_lo;
      }
      if (b_hi < d_max) {
        bwd(++b_hi + 1) = kUnreachedAbove;
      } else {
        --b_hi;
      }
      for (Index d = b_hi; d >= b_lo; d -= 2) {
        const Index below = bwd(d - 1);
        const Index above = bwd(d + 1);
        Index x = below < above ? below : above - 1;
        Index y = x - d;
        while (x_lo < x && y_lo < y && a(x - 1) == b(y - 1)) --x, --y;
        bwd(d) = x;
        if (!odd && f_lo <= d && d <= f_hi && x <= fwd(d)) return {x, y, true, true};
      }

      if (minimal || cost < cost_limit_) continue;

      // Too expensive: split at the point either search pushed furthest into the box.
      Index f_best_sum = -1, f_best_x = 0;
      for (Index d = f_hi; d >= f_lo; d -= 2) {
        Index x = std::min(fwd(d), x_hi);
        Index y = x - d;
        if (y_hi < y) x = y_hi + d, y = y_hi;
        if (f_best_sum < x + y) f_best_sum = x + y, f_best_x = x;
      }
      Index b_best_sum = std::numeric_limits<Index>::max(), b_best_x = 0;
      for (Index d = b_hi; d >= b_lo; d -= 2) {
        Index x = std::max(x_lo, bwd(d));
        Index y = x - d;
        if (y < y_lo) x = y_lo + d, y = y_lo;
        if (x + y < b_best_sum) b_best_sum = x + y, b_best_x = x;
      }
      if ((x_hi + y_hi) - b_best_sum < f_best_sum - (x_lo + y_lo)) {
        return {f_best_x, f_best_sum - f_best_x, true, false};
      }
      return {b_best_x, b_best_sum - b_best_x, false, true};
    }
  }

  const std::vector<Index>& a_;
  const std::vector<Index>& b_;
  Index offset_;
  Index cost_limit_;
  std::vector<Index> forward_;
  std::vector<Index> backward_;
};

// Slides the runs of changed lines of one text (see the file comment, step 5). `other` holds the
// other text's marks; `classes` are this text's equivalence classes.
void shift_runs(const std::vector<Index>& classes, Marks& changed, const Marks& other) {
  const Index n = changed.size();
  auto cls = [&classes](Index i) { return classes[static_cast<std::size_t>(i)]; };
  Index i = 0;  // in this text
  Index j = 0;  // the corresponding position in the other text

  for (;;) {
    // Find the next run, keeping j on the line of the other text that pairs with line i.
    while (i < n && !changed[i]) {
      while (other[j]) ++j;
      ++j;
      ++i;
    }
    if (i == n) break;

    Index start = i;
    while (changed[++i]) {
    }
    while (other[j]) ++j;

    // Where the run's end lines up with changes in the other text; n when nowhere.
    Index aligned_end = n;
    Index length = 0;
    do {
      length = i - start;

      // Slide up while the line above equals the run's last line, merging with any run above.
      while (start > 0 && cls(start - 1) == cls(i - 1)) {
        changed[--start] = 1;
        changed[--i] = 0;
        while (changed[start - 1]) --start;
        --j;
        while (other[j]) --j;
      }
      aligned_end = other[j - 1] ? i : n;

      // Then slide down as far as possible, merging with runs below. A merge changes the run,
      // so repeat until its length settles.
      while (i != n && cls(start) == cls(i)) {
        changed[start++] = 0;
        changed[i++] = 1;
        while (changed[i]) ++i;
        ++j;
        while (other[j]) {
          aligned_end = i;
          ++j;
        }
      }
    } while (length != i - start);

    // Prefer the last position at which the run lines up with a change in the other text.
    while (aligned_end < i) {
      changed[--start] = 1;
      changed[--i] = 0;
      --j;
      while (other[j]) --j;
    }
  }
}

struct Change {
  Index old_line, new_line;  // first line of the change in each text (0-based)
  Index deleted, inserted;
};

void append_range(std::string& out, Index first, Index count) {
  // An empty range names the line before it; a single line is shown without its count.
  if (count == 0) {
    out += std::to_string(first);
    out += ",0";
  } else if (count == 1) {
    out += std::to_string(first + 1);
  } else {
    out += std::to_string(first + 1);
    out += ',';
    out += std::to_string(count);
  }
}

void append_line(std::string& out, char tag, const Lines& lines, Index i) {
  out += tag;
  out += lines.line(i);
  if (i == lines.count() - 1 && lines.missing_newline) out += "\n\\ No newline at end of file\n";
}

std::string format_hunks(const Lines& a, const Lines& b, const std::vector<Change>& changes) {
  std::string out;
  std::size_t first = 0;
  while (first < changes.size()) {
    std::size_t last = first;
    while (last + 1 < changes.size() &&
           changes[last + 1].old_line - (changes[last].old_line + changes[last].deleted) <=
               2 * kContext) {
      ++last;
    }
    const Change& head = changes[first];
    const Change& tail = changes[last];
    const Index before = std::min(kContext, head.old_line);
    const Index after = std::min(kContext, a.count() - (tail.old_line + tail.deleted));
    const Index old_first = head.old_line - before;
    const Index new_first = head.new_line - before;
    const Index old_count = tail.old_line + tail.deleted + after - old_first;
    const Index new_count = tail.new_line + tail.inserted + after - new_first;

    out += "@@ -";
    append_range(out, old_first, old_count);
    out += " +";
    append_range(out, new_first, new_count);
    out += " @@\n";

    Index i = old_first;
    for (std::size_t c = first; c <= last; ++c) {
      const Change& ch = changes[c];
      for (; i < ch.old_line; ++i) append_line(out, ' ', a, i);
      for (Index k = 0; k < ch.deleted; ++k) append_line(out, '-', a, ch.old_line + k);
      for (Index k = 0; k < ch.inserted; ++k) append_line(out, '+', b, ch.new_line + k);
      i = ch.old_line + ch.deleted;
    }
    for (; i < old_first + old_count; ++i) append_line(out, ' ', a, i);
    first = last + 1;
  }
  return out;
}

}  // namespace

std::string unified_diff(std::string_view old_text, std::string_view new_text) {
  if (old_text == new_text) return {};
  const Lines texts[2] = {Lines(old_text), Lines(new_text)};
  const Window w = find_window(texts[0], texts[1]);
  Index n[2];
  for (int f = 0; f < 2; ++f) n[f] = w.end[f] - w.first[f];

  // Equivalence classes of the window's lines, and how often each occurs per text.
  std::vector<Index> classes[2];
  std::vector<Index> counts[2];
  {
    std::unordered_map<std::string_view, Index> ids;
    ids.reserve(static_cast<std::size_t>(n[0] + n[1]));
    for (int f = 0; f < 2; ++f) {
      classes[f].reserve(static_cast<std::size_t>(n[f]));
      for (Index i = 0; i < n[f]; ++i) {
        const auto [it, added] =
            ids.try_emplace(texts[f].line(w.first[f] + i), static_cast<Index>(ids.size()));
        classes[f].push_back(it->second);
      }
    }
    for (int f = 0; f < 2; ++f) {
      counts[f].assign(ids.size(), 0);
      for (Index c : classes[f]) ++counts[f][static_cast<std::size_t>(c)];
    }
  }

  // Compare only the kept lines; discarded ones are changes from the start.
  Marks changed[2] = {Marks(n[0]), Marks(n[1])};
  std::vector<Index> kept[2];
  std::vector<Index> kept_line[2];
  for (int f = 0; f < 2; ++f) {
    const std::vector<char> verdict = choose_discards(classes[f], counts[1 - f]);
    for (Index i = 0; i < n[f]; ++i) {
      if (verdict[static_cast<std::size_t>(i)] == kKeep) {
        kept[f].push_back(classes[f][static_cast<std::size_t>(i)]);
        kept_line[f].push_back(i);
      } else {
        changed[f][i] = 1;
      }
    }
  }
  {
    std::vector<char> unaligned[2] = {std::vector<char>(kept[0].size(), 0),
                                      std::vector<char>(kept[1].size(), 0)};
    Aligner(kept[0], kept[1]).align(unaligned[0], unaligned[1]);
    for (int f = 0; f < 2; ++f) {
      for (std::size_t k = 0; k < unaligned[f].size(); ++k) {
        if (unaligned[f][k]) changed[f][kept_line[f][k]] = 1;
      }
    }
  }

  shift_runs(classes[0], changed[0], changed[1]);
  shift_runs(classes[1], changed[1], changed[0]);

  // Pair up the unchanged lines; what lies between two pairs is one change.
  std::vector<Change> changes;
  for (Index i0 = 0, i1 = 0; i0 < n[0] || i1 < n[1]; ++i0, ++i1) {
    if (changed[0][i0] || changed[1][i1]) {
      Change c{w.first[0] + i0, w.first[1] + i1, 0, 0};
      while (changed[0][i0]) ++i0, ++c.deleted;
      while (changed[1][i1]) ++i1, ++c.inserted;
      changes.push_back(c);
    }
  }
  return format_hunks(texts[0], texts[1], changes);
}

std::string cut_diff(std::string diff, std::size_t max_bytes) {
  if (diff.size() <= max_bytes) return diff;
  auto byte = [&diff](std::size_t i) { return static_cast<std::uint8_t>(diff[i]); };
  std::size_t cut = max_bytes;
  // Step back to the first byte of a well-formed multi-byte character that the cut would split.
  // Stray continuation bytes count as characters of their own.
  for (std::size_t back = 1; back <= 3 && back <= cut; ++back) {
    const std::size_t lead = cut - back;
    const std::uint8_t b = byte(lead);
    if ((b & 0xC0) == 0x80) continue;  // continuation byte: look further back
    const std::size_t length = (b & 0xE0) == 0xC0   ? 2
                               : (b & 0xF0) == 0xE0 ? 3
                               : (b & 0xF8) == 0xF0 ? 4
                                                    : 1;
    if (length > back && lead + length <= diff.size()) {
      bool well_formed = true;
      for (std::size_t k = 1; k < length; ++k) {
        well_formed = well_formed && (byte(lead + k) & 0xC0) == 0x80;
      }
      if (well_formed) cut = lead;
    }
    break;
  }
  diff.resize(cut);
  diff += "\n[... diff cut ...]";
  return diff;
}

std::string display_diff(std::string_view old_text, std::string_view new_text) {
  return cut_diff(unified_diff(old_text, new_text));
}

}  // namespace kavor::common
