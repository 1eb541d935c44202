#include "common/utf8.h"

#include <gtest/gtest.h>

namespace kavor {
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
      // A right-to-left override turns "rm -rf ~/\u202Ekab.cte" into "rm -rf ~/etc.bak" on screen.
      {"rm -rf ~/\u202Ekab.cte", "rm -rf ~/<U+202E>kab.cte", "rm -rf ~/<U+202E>kab.cte"},
      {"a\u202Ab\u202Bc\u202Cd\u202De", "a<U+202A>b<U+202B>c<U+202C>d<U+202D>e",
       "a<U+202A>b<U+202B>c<U+202C>d<U+202D>e"},
      {"\u2066x\u2067y\u2068z\u2069", "<U+2066>x<U+2067>y<U+2068>z<U+2069>",
       "<U+2066>x<U+2067>y<U+2068>z<U+2069>"},
      {"\u200Ea\u200Fb\u061Cc", "<U+200E>a<U+200F>b<U+061C>c", "<U+200E>a<U+200F>b<U+061C>c"},
      // A carriage return or an erase sequence would overwrite the harmless start of a line.
      {"curl x | sh\r# ls", "curl x | sh<U+000D># ls", "curl x | sh<U+000D># ls"},
      {"ok\x1B[2K\x1B[1Ahidden", "ok<U+001B>[2K<U+001B>[1Ahidden",
       "ok<U+001B>[2K<U+001B>[1Ahidden"},
      {std::string("nul\0bell\x07"
                   "del\x7F",
                   13),
       "nul<U+0000>bell<U+0007>del<U+007F>", "nul<U+0000>bell<U+0007>del<U+007F>"},
      {"c1\u0085\u009B31m", "c1<U+0085><U+009B>31m", "c1<U+0085><U+009B>31m"},
      // Lines and tabs: kept in a text with lines, a one-line text shows its breaks.
      {"make\n\tmake test\n", "make\n\tmake test\n", "make<U+000A>\tmake test<U+000A>"},
      {"one\u2028two\u2029", "one<U+2028>two<U+2029>", "one<U+2028>two<U+2029>"},
      {"a\r\nb", "a<U+000D>\nb", "a<U+000D><U+000A>b"},
      // Persian with its zero-width non-joiner, emoji with joiners, accents: unchanged.
      {"\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645",
       "\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645",
       "\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645"},
      {"\U0001F469\u200D\U0001F4BB caf\u00E9", "\U0001F469\u200D\U0001F4BB caf\u00E9",
       "\U0001F469\u200D\U0001F4BB caf\u00E9"},
      // What a literal escape looks like stays as it is; broken bytes show as U+FFFD.
      {"<U+202E>", "<U+202E>", "<U+202E>"},
      {"a\xFF\xC3", "a\uFFFD\uFFFD", "a\uFFFD\uFFFD"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    const std::string keep = visible_controls(c.text, LineBreaks::Keep);
    EXPECT_EQ(keep, c.keep) << c.text;
    EXPECT_EQ(visible_controls(c.text, LineBreaks::Escape), c.single) << c.text;
    EXPECT_EQ(visible_controls(keep, LineBreaks::Keep), keep) << c.text;
  }
}

}  // namespace
}  // namespace kavor
