#include "common/workspace_folder.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace kavor::common {
namespace workspace_folder_test {
namespace {

TEST(WorkspaceFolder, BothReadersTrimAndRefuseTheSameTextsEachInItsOwnWords) {
  QTemporaryDir dir;
  const std::string base = QDir(dir.path()).canonicalPath().toStdString();
  QDir(dir.path()).mkdir(QStringLiteral("ws"));
  QFile file(dir.filePath(QStringLiteral("a.txt")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  const std::string ws = base + "/ws";

  for (const WorkspaceReader reader : {WorkspaceReader::Assistant, WorkspaceReader::Page}) {
    // A pasted path with a no-break space or a tab around it names the same folder.
    const auto padded = resolve_workspace_folder("\u00a0 " + ws + "/.\t", reader);
    ASSERT_TRUE(padded.ok()) << padded.message();
    EXPECT_EQ(padded.value(), ws);
    // NUL would cut the path short: "/base/ws\0/gone" must not resolve to /base/ws.
    const auto nul = resolve_workspace_folder(ws + std::string("\0/gone", 6), reader);
    EXPECT_EQ(nul.kind(), ErrorKind::NotFound);
    EXPECT_EQ(resolve_workspace_folder(" ", reader).kind(), ErrorKind::NotFound);
    EXPECT_EQ(resolve_workspace_folder("ws", reader).kind(), ErrorKind::NotFound);
    EXPECT_EQ(resolve_workspace_folder(base + "/gone", reader).kind(), ErrorKind::NotFound);
    EXPECT_EQ(resolve_workspace_folder(base + "/a.txt", reader).kind(), ErrorKind::Failed);
  }
  const auto assistant = [](const std::string& text) {
    return resolve_workspace_folder(text, WorkspaceReader::Assistant).message();
  };
  EXPECT_EQ(assistant(base + "/gone"),
            "The workspace folder " + base + "/gone does not exist on this computer.");
  EXPECT_EQ(assistant(base + "/a.txt"), "The workspace " + base + "/a.txt is not a folder.");
  const auto page = [](const std::string& text) {
    return resolve_workspace_folder(text, WorkspaceReader::Page).message();
  };
  EXPECT_EQ(page(base + "/gone"), "Cannot open the workspace folder: No such file or directory");
  EXPECT_EQ(page(base + "/a.txt"), "The workspace is not a folder.");
}

}  // namespace
}  // namespace workspace_folder_test
}  // namespace kavor::common
