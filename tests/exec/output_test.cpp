#include "exec/output.h"

#include <gtest/gtest.h>

#include <random>

#include "common/utf8.h"

namespace kavor::exec {
namespace output_test {
namespace {

std::string numbered(std::size_t size) {
  std::string out;
  for (std::size_t i = 0; out.size() < size; ++i) out += std::to_string(i) + ",";
  out.resize(size);
  return out;
}

TEST(OutputCapture, KeepsTheHeadAndTheTailWithTheCountBetweenThemWhateverThePieces) {
  const std::string all = numbered(100'000);
  std::mt19937 random(7);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{4096}, std::size_t{14'999},
                                  std::size_t{40'000}, std::size_t{100'000}, std::size_t{0}}) {
    OutputCapture capture;
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t n = piece ? piece : 1 + random() % 20'000;  // 0: random pieces
      capture.add(std::string_view(all).substr(at, n));
      at += n;
    }
    EXPECT_EQ(capture.total(), 100'000u);
    EXPECT_EQ(capture.text(),
              all.substr(0, 15'000) + "\n[... 70000 bytes cut ...]\n" + all.substr(85'000))
        << piece;
  }
  for (const std::size_t size : {std::size_t{0}, std::size_t{15'001}, std::size_t{30'000}}) {
    OutputCapture capture;
    capture.add(numbered(size));
    EXPECT_EQ(capture.text(), numbered(size)) << size;
  }
  OutputCapture one_more;
  one_more.add(numbered(30'001));
  EXPECT_NE(one_more.text().find("\n[... 1 bytes cut ...]\n"), std::string::npos);
  // Broken bytes are replaced, in the kept parts and at the cut between them.
  OutputCapture broken;
  broken.add("\xFF" + std::string(40'000, 'a') + "\xE2\x82");
  EXPECT_EQ(broken.text().substr(0, 4),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(broken.text().substr(broken.text().size() - 4), "a\xEF\xBF\xBD");
}

TEST(StreamDecoder, PiecesDecodeToTheWholeTextWhereverTheReadsSplitCharacters) {
  const std::string text =
      "plain \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 "
      "broken: \xFF \xE2\x82 \xF0\x9F \xC0\xAF \xED\xA0\x80 end\xE2";
  std::mt19937 random(11);
  for (int round = 0; round < 500; ++round) {
    StreamDecoder decoder;
    std::string joined;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t n = 1 + random() % 6;
      const std::string piece = decoder.decode(std::string_view(text).substr(at, n));
      EXPECT_TRUE(common::valid_utf8(piece));
      joined += piece;
      at += n;
    }
    joined += decoder.finish();
    ASSERT_EQ(joined, common::utf8_lossy(text)) << "round " << round;
  }
}

}  // namespace
}  // namespace output_test
}  // namespace kavor::exec
