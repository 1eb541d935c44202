#include "common/diff.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/command_output.h"
#include "support/temp_tree.h"

namespace kavor::common {
namespace diff_test {
namespace {

namespace fs = std::filesystem;

struct TextPair {
  std::string old_text;
  std::string new_text;
};

// Shows control and non-ASCII bytes as escapes so that a failing pair can be reproduced.
std::string visible(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char buf[8];
    std::snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02x", c);
    out += buf;
  }
  return out;
}

// Texts made of few distinct lines, so that many alignments are equally short and the choice
// between them is what gets tested.
class PairMaker {
 public:
  explicit PairMaker(unsigned seed) : rng_(seed) {}

  TextPair next() {
    const int shape = pick(0, 19);
    alphabet_ = pick(1, 6);
    crlf_ = pick(0, 5) == 0;
    const int length = shape == 0 ? pick(200, 700) : pick(0, 25);
    std::vector<std::string> old_lines = random_lines(length);
    std::vector<std::string> new_lines;
    if (shape == 1) {
      new_lines = random_lines(pick(0, 25));  // unrelated texts
    } else {
      new_lines = old_lines;
      for (int edits = pick(shape == 0 ? 1 : 0, shape == 0 ? 30 : 4); edits > 0; --edits) {
        edit(new_lines);
      }
    }
    TextPair pair{join(old_lines, pick(0, 3) != 0), join(new_lines, pick(0, 3) != 0)};
    if (shape == 2 && !pair.old_text.empty()) {
      // Same lines, only the final newline differs.
      pair.new_text = pair.old_text;
      if (pair.new_text.back() == '\n') {
        pair.new_text.pop_back();
      } else {
        pair.new_text += '\n';
      }
    }
    return pair;
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  std::string random_line() {
    static const char* const kPool[] = {"a", "b", "c", "", "d\r", "e", "\xc3\xa9t\xc3\xa9", "\xff"};
    std::string line = kPool[pick(0, alphabet_ - 1) + (alphabet_ > 4 ? 2 : 0)];
    if (crlf_) line += '\r';
    return line;
  }

  std::vector<std::string> random_lines(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) lines.push_back(random_line());
    return lines;
  }

  void edit(std::vector<std::string>& lines) {
    const int size = static_cast<int>(lines.size());
    const int at = pick(0, size);
    const int span = std::min(pick(1, 3), size - at);
    switch (pick(0, 2)) {
      case 0:
        lines.insert(lines.begin() + at, static_cast<std::size_t>(pick(1, 3)), random_line());
        break;
      case 1:
        lines.erase(lines.begin() + at, lines.begin() + at + span);
        break;
      default:
        for (int k = 0; k < span; ++k) lines[static_cast<std::size_t>(at + k)] = random_line();
        break;
    }
  }

  static std::string join(const std::vector<std::string>& lines, bool final_newline) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      text += lines[i];
      if (i + 1 < lines.size() || final_newline) text += '\n';
    }
    return text;
  }

  std::mt19937 rng_;
  int alphabet_ = 1;
  bool crlf_ = false;
};

// Runs the system's `diff -U3` once over two folders holding the pairs, and returns the hunks
// per pair (pairs without differences are absent).
std::map<std::size_t, std::string> system_diffs(const std::vector<TextPair>& pairs) {
  // Thousands of small files: a memory-backed folder makes creating them much faster.
  std::error_code ec;
  const fs::path base =
      fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
  const test::TempTree tree("diff_test", base);
  if (tree.path().empty()) return {};
  const fs::path dir = tree.path();
  fs::create_directory(dir / "a");
  fs::create_directory(dir / "b");
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    test::write_file(dir / "a" / std::to_string(i), pairs[i].old_text);
    test::write_file(dir / "b" / std::to_string(i), pairs[i].new_text);
  }

  const std::string command = "cd '" + dir.string() + "' && diff -r -U3 a b";
  const std::string output = test::command_output(command);

  // Each file's section starts with "diff -r -U3 a/N b/N" and the two header lines; hunk lines
  // never start with "diff".
  std::map<std::size_t, std::string> hunks;
  std::string* current = nullptr;
  int headers_left = 0;
  std::size_t pos = 0;
  while (pos < output.size()) {
    const std::size_t end = output.find('\n', pos);
    const std::size_t next = end == std::string::npos ? output.size() : end + 1;
    const std::string line = output.substr(pos, next - pos);
    if (line.rfind("diff -r -U3 a/", 0) == 0) {
      current = &hunks[std::stoul(line.substr(14))];
      headers_left = 2;
    } else if (headers_left > 0) {
      --headers_left;
    } else if (current != nullptr) {
      *current += line;
    }
    pos = next;
  }
  return hunks;
}

TEST(UnifiedDiff, MatchesSystemDiffOnRandomPairs) {
  if (std::system("diff --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no diff program";

  PairMaker maker(20240611);
  std::vector<TextPair> pairs;
  for (int i = 0; i < 6000; ++i) pairs.push_back(maker.next());
  // Large texts with scattered edits, and large unrelated texts where the search gives up on a
  // minimal result.
  std::mt19937 rng(7);
  for (int round = 0; round < 2; ++round) {
    std::string old_text, new_text;
    for (int i = 0; i < 12000; ++i) {
      const std::string line = "line " + std::to_string(i % 1500) + "\n";
      old_text += line;
      new_text += rng() % 200 == 0 ? "changed\n" : (rng() % 300 == 0 ? "" : line);
      if (rng() % 400 == 0) new_text += "added " + std::to_string(rng() % 5) + "\n";
    }
    pairs.push_back({old_text, new_text});
    std::string left, right;
    for (int i = 0; i < 10000; ++i) {
      left += "w" + std::to_string(rng() % (4 + round * 60)) + "\n";
      right += "w" + std::to_string(rng() % (4 + round * 60)) + "\n";
    }
    pairs.push_back({left, right});
  }

  const std::map<std::size_t, std::string> expected = system_diffs(pairs);
  ASSERT_FALSE(expected.empty()) << "the diff program produced no output";
  int failures = 0;
  for (std::size_t i = 0; i < pairs.size() && failures < 5; ++i) {
    const auto found = expected.find(i);
    const std::string want = found == expected.end() ? std::string() : found->second;
    const std::string got = unified_diff(pairs[i].old_text, pairs[i].new_text);
    if (got != want) {
      ++failures;
      ADD_FAILURE() << "pair " << i << "\nold: " << visible(pairs[i].old_text).substr(0, 2000)
                    << "\nnew: " << visible(pairs[i].new_text).substr(0, 2000) << "\nexpected:\n"
                    << want.substr(0, 4000) << "\ngot:\n"
                    << got.substr(0, 4000);
    }
  }
}

TEST(UnifiedDiff, HunkShapes) {
  EXPECT_EQ(unified_diff("", ""), "");
  EXPECT_EQ(unified_diff("a\nb", "a\nb"), "");
  EXPECT_EQ(unified_diff("a\nb\nc\n", "a\nB\nc\n"), "@@ -1,3 +1,3 @@\n a\n-b\n+B\n c\n");
  // Empty ranges name the line before them; single lines omit the count.
  EXPECT_EQ(unified_diff("", "x\n"), "@@ -0,0 +1 @@\n+x\n");
  EXPECT_EQ(unified_diff("x\ny\n", ""), "@@ -1,2 +0,0 @@\n-x\n-y\n");
  EXPECT_EQ(unified_diff("1\n2\n3\n4\n5\n", "1\n2\n3\n4\nnew\n5\n"),
            "@@ -2,4 +2,5 @@\n 2\n 3\n 4\n+new\n 5\n");
  // Changes six unchanged lines apart share a hunk; seven apart they do not.
  const std::string base = "1\n2\n3\n4\n5\n6\n7\n8\n9\n";
  EXPECT_EQ(unified_diff(base, "x\n2\n3\n4\n5\n6\n7\n8\n9\n"),
            "@@ -1,4 +1,4 @@\n-1\n+x\n 2\n 3\n 4\n");
  EXPECT_EQ(unified_diff("0\n" + base, "0\nx\n2\n3\n4\n5\n6\n7\ny\n9\n"),
            "@@ -1,10 +1,10 @@\n 0\n-1\n+x\n 2\n 3\n 4\n 5\n 6\n 7\n-8\n+y\n 9\n");
  EXPECT_EQ(unified_diff(base + "10\n", "x\n2\n3\n4\n5\n6\n7\n8\ny\n10\n"),
            "@@ -1,4 +1,4 @@\n-1\n+x\n 2\n 3\n 4\n@@ -6,5 +6,5 @@\n 6\n 7\n 8\n-9\n+y\n 10\n");
  // Carriage returns belong to the line.
  EXPECT_EQ(unified_diff("a\r\nb\r\n", "a\nb\r\n"), "@@ -1,2 +1,2 @@\n-a\r\n+a\n b\r\n");
  // An insertion into a run of equal lines is shown at the end of the run.
  EXPECT_EQ(unified_diff("x\na\na\ny\n", "x\na\na\na\ny\n"),
            "@@ -1,4 +1,5 @@\n x\n a\n a\n+a\n y\n");
}

TEST(UnifiedDiff, MissingFinalNewline) {
  const std::string marker = "\\ No newline at end of file\n";
  EXPECT_EQ(unified_diff("a", "b"), "@@ -1 +1 @@\n-a\n" + marker + "+b\n" + marker);
  EXPECT_EQ(unified_diff("", "x"), "@@ -0,0 +1 @@\n+x\n" + marker);
  // Only the final newline differs: the last line is removed and added again.
  EXPECT_EQ(unified_diff("a\nb", "a\nb\n"), "@@ -1,2 +1,2 @@\n a\n-b\n" + marker + "+b\n");
  EXPECT_EQ(unified_diff("a\nb\n", "a\nb"), "@@ -1,2 +1,2 @@\n a\n-b\n+b\n" + marker);
  // An unchanged last line without newline shown as context carries the marker too.
  EXPECT_EQ(unified_diff("a\nb\nc", "A\nb\nc"), "@@ -1,3 +1,3 @@\n-a\n+A\n b\n c\n" + marker);
}

TEST(CutDiff, KeepsWholeCharactersAndMarksTheCut) {
  const std::string suffix = "\n[... diff cut ...]";
  EXPECT_EQ(cut_diff("short"), "short");
  const std::string exact(kDiffDisplayLimit, 'x');
  EXPECT_EQ(cut_diff(exact), exact);

  // "\xe2\x82\xac" (the euro sign) occupies bytes 19999..20001: the cut falls before it.
  const std::string euro = "\xe2\x82\xac";
  const std::string text = std::string(19999, 'x') + euro + "tail";
  EXPECT_EQ(cut_diff(text), std::string(19999, 'x') + suffix);
  // A character ending exactly at the limit stays whole.
  const std::string fits = std::string(19997, 'x') + euro + "tail";
  EXPECT_EQ(cut_diff(fits), std::string(19997, 'x') + euro + suffix);
  // Stray continuation bytes, and bytes that cannot start a character, stand alone.
  const std::string x19998(19998, 'x');
  EXPECT_EQ(cut_diff(x19998 + "\x82\x82\x82"), x19998 + "\x82\x82" + suffix);
  EXPECT_EQ(cut_diff(x19998 + "\xff\x80\x80"), x19998 + "\xff\x80" + suffix);
  EXPECT_EQ(cut_diff(x19998 + "\xf0\x9f\x98\x80"), x19998 + suffix);

  // Through the whole path: a long change is cut, a small one is not.
  std::string long_new;
  for (int i = 0; i < 3000; ++i) long_new += "\xc3\xa9l\xc3\xa9ment\n";
  const std::string shown = display_diff("", long_new);
  ASSERT_GT(unified_diff("", long_new).size(), kDiffDisplayLimit);
  ASSERT_GE(shown.size(), suffix.size());
  EXPECT_EQ(shown.substr(shown.size() - suffix.size()), suffix);
  const std::string kept = shown.substr(0, shown.size() - suffix.size());
  EXPECT_LE(kept.size(), kDiffDisplayLimit);
  EXPECT_GT(kept.size(), kDiffDisplayLimit - 4);
  EXPECT_EQ(unified_diff("", long_new).compare(0, kept.size(), kept), 0);
  EXPECT_NE(static_cast<unsigned char>(unified_diff("", long_new)[kept.size()]) & 0xC0, 0x80);
  EXPECT_EQ(display_diff("a\n", "b\n"), "@@ -1 +1 @@\n-a\n+b\n");
}

}  // namespace
}  // namespace diff_test
}  // namespace kavor::common
