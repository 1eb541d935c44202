#include "tools/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "support/temp_tree.h"
#include "tools/args.h"

namespace kavor::tools {
namespace paths_test {
namespace {

class TempTree : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(base_ / "ws" / "src");
    fs::create_directories(base_ / "ws-evil");
    fs::create_directories(base_ / "ws_backup");
    fs::create_directories(base_ / "elsewhere");
    std::ofstream(base_ / "ws" / "a.txt") << "a";
  }
  fs::path ws() const { return base_ / "ws"; }
  const test::TempTree tree_{"kavor-paths"};
  const fs::path base_ = tree_.path();
};

TEST(Paths, NormalizeDropsDotsAndClimbsButKeepsWhatCannotClimb) {
  EXPECT_EQ(normalize("/a/./b/../c"), fs::path("/a/c"));
  EXPECT_EQ(normalize("/../x"), fs::path("/x"));
  EXPECT_EQ(normalize("a/../../b"), fs::path("../b"));
  EXPECT_EQ(normalize("/a//b/"), fs::path("/a/b"));
}

TEST_F(TempTree, SiblingsThatShareTheRootsNameAreOutside) {
  Scope scope{ws(), {}};
  EXPECT_TRUE(scope.contains(ws()));
  EXPECT_TRUE(scope.contains(ws() / "src" / "new.c"));
  for (const char* sibling : {"ws-evil", "ws_backup", "ws.bak", "w"}) {
    EXPECT_FALSE(scope.contains(base_ / sibling / "x")) << sibling;
  }
  EXPECT_FALSE(scope.contains(resolve_path("../ws-evil/x", ws())));
  EXPECT_FALSE(scope.contains(resolve_path("src/../../ws_backup", ws())));
  EXPECT_TRUE(scope.contains(resolve_path("src/../a.txt", ws())));
  Scope with_extra{ws(), {base_ / "elsewhere"}};
  EXPECT_TRUE(with_extra.contains(base_ / "elsewhere" / "deep" / "f"));
}

TEST_F(TempTree, ArgumentsResolveAgainstTheRootAndLinksAreFollowedEvenWhenDangling) {
  EXPECT_EQ(resolve_path("", ws()), ws());
  EXPECT_EQ(resolve_path(" . ", ws()), ws());
  EXPECT_EQ(resolve_path("src/new/file.txt", ws()), ws() / "src" / "new" / "file.txt");
  EXPECT_EQ(resolve_path((base_ / "elsewhere").string(), ws()), base_ / "elsewhere");

  fs::create_symlink(base_ / "elsewhere", ws() / "link-out");
  fs::create_symlink(base_ / "elsewhere" / "new.txt", ws() / "dangling-out");
  fs::create_symlink("src", ws() / "link-in");
  const Scope scope{ws(), {}};
  EXPECT_FALSE(scope.contains(resolve_path("link-out/x.txt", ws())));
  // The target does not exist yet: a write would still land outside.
  EXPECT_EQ(resolve_path("dangling-out", ws()), base_ / "elsewhere" / "new.txt");
  EXPECT_FALSE(scope.contains(resolve_path("dangling-out", ws())));
  EXPECT_EQ(resolve_path("link-in/x", ws()), ws() / "src" / "x");

  fs::create_symlink("loop-b", ws() / "loop-a");
  fs::create_symlink("loop-a", ws() / "loop-b");
  // A loop ends like the kernel's walk does: refused, never judged by the text left over.
  EXPECT_THROW(resolve_path("loop-a/x", ws()), PathError);
}

TEST_F(TempTree, DisplayPathsAreRelativeToTheRoot) {
  EXPECT_EQ(display_path(ws(), ws()), ".");
  EXPECT_EQ(display_path(ws() / "src" / "a.c", ws()), "src/a.c");
  EXPECT_EQ(display_path(base_ / "ws-evil" / "a", ws()), (base_ / "ws-evil" / "a").string());
}

TEST_F(TempTree, ScopeResolutionExplainsEveryBadFolder) {
  Call call;
  call.workspace = QString::fromStdString(ws().string() + "/src/..");
  const Result<Scope> ok = resolve_scope(call);
  ASSERT_TRUE(ok.ok()) << ok.message();
  EXPECT_EQ(ok->root, ws());

  const auto message = [](const Call& c) {
    const Result<Scope> r = resolve_scope(c);
    return r.ok() ? std::string("<ok>") : r.message();
  };
  Call gone;
  gone.workspace = QString::fromStdString((base_ / "gone").string());
  EXPECT_EQ(message(gone), "The workspace folder " + (base_ / "gone").string() +
                               " does not exist on this computer.");
  // The project's own sentence follows from why the folder failed, not from its wording.
  EXPECT_EQ(resolve_workspace((base_ / "gone").string()).kind(), ErrorKind::NotFound);
  EXPECT_EQ(resolve_workspace((ws() / "a.txt").string()).kind(), ErrorKind::Failed);
  gone.project = true;
  EXPECT_EQ(message(gone), "The project folder " + (base_ / "gone").string() +
                               " does not exist on this computer. Open the project edit screen "
                               "and choose an existing folder, then run the chat again.");
  Call no_folder;
  no_folder.project = true;
  no_folder.workspace = QStringLiteral("  ");
  EXPECT_EQ(message(no_folder),
            "This project has no folder yet. Open the project edit screen and choose an existing "
            "folder.");
  Call file;
  file.workspace = QString::fromStdString((ws() / "a.txt").string());
  EXPECT_EQ(message(file), "The workspace " + (ws() / "a.txt").string() + " is not a folder.");
  Call relative;
  relative.workspace = QStringLiteral("ws");
  EXPECT_EQ(message(relative), "The workspace folder ws does not exist on this computer.");

  Call extra = call;
  extra.extra = QStringLiteral("relative/dir");
  EXPECT_EQ(message(extra), "The extra folder relative/dir must be a full path without '..'.");
  extra.extra = QString::fromStdString(base_.string() + "/ws/../elsewhere");
  EXPECT_EQ(message(extra),
            "The extra folder " + extra.extra.toStdString() + " must be a full path without '..'.");
  extra.extra = QString::fromStdString((base_ / "nope").string());
  EXPECT_EQ(message(extra), "The extra folder " + (base_ / "nope").string() +
                                " of this chat does not exist on this computer. Change or remove "
                                "the extra folder in the chat settings.");
  extra.extra = QString::fromStdString(" " + (base_ / "elsewhere").string() + " ");
  ASSERT_TRUE(resolve_scope(extra).ok());
  EXPECT_EQ(resolve_scope(extra).value().extras, std::vector<fs::path>{base_ / "elsewhere"});
  EXPECT_TRUE(resolve_scope(extra).value().linked_out.empty());

  // An extra folder named inside the workspace that a link carries out of it is still the
  // chat's, but marked: a command nobody approved gets no write there.
  fs::create_directory_symlink(base_ / "elsewhere", ws() / "planted");
  fs::create_directories(ws() / "inner");
  for (const auto& [named, linked] :
       {std::pair{ws() / "planted", true}, std::pair{ws() / "inner", false}}) {
    extra.extra = QString::fromStdString(named.string());
    const Result<Scope> scope = resolve_scope(extra);
    ASSERT_TRUE(scope.ok()) << scope.message();
    EXPECT_EQ(scope->linked_out.size(), linked ? 1u : 0u) << named;
  }
}

// The workspace resolver trims Unicode white space, but the check for an extra folder that a
// workspace link carries out of the workspace compares with the workspace text trimmed of ASCII
// white space only: a workspace named through a link with a pasted no-break space resolves, and
// its extra folder that leads out is no longer marked, so a command nobody approved may write
// there.
TEST_F(TempTree, AnExtraFolderLinkedOutIsMarkedHoweverTheWorkspaceTextIsPadded) {
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

TEST(Args, ReadersAreLenientAboutTypes) {
  const common::Json args = common::Json::parse(
      R"({"s":"x","n":5,"ns":"+300","neg":-5,"negs":"-5","big":"99999999999999999999999",)"
      R"("b":true,"bs":"true","f":1.5})");
  EXPECT_EQ(string_arg(args, "s"), "x");
  EXPECT_EQ(string_arg(args, "n"), "");
  EXPECT_EQ(string_arg(common::Json(nullptr), "s"), "");
  EXPECT_EQ(int_arg(args, "n"), 5u);
  EXPECT_EQ(int_arg(args, "ns"), 300u);
  EXPECT_EQ(int_arg(args, "neg"), std::nullopt);
  EXPECT_EQ(int_arg(args, "negs"), std::nullopt);
  EXPECT_EQ(int_arg(args, "big"), std::nullopt);
  EXPECT_EQ(int_arg(args, "f"), std::nullopt);
  EXPECT_EQ(int_arg(args, "missing"), std::nullopt);
  EXPECT_TRUE(bool_arg(args, "b"));
  EXPECT_FALSE(bool_arg(args, "bs"));
}

TEST(Args, CommandSummaryTakesTheFirstRealLine) {
  EXPECT_EQ(command_summary("ls -la"), "ls -la");
  EXPECT_EQ(command_summary("ls -la\n"), "ls -la");
  EXPECT_EQ(command_summary("\n  \n  cd src  \nmake"), "cd src \u2026");
  EXPECT_EQ(command_summary(std::string(130, 'x')), std::string(120, 'x') + " \u2026");
  EXPECT_EQ(command_summary(std::string(119, 'x') + "\u00e9\u00e9"),
            std::string(119, 'x') + "\u00e9 \u2026");
  EXPECT_EQ(command_summary(""), "");
}

}  // namespace
}  // namespace paths_test
}  // namespace kavor::tools
