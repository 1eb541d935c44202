// The four workspace commands as the page calls them: through the command table, with JSON.
#include "app/mention_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mention/mentions.h"
#include "mention/tree.h"
#include "support/recording_host.h"
#include "support/temp_tree.h"
#include "support/wait.h"

namespace kavor::app {
namespace mention_commands_test {
namespace {

using mention::test::TempTree;
namespace fs = std::filesystem;

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

// Without a data folder the mention index is kept in the temporary folder: a folder that
// another user made there first at this user's name, or a link planted there, must not receive
// it, or that user could read the workspace's file names or plant an index of their own.
TEST(MentionIndexFallback, AFolderOrLinkSomeoneElsePlantedInTheTemporaryFolderIsNotUsed) {
  const test::TempTree tree{"kavor-mention-tmp"};
  const fs::path temp = tree.path();
  const fs::path named = temp / ("kavor-mention-" + std::to_string(::geteuid()));
  const auto location = [&temp] {
    return fs::path(fallback_index_location(QString::fromStdString(temp.string())).folder);
  };
  const auto expect_private = [](const fs::path& folder) {
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0) << folder;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << folder;
    EXPECT_EQ(st.st_uid, ::geteuid()) << folder;
    EXPECT_EQ(st.st_mode & 077, 0u) << folder;
  };

  // Free: the user's own folder, made private, and found again at the next start.
  EXPECT_EQ(location(), named);
  expect_private(named);
  EXPECT_EQ(location(), named);

  fs::remove(named);
  fs::create_directories(temp / "elsewhere");
  fs::create_symlink(temp / "elsewhere", named);
  const fs::path instead = location();
  EXPECT_NE(instead, named);
  EXPECT_NE(instead, temp / "elsewhere");
  expect_private(instead);

  if (::geteuid() != 0) GTEST_SKIP() << "making a folder another user owns needs root";
  fs::remove(named);
  fs::create_directories(named);
  ASSERT_EQ(::chown(named.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(named.c_str(), 0700), 0);
  const fs::path theirs = location();
  EXPECT_NE(theirs, named);
  expect_private(theirs);
}

}  // namespace
}  // namespace mention_commands_test
}  // namespace kavor::app
