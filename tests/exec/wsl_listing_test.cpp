#include "exec/wsl_listing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "run_support.h"

namespace kavor::exec {
namespace wsl_listing_test {
namespace {

using namespace test;

std::string utf16le(std::u16string_view text) {
  std::string out;
  for (const char16_t unit : text) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

TEST(WslListing, TheBytesTellTheirEncodingAndMarksAndNulsAreDropped) {
  const std::u16string listing = u"  NAME      STATE    VERSION\r\n* Ubuntu    Running  2\r\n";
  const std::string text = "  NAME      STATE    VERSION\r\n* Ubuntu    Running  2\r\n";
  EXPECT_EQ(decode_wsl_listing(utf16le(listing)), text);
  EXPECT_EQ(decode_wsl_listing(utf16le(u"\uFEFF" + listing)), text);
  EXPECT_EQ(decode_wsl_listing(text), text);
  EXPECT_EQ(decode_wsl_listing("\xEF\xBB\xBF" + text), text);
  // A name outside ASCII, a pair of surrogates, half of a pair and a cut-off unit; the mark
  // decides, as the surrogates' high bytes are not zero.
  EXPECT_EQ(decode_wsl_listing(utf16le(u"\uFEFF* D\u00E9bian \U0001F600 \xD800.") + "x"),
            "* D\xC3\xA9"
            "bian \xF0\x9F\x98\x80 \xEF\xBF\xBD.\xEF\xBF\xBD");
  // Only the first 64 code units decide: a non-ASCII character later does not matter.
  const std::u16string long_line = std::u16string(70, u'a') + u"\u0100";
  EXPECT_EQ(decode_wsl_listing(utf16le(long_line)), std::string(70, 'a') + "\xC4\x80");
  EXPECT_EQ(decode_wsl_listing(std::string("a\0b\0", 4) + "\xFF"), "ab\xEF\xBF\xBD");
  EXPECT_EQ(decode_wsl_listing(""), "");
  EXPECT_EQ(decode_wsl_listing("a\xFF"
                               "b"),
            "a\xEF\xBF\xBD"
            "b");  // UTF-8, broken
}

class WslTest : public RealProcessTest {};

TEST_F(WslTest, WithoutWslTheListingSaysSoAndAFailingWslAddsTheNote) {
  const std::atomic<bool> stop{false};
  const RunOutcome missing = list_wsl_distributions(folder_, stop);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(output(missing), "WSL is not available: wsl.exe is not installed or not on PATH.");

  // Where a wsl.exe answers, its UTF-16 answer is decoded and a failure gets the note. (WSL
  // cannot run here; this stand-in answers as the real one does when it is not set up.)
  const fs::path bin = folder_ / "bin";
  fs::create_directory(bin);
  std::ofstream(bin / "wsl.exe")
      << "#!/bin/sh\n"
         "printf 'N\\000o\\000 \\000W\\000S\\000L\\000\\r\\000\\n\\000'\n"
         "exit ${KAVOR_TEST_WSL_EXIT:-1}\n";
  fs::permissions(bin / "wsl.exe", fs::perms::owner_all);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
  const RunOutcome failing = list_wsl_distributions(folder_, stop);
  ::setenv("KAVOR_TEST_WSL_EXIT", "0", 1);
  const RunOutcome listing = list_wsl_distributions(folder_, stop);
  ::unsetenv("KAVOR_TEST_WSL_EXIT");
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(output(failing), "No WSL\r\n\n[WSL is not installed or not set up]");
  EXPECT_FALSE(failing.ok());
  EXPECT_EQ(output(listing), "No WSL\r\n");
  EXPECT_TRUE(listing.ok());
}

}  // namespace
}  // namespace wsl_listing_test
}  // namespace kavor::exec
