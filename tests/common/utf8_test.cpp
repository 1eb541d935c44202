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

}  // namespace
}  // namespace kavor
