// The workspace tools under attack and under concurrent use: a workspace that ships links in its
// memory home, path arguments holding NUL, many memory changes of one project at once, and a
// mention index kept in the temporary folder every user may write in.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/mention_commands.h"
#include "support/temp_tree.h"
#include "tools/call.h"
#include "tools/file_tools.h"
#include "tools/memory.h"
#include "tools/memory_store.h"
#include "tools/paths.h"

namespace kavor::tools {
namespace restructure_review_test {
namespace {

class ReviewWorkspace : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(ws()); }
  fs::path ws() const { return base_ / "ws"; }

  Result<Decoded> save(const std::string& slug, const std::string& content) {
    const common::Json args = {{"slug", slug}, {"title", "T " + slug}, {"content", content}};
    return save_memory_tool([] { return std::int64_t{1700000000}; })(args, scope_);
  }
  Result<Decoded> forget(const std::string& slug) {
    return forget_memory_tool()({{"slug", slug}}, scope_);
  }
  // The run's output, or why the call was refused or failed.
  static std::string run(const Result<Decoded>& decoded) {
    if (!decoded.ok()) return "refused: " + decoded.message();
    const ToolResult result = decoded.value().run(nullptr);
    return result.ok() ? result.value().output : "failed: " + result.message();
  }

  const test::TempTree tree_{"kavor-review"};
  const fs::path base_ = tree_.path();
  Scope scope_{base_ / "ws", {}};
};

// Memory changes run without asking in every mode but read-only, so they must never reach a
// file of the project. A link to a project file at the memory file's own name is refused, but a
// link planted at the memory folder is followed to any folder of the workspace: a save then
// replaces, and a forget deletes, the project's own Markdown files (README.md, docs/...), and a
// linked home has its overview replace whatever index.md the folder it leads to holds.
TEST_F(ReviewWorkspace, APlantedMemoryFolderLinkNeverReachesTheProjectsFiles) {
  test::write_file(ws() / "docs/README.md", "project readme");
  test::write_file(ws() / "docs/guide.md", "project guide");
  test::write_file(ws() / "site/index.md", "site home page");
  fs::create_directories(ws() / ".kavor-agent");
  fs::create_symlink("../docs", ws() / ".kavor-agent/memory");

  const std::string saved = run(save("README", "planted"));
  EXPECT_EQ(saved,
            "refused: .kavor-agent/memory is a link to another folder, so Kavor Agent will not "
            "write through it.");
  EXPECT_EQ(test::read_file(ws() / "docs/README.md"), "project readme") << saved;
  const std::string forgot = run(forget("guide"));
  EXPECT_TRUE(fs::exists(ws() / "docs/guide.md")) << forgot;

  fs::remove_all(ws() / ".kavor-agent");
  fs::create_symlink("site", ws() / ".kavor-agent");
  const std::string home = run(save("note", "planted"));
  EXPECT_EQ(home,
            "refused: .kavor-agent/index.md is not a memory overview, so Kavor Agent will not "
            "replace it.");
  EXPECT_EQ(test::read_file(ws() / "site/index.md"), "site home page") << home;

  // An extra folder that a workspace link carries out of the workspace gets no unasked write
  // from a command; a memory home linked there gets one from every memory save.
  fs::remove(ws() / ".kavor-agent");
  test::write_file(base_ / "lib/index.md", "library index");
  fs::create_symlink(base_ / "lib", ws() / "vendor");
  scope_.extras = {base_ / "lib"};
  scope_.linked_out = {base_ / "lib"};
  fs::create_symlink("vendor", ws() / ".kavor-agent");
  const std::string out = run(save("note", "planted"));
  EXPECT_EQ(out,
            "refused: .kavor-agent leads out of the workspace through a link, so Kavor Agent "
            "will not touch it.");
  EXPECT_EQ(test::read_file(base_ / "lib/index.md"), "library index") << out;
  EXPECT_FALSE(fs::exists(base_ / "lib/memory")) << out;
}

// A path argument is checked as a whole string but opened as a C string, which ends at the
// first NUL: ".git\0x/hooks/pre-commit" passes the refusal of writes inside .git (its first
// component is not ".git") and then lands in .git/hooks, a hook git runs on the next commit.
// A NUL in a path argument names no file the system can open, so it must be refused.
TEST_F(ReviewWorkspace, APathWithNulNeverWritesInsideGit) {
  test::write_file(ws() / ".git/config", "[core]");
  fs::create_directories(ws() / ".git/hooks");
  const std::string hook = std::string(".git") + '\0' + "x/hooks/pre-commit";
  const std::string config = std::string(".git") + '\0' + "x/config";
  for (const std::string& path : {hook, config}) {
    const Result<Decoded> decoded =
        write_file_tool()({{"path", path}, {"content", "planted"}}, scope_);
    EXPECT_EQ(run(decoded), "refused: path contains a NUL character, which no file name can hold.");
  }
  EXPECT_THROW(read_file_tool()({{"path", config}}, scope_), PathError);
  EXPECT_EQ(test::read_file(ws() / ".git/config"), "[core]");
  // The hook lands in .git itself or in .git/hooks, depending on how the folders are opened.
  EXPECT_FALSE(fs::exists(ws() / ".git/pre-commit"));
  EXPECT_FALSE(fs::exists(ws() / ".git/hooks/pre-commit"));
}

// The workspace resolver trims Unicode white space, but the check for an extra folder that a
// workspace link carries out of the workspace compares with the workspace text trimmed of ASCII
// white space only: a workspace named through a link with a pasted no-break space resolves, and
// its extra folder that leads out is no longer marked, so a command nobody approved may write
// there.
TEST_F(ReviewWorkspace, AnExtraFolderLinkedOutIsMarkedHoweverTheWorkspaceTextIsPadded) {
  fs::create_directories(base_ / "lib");
  fs::create_symlink("ws", base_ / "wslink");
  fs::create_symlink(base_ / "lib", ws() / "vendor");
  for (const std::string& padding : {std::string(), std::string("\u00a0"), std::string("\u2003")}) {
    Call call;
    call.workspace = QString::fromStdString((base_ / "wslink").string() + padding);
    call.extra = QString::fromStdString((base_ / "wslink/vendor").string());
    const Result<Scope> scope = resolve_scope(call);
    ASSERT_TRUE(scope.ok()) << scope.message();
    EXPECT_EQ(scope->root, ws());
    EXPECT_EQ(scope->linked_out, std::vector<fs::path>{base_ / "lib"}) << "padding " << padding;
  }
  // A NUL in the extra folder's text would name one folder to the check and another to the
  // system.
  Call nul;
  nul.workspace = QString::fromStdString(ws().string());
  nul.extra = QString::fromStdString((base_ / "lib").string() + std::string(1, '\0') + "/x");
  EXPECT_EQ(resolve_scope(nul).message(),
            "The extra folder of this chat contains a NUL character, which no file name can "
            "hold. Change or remove the extra folder in the chat settings.");
}

// Every change rewrites the overview from the folder's listing under one turn: however many
// saves and forgets of one project run at once, the overview ends listing exactly the memories
// left, and no temporary file stays behind.
TEST_F(ReviewWorkspace, ConcurrentSavesAndForgetsLeaveAnOverviewOfExactlyWhatIsLeft) {
  constexpr int kSaves = 12;
  constexpr int kForgets = 6;
  for (int i = 0; i < kForgets; ++i) {
    ASSERT_EQ(run(save("old-" + std::to_string(i), "old")).rfind("Saved", 0), 0u);
  }
  std::vector<Result<Decoded>> calls;
  for (int i = 0; i < kSaves; ++i) calls.push_back(save("new-" + std::to_string(i), "new"));
  for (int i = 0; i < kForgets; ++i) calls.push_back(forget("old-" + std::to_string(i)));

  std::atomic<int> ready{0};
  std::vector<std::string> outputs(calls.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < static_cast<int>(calls.size())) std::this_thread::yield();
      outputs[i] = run(calls[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& output : outputs) {
    EXPECT_TRUE(output.rfind("Saved", 0) == 0 || output.rfind("Forgot", 0) == 0) << output;
  }

  const std::string index = test::read_file(ws() / ".kavor-agent/index.md");
  for (int i = 0; i < kSaves; ++i) {
    EXPECT_NE(index.find("(memory/new-" + std::to_string(i) + ".md)"), std::string::npos) << index;
  }
  EXPECT_EQ(index.find("memory/old-"), std::string::npos) << index;
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(ws() / ".kavor-agent/memory")) {
    ++entries;
  }
  EXPECT_EQ(entries, static_cast<std::size_t>(kSaves));
}

// Without a data folder the mention index is kept in the temporary folder: a folder that
// another user made there first at this user's name, or a link planted there, must not receive
// it, or that user could read the workspace's file names or plant an index of their own.
TEST(ReviewMentionFallback, AFolderOrLinkSomeoneElsePlantedInTheTemporaryFolderIsNotUsed) {
  const test::TempTree tree{"kavor-review-tmp"};
  const fs::path temp = tree.path();
  const fs::path named = temp / ("kavor-mention-" + std::to_string(::geteuid()));
  const auto location = [&temp] {
    return fs::path(app::fallback_index_location(QString::fromStdString(temp.string())).folder);
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
}  // namespace restructure_review_test
}  // namespace kavor::tools
