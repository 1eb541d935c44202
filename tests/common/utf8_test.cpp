#include "common/utf8.h"

#include <gtest/gtest.h>

namespace kavor::common {
namespace utf8_test {
namespace {

TEST(Utf8, DecodingReplacesEachBrokenPieceOnce) {
  EXPECT_TRUE(valid_utf8("plain ascii and \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  EXPECT_FALSE(valid_utf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_FALSE(valid_utf8("\xC0\xAF"));      // an overlong form
  EXPECT_EQ(utf8_lossy("a\xF0\x9F\x98"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("\xE2\x82"), "\xEF\xBF\xBD");
  EXPECT_EQ(trim_end_unicode("text \t\xC2\xA0\xE3\x80\x80\r"), "text");
  EXPECT_EQ(trim_end_unicode("\xC3\xA9"), "\xC3\xA9");
}

TEST(Utf8, CodePointsRoundTripAndBrokenSequencesStepLikeTheLossyDecoder) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF0\x9F\x98z\xFF";
  std::string rebuilt;
  std::size_t pos = 0;
  while (pos < text.size()) append_code_point(next_code_point(text, pos), rebuilt);
  EXPECT_EQ(rebuilt, utf8_lossy(text));
  EXPECT_EQ(utf8_cut_bytes("\xC3\xA9\xC3\xA9", 3), "\xC3\xA9");
  EXPECT_EQ(utf8_cut_bytes("abc", 5), "abc");
}

TEST(Utf8, OnlyACharacterTheEndCutsShortIsUnfinished) {
  struct Case {
    std::string bytes;
    std::size_t tail;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 0},
      {"a\xC3", 1},                 // two-byte lead
      {"a\xE2\x82", 2},             // three-byte sequence missing its last byte
      {"\xF0\x9F\x98", 3},          // four-byte sequence missing its last byte
      {"\xF0\x9F\x98\x80", 0},      // complete
      {"\xC3\xA9", 0},              // complete
      {"\xE0\x80", 0},              // overlong: can never become a character
      {"\xED\xA0", 0},              // a surrogate
      {"\xF4\x90", 0},              // beyond U+10FFFF
      {"\xFF", 0},                  // never a lead
      {"\x80\x80\x80", 0},          // continuation bytes without a lead
      {"\xF0\x9F\x98\x80\xE2", 1},  // a new lead after a complete character
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_unfinished_tail(c.bytes), c.tail) << c.bytes;
}

// The tricks a shown command or notification could play, each made visible; what people write
// in their own languages stays as written.
TEST(Utf8, CharactersThatChangeHowATextReadsAreShownEscaped) {
  struct Case {
    std::string text;
    std::string keep;    // LineBreaks::Keep
    std::string single;  // LineBreaks::Escape
  };
  const Case cases[] = {
      // On screen the override turns "kab.cte" into "etc.bak".
      {"rm ~/\u202Ekab.cte \u202A\u202D\u2066\u2069",
       "rm ~/<U+202E>kab.cte <U+202A><U+202D><U+2066><U+2069>",
       "rm ~/<U+202E>kab.cte <U+202A><U+202D><U+2066><U+2069>"},
      {"\u200Ea\u200F\u061C\u2028", "<U+200E>a<U+200F><U+061C><U+2028>",
       "<U+200E>a<U+200F><U+061C><U+2028>"},
      // A carriage return or an erase sequence would overwrite the harmless start of a line.
      {"curl x | sh\r# ls\x1B[2K\u009B", "curl x | sh<U+000D># ls<U+001B>[2K<U+009B>",
       "curl x | sh<U+000D># ls<U+001B>[2K<U+009B>"},
      {std::string("a\0\x7F", 3), "a<U+0000><U+007F>", "a<U+0000><U+007F>"},
      {"make\n\tmake test\r\n", "make\n\tmake test\r\n", "make<U+000A>\tmake test<U+000D><U+000A>"},
      // Persian with its zero-width non-joiner, an emoji with its joiner: unchanged.
      {"\u0645\u06CC\u200C\u062E \U0001F469\u200D\U0001F4BB",
       "\u0645\u06CC\u200C\u062E \U0001F469\u200D\U0001F4BB",
       "\u0645\u06CC\u200C\u062E \U0001F469\u200D\U0001F4BB"},
      {"a\xFF<U+202E>", "a\uFFFD<U+202E>", "a\uFFFD<U+202E>"},
  };
  for (const Case& c : cases) {
    const std::string keep = visible_controls(c.text, LineBreaks::Keep);
    EXPECT_EQ(keep, c.keep) << c.text;
    EXPECT_EQ(visible_controls(c.text, LineBreaks::Escape), c.single) << c.text;
    EXPECT_EQ(visible_controls(keep, LineBreaks::Keep), keep) << c.text;
  }
}

}  // namespace
}  // namespace utf8_test
}  // namespace kavor::common
