// The four workspace commands as the page calls them: through the command table, with JSON.
#include "app/mention_commands.h"

#include <gtest/gtest.h>

#include "mention/mentions.h"
#include "mention/tree.h"
#include "support/recording_host.h"
#include "support/wait.h"

namespace kavor::app {
namespace mention_commands_test {
namespace {

using mention::test::TempTree;

class MentionCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mentions_ = std::make_unique<mention::Mentions>(
        mention::IndexLocation{data_ / "mention-index", true}, mention_event_sink(*host_, {}));
    install_mention_commands(table_, *mentions_);
  }
  CommandResult call(const std::string& name, common::Json args) {
    return test::run(table_.invoke(name, args));
  }
  std::string error(const std::string& name, common::Json args) {
    const CommandResult r = call(name, std::move(args));
    EXPECT_FALSE(r.ok());
    return r.message();
  }
  static std::vector<std::string> keys(const common::Json& object) {
    std::vector<std::string> out;
    for (const auto& [key, value] : object.items()) out.push_back(key);
    return out;
  }

  TempTree data_;
  std::shared_ptr<test::RecordingHost> host_ = std::make_shared<test::RecordingHost>();
  std::unique_ptr<mention::Mentions> mentions_;
  CommandTable table_;
};

TEST_F(MentionCommandsTest, RepliesHaveTheirKeysInOrderAndEventsReachThePage) {
  TempTree t;
  t.add_all({"src/main.rs", "README.md"});
  const CommandResult opened = call("ws_index_open", {{"root", "  " + t.path() + "/ "}});
  ASSERT_TRUE(opened.ok()) << opened.message();
  EXPECT_EQ(keys(opened.value()),
            (std::vector<std::string>{"root", "indexing", "count", "revision", "truncated"}));
  EXPECT_EQ(opened.value()["root"], t.path());

  // The worker announces its progress on the event loop's thread.
  ASSERT_TRUE(test::wait_until([&] {
    for (const common::Json& e : host_->events(QStringLiteral("ws-index-updated"))) {
      if (e["root"] == t.path() && keys(e) == std::vector<std::string>{"root", "revision"})
        return !call("ws_index_open", {{"root", t.path()}}).value()["indexing"].get<bool>();
    }
    return false;
  }));

  const CommandResult found = call("ws_search", {{"root", t.path()}, {"query", "main"}});
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(keys(found.value()),
            (std::vector<std::string>{"hits", "indexing", "count", "revision", "stale"}));
  EXPECT_EQ(found.value()["count"], 3);
  ASSERT_EQ(found.value()["hits"].size(), 1u);
  const common::Json& hit = found.value()["hits"][0];
  EXPECT_EQ(keys(hit), (std::vector<std::string>{"path", "is_dir", "name_at", "ranges"}));
  EXPECT_EQ(hit["path"], "src/main.rs");
  EXPECT_EQ(hit["name_at"], 4);
  EXPECT_EQ(hit["ranges"], common::Json::parse("[[4,8]]"));

  // Limits: 0 gives one hit, 500 at most a hundred, a fraction its whole part.
  EXPECT_EQ(
      call("ws_search", {{"root", t.path()}, {"query", ""}, {"limit", 0}}).value()["hits"].size(),
      1u);
  EXPECT_EQ(
      call("ws_search", {{"root", t.path()}, {"query", ""}, {"limit", 500}}).value()["hits"].size(),
      3u);
  EXPECT_EQ(
      call("ws_search", {{"root", t.path()}, {"query", ""}, {"limit", 2.9}}).value()["hits"].size(),
      2u);

  EXPECT_TRUE(call("ws_mention_picked", {{"root", t.path()}, {"path", "README.md"}}).ok());
  EXPECT_EQ(call("ws_search", {{"root", t.path()}, {"query", ""}}).value()["hits"][0]["path"],
            "README.md");
  EXPECT_TRUE(call("ws_index_close", {{"root", t.path()}}).value().is_null());
}

TEST_F(MentionCommandsTest, EveryRefusalHasItsMessage) {
  TempTree t;
  t.add_all({"file.txt", "ws/a.txt"});
  for (const char* command : {"ws_index_open", "ws_search", "ws_mention_picked"}) {
    common::Json args = {{"root", "   "}, {"query", "x"}, {"path", "a.txt"}};
    EXPECT_EQ(error(command, args), "No workspace folder is selected.") << command;
    args["root"] = t / "file.txt";
    EXPECT_EQ(error(command, args), "The workspace is not a folder.") << command;
    args["root"] = t / "missing";
    EXPECT_EQ(error(command, args), "Cannot open the workspace folder: No such file or directory")
        << command;
  }
  EXPECT_EQ(error("ws_mention_picked", {{"root", t / "ws"}, {"path", "../file.txt"}}),
            "that path is not inside the workspace");
  // Closing never fails, whatever it is given.
  for (const std::string& root : {std::string(""), t / "missing", t / "file.txt"})
    EXPECT_TRUE(call("ws_index_close", {{"root", root}}).ok());
  // Arguments of the wrong type are refused before the command runs.
  EXPECT_FALSE(call("ws_search", {{"root", t / "ws"}, {"query", 5}}).ok());
  EXPECT_FALSE(call("ws_search", {{"root", t / "ws"}, {"query", "a"}, {"limit", "9"}}).ok());
}

}  // namespace
}  // namespace mention_commands_test
}  // namespace kavor::app
