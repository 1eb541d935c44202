// The words after `kavor-agent mcp`: what they set, and the sentence for each mistake.
#include "app/mcp_main.h"

#include <gtest/gtest.h>

#include "support/temp_tree.h"

namespace kavor::app {
namespace mcp_main_test {
namespace {

TEST(McpArguments, EachWordSetsItsOptionAndEachMistakeIsNamed) {
  kavor::test::TempTree tree;
  const std::string ws = tree.path();
  const Result<McpOptions> good =
      parse_mcp_arguments({"--workspace", ws, "--workspace", ws + "/.", "--mode", "auto", "--http",
                           "127.0.0.1:0", "--secret-file", ws + "/s"});
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value().workspaces, (std::vector<std::string>{ws, ws}));
  EXPECT_EQ(good.value().mode, tools::Mode::Auto);
  EXPECT_EQ(good.value().http, "127.0.0.1:0");
  EXPECT_EQ(parse_mcp_arguments({}).value().mode, tools::Mode::Ask);

  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{"--workspace"}, "--workspace needs a value."},
      {{"--mode", "yolo"}, "The mode yolo is none of ask, auto, readonly, everything."},
      {{"--workspace", ws + "/missing"},
       "The workspace folder " + ws + "/missing does not exist on this computer."},
      {{"--workspace", ws, "--workspace", ws, "--workspace", ws},
       "At most two workspace folders: the workspace and one extra folder."},
      {{"--secret-file", "x"}, "--secret-file needs --http."},
      {{"--verbose"}, "Unknown argument --verbose."},
  };
  for (const auto& [words, sentence] : mistakes) {
    EXPECT_EQ(parse_mcp_arguments(words).message(), sentence);
  }
}

}  // namespace
}  // namespace mcp_main_test
}  // namespace kavor::app
