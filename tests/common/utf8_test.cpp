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

}  // namespace
}  // namespace kavor
