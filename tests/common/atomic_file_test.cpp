#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace kavor {
namespace atomic_file_test {
namespace {

mode_t mode_of(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

TEST(AtomicFile, CreatesParentsWritesOwnerOnlyAndReplacesWithoutLeftovers) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("a/b/c/device.json"));
  ASSERT_FALSE(write_file_atomic(path, "first", FileAccess::OwnerOnly));
  EXPECT_EQ(mode_of(path), 0600u);
  ASSERT_FALSE(write_file_atomic(path, "second", FileAccess::OwnerOnly));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), QByteArray("second"));
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(QDir(dir.filePath(QStringLiteral("a/b/c"))).entryList(QDir::Files).size(), 1);
}

TEST(AtomicFile, ReportsTheFileSystemReasonAndLeavesTheTargetAlone) {
  // A file standing where a folder must be fails for every user, root included.
  QTemporaryDir dir;
  const QString blocker = dir.filePath(QStringLiteral("blocker"));
  ASSERT_FALSE(write_file_atomic(blocker, "x"));
  const auto error = write_file_atomic(blocker + QStringLiteral("/device.json"), "y");
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, QStringLiteral("Not a directory"));
  QFile f(blocker);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), QByteArray("x"));
}

}  // namespace
}  // namespace atomic_file_test
}  // namespace kavor
