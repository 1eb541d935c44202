#include "mention/scorer.h"

#include <gtest/gtest.h>

#include <random>

#include "mention/fold.h"
#include "mention/index.h"
#include "reference_scorer.h"

namespace kavor::mention {
namespace scorer_test {
namespace {

// The score of `token` against a whole path, as an index entry would be scored.
std::optional<std::int32_t> score_of(std::string_view token, const std::string& path,
                                     std::uint32_t mtime = 0, bool is_dir = false,
                                     std::uint32_t now = 2'000'000'000) {
  const Entry e = Entry::make(path, mtime, is_dir);
  Subject s;
  s.path = e.path;
  s.name_at = e.name_at;
  s.depth = e.depth;
  s.is_dir = is_dir;
  s.ascii = (e.chars & kNonAsciiText) == 0;
  s.mtime = mtime;
  return score(Token::make(token), s, now);
}

TEST(Fold, TableOfEquivalentSpellingsAndIgnoredMarks) {
  const std::vector<std::pair<char32_t, char32_t>> cases = {
      {U'A', U'a'},           {U'Z', U'z'},
      {U'\\', U'/'},          {U'_', U'_'},
      {U'\u0623', U'\u0627'}, {U'\u0625', U'\u0627'},
      {U'\u0671', U'\u0627'}, {U'\u0626', U'\u06CC'},
      {U'\u0649', U'\u06CC'}, {U'\u064A', U'\u06CC'},
      {U'\u0629', U'\u0647'}, {U'\u06C0', U'\u0647'},
      {U'\u0643', U'\u06A9'}, {U'\u0660', U'0'},
      {U'\u0669', U'9'},      {U'\u06F0', U'0'},
      {U'\u06F5', U'5'},      {U'\u067E', U'\u067E'},  // Persian peh has no other spelling
      {U'\u00C4', U'\u00E4'}, {U'\u0130', U'i'},
      {U'\u212A', U'k'},  // Kelvin sign
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(fold_char(in), out) << std::hex << static_cast<std::uint32_t>(in);
  for (const char32_t ignored : {U'\u0300', U'\u036F', U'\u064B', U'\u065F', U'\u0640', U'\u0670',
                                 U'\u200C', U'\u200D', U'\u200E', U'\u200F'})
    EXPECT_EQ(fold_char(ignored), kFoldsToNothing)
        << std::hex << static_cast<std::uint32_t>(ignored);

  const Token t = Token::make("K\u200Cا\u064Bب");
  EXPECT_EQ(t.chars, U"kاب");
  EXPECT_FALSE(t.ascii);
  EXPECT_TRUE(Token::make("\u06F1\u06F2").ascii);  // Persian digits fold to ASCII
}

TEST(Scorer, ExamplesOfTheRankingIdea) {
  // A top-level README.md beats a file inside a folder named like the query.
  EXPECT_EQ(score_of("readme", "README.md"), 1120);
  EXPECT_EQ(score_of("readme", "readme-old/x.txt"), 218);
  // "mc": the start of MyClass.java, then the capital C of its camel hump, one letter skipped.
  EXPECT_EQ(score_of("mc", "MyClass.java"), 92);
  // Whole name: 54 + 2 x 44 = 142, +1300, +4 for a folder, -0 -3.
  EXPECT_EQ(score_of("src", "src", 0, true), 1443);
  EXPECT_EQ(score_of("src", "src", 0, false), 1439);
  // A prefix not followed by ".": +700.
  EXPECT_EQ(score_of("mak", "Makefile"), 54 + 44 + 44 + 700 - 1 - 3);
  // Before the name there is no +8; the first match's distance from the name start is not
  // charged there, and nothing in the name, nothing of the bonus.
  EXPECT_EQ(score_of("a", "a/b"), 46 - 0 - 6);
  EXPECT_EQ(score_of("zzz", "README.md"), std::nullopt);
  EXPECT_EQ(score_of("readmee", "README.md"), std::nullopt);
}

TEST(Scorer, BoundaryValuesGapsAndRecency) {
  // One character each, in the name but not at its start: S = J + 8 - 2 x distance, +300.
  EXPECT_EQ(score_of("b", "foo_bar"), 40 + 8 - 8 + 300 - 3);            // after "_"
  EXPECT_EQ(score_of("b", "foo.bar"), 40 + 8 - 8 + 300 - 3);            // after "."
  EXPECT_EQ(score_of("b", "foo bar"), 40 + 8 - 8 + 300 - 3);            // after " "
  EXPECT_EQ(score_of("b", "fooBar"), 36 + 8 - 6 + 300 - 3);             // camel hump
  EXPECT_EQ(score_of("2", "v2"), 28 + 8 - 2 + 300 - 3);                 // letter to digit
  EXPECT_EQ(score_of("b", "ab"), 16 + 8 - 2 + 300 - 3);                 // inside a word
  EXPECT_EQ(score_of("b", "a/b"), 46 + 8 + 1300 - 6);                   // whole name after "/"
  EXPECT_EQ(score_of("b", "AB"), 16 + 8 - 2 + 300 - 3);                 // upper after upper
  EXPECT_EQ(score_of("\u00E0", "\u00E9\u00C0"), 36 + 8 - 2 + 300 - 3);  // é then À
  // A gap of more than ten characters costs 20, no more.
  EXPECT_EQ(score_of("ab", "axxxxxxxxxxxxb"), 54 + 16 + 8 - 20 - 1 - 3);
  // Characters that fold to nothing neither break a run nor count as a gap.
  EXPECT_EQ(score_of("ab", "a\u200Cb"), score_of("ab", "ab"));
  EXPECT_EQ(score_of("ab", "a\u200Cb"), 54 + 44 + 1300 - 3);
  // Recency: a day, a week, thirty days; time 0 means unknown.
  const std::uint32_t now = 2'000'000'000;
  const auto aged = [&](std::uint32_t age) { return *score_of("x", "x", now - age, false, now); };
  const int base = *score_of("x", "x", 0, false, now);
  EXPECT_EQ(aged(0) - base, 12);
  EXPECT_EQ(aged(86'400) - base, 12);
  EXPECT_EQ(aged(86'401) - base, 8);
  EXPECT_EQ(aged(604'801) - base, 4);
  EXPECT_EQ(aged(2'592'001) - base, 0);
  EXPECT_EQ(*score_of("x", "x", now + 50, false, now) - base, 12);  // from the future: age 0
  // Length and depth: -1 per 8 characters up to -40, -3 per level.
  EXPECT_EQ(*score_of("x", std::string(400, 'a') + "/x") - *score_of("x", "a/x"), -40);
}

// Random paths and tokens, ASCII and not: the byte fast path and the streaming general path
// must agree with the rules written out plainly (reference_scorer.h) on the score and on every
// matched position, and no score may exceed the bound a search uses to pass over candidates
// unread.
TEST(Scorer, BothPathsAndTheBoundAgreeWithThePlainRules) {
  std::mt19937 rng(20240607);
  const std::vector<std::string> ascii_units = {"a", "b", "c", "A", "B", "C", "0", "1", "9",
                                                "/", ".", "_", "-", " ", "x", "y", "Z", "\\"};
  const std::vector<std::string> other_units = {"\u00E9", "\u00C9",    "\u00C0", "\u06A9",
                                                "\u0643", "\u200C",    "\u064B", "\u06F1",
                                                "\u0130", "\U0001F600"};
  constexpr std::uint32_t kNow = 2'000'000'000;
  int matched = 0;
  int matched_other = 0;
  for (int round = 0; round < 25000; ++round) {
    const bool ascii = round % 3 != 0;
    std::vector<std::string> units;
    const std::size_t length = 1 + rng() % 30;
    for (std::size_t i = 0; i < length; ++i) {
      const bool other = !ascii && rng() % 3 == 0;
      units.push_back(other ? other_units[rng() % other_units.size()]
                            : ascii_units[rng() % ascii_units.size()]);
    }
    while (!units.empty() && units.front() == "/") units.erase(units.begin());
    std::string path;
    for (const auto& unit : units) path += unit;
    if (path.empty()) continue;
    const Entry e = Entry::make(path, rng() % 3 == 0 ? 0 : 1'999'000'000, rng() % 2 == 0);
    // Mostly a token taken from the path itself, so that most rounds match.
    std::string token;
    if (rng() % 3 != 0) {
      for (const auto& unit : units)
        if (rng() % 3 == 0) token += unit;
    } else {
      for (int i = 0; i < 1 + static_cast<int>(rng() % 4); ++i)
        token += ascii_units[rng() % ascii_units.size()];
    }
    const Token t = Token::make(token);
    if (t.empty()) continue;
    Subject s;
    s.path = e.path;
    s.start = rng() % 4 == 0 ? units[0].size() : 0;
    s.name_at = e.name_at;
    s.depth = e.depth;
    s.is_dir = e.is_dir;
    s.ascii = (e.chars & kNonAsciiText) == 0;
    s.mtime = e.mtime;
    s.pick_boost = static_cast<int>(rng() % 3) * 10;
    std::vector<std::size_t> expected_positions;
    const auto expected = test::reference_score(t, s, kNow, &expected_positions);
    std::vector<std::size_t> general_positions;
    const auto general = detail::score_general(t, s, kNow, &general_positions);
    ASSERT_EQ(general, expected) << "path \"" << path << "\" token \"" << token << "\" start "
                                 << s.start;
    if (!expected) continue;
    ASSERT_EQ(general_positions, expected_positions) << path << " / " << token;
    ASSERT_LE(*expected, score_bound(t, s, kNow)) << path << " / " << token;
    ++(s.ascii ? matched : matched_other);
    if (!s.ascii || !t.ascii) continue;
    std::vector<std::size_t> fast_positions;
    ASSERT_EQ(detail::score_ascii(t, s, kNow, &fast_positions), expected) << path << " / " << token;
    ASSERT_EQ(fast_positions, expected_positions) << path << " / " << token;
  }
  EXPECT_GT(matched, 5000);
  EXPECT_GT(matched_other, 1500);
}

TEST(Scorer, PersianAndArabicSpellingsMatchEachOther) {
  // Arabic kaf and yeh typed, Persian keheh and yeh stored; Persian digits stored, ASCII typed.
  EXPECT_TRUE(score_of("كتابي", "کتابی.md").has_value());
  EXPECT_TRUE(score_of("12", "گزارش۱۲.txt").has_value());
  EXPECT_TRUE(score_of("۱۲", "report12.txt").has_value());
  EXPECT_TRUE(score_of("مي\u200Cخواهم", "میخواهم").has_value());
  EXPECT_TRUE(score_of("اسناد", "أسناد/a").has_value());
  EXPECT_FALSE(score_of("ب", "readme").has_value());
  // The whole-name bonus works across the folding: "کتابی" typed with Arabic letters.
  EXPECT_EQ(score_of("كتابي", "کتابی"), score_of("کتابی", "کتابی"));

  // Matched characters come back as byte runs of the stored path.
  const Entry e = Entry::make("\u0645\u0646/\u06A9\u062A\u0627\u0628.md", 0, false);
  Subject s;
  s.path = e.path;
  s.name_at = e.name_at;
  s.depth = e.depth;
  const auto runs = matched_bytes(Token::make("كتاب"), s);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0], (std::pair<std::size_t, std::size_t>(5, 2)));
  EXPECT_EQ(runs[3], (std::pair<std::size_t, std::size_t>(11, 2)));
}

}  // namespace
}  // namespace scorer_test
}  // namespace kavor::mention
