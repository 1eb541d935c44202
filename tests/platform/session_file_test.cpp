#include "platform/session_file.h"
#include "support/temp_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

namespace kavor::platform {
namespace session_file_test {
namespace {

namespace fs = std::filesystem;

TEST(SessionFile, WhatOthersCouldReadOrHavePlantedIsRefused) {
  const test::TempTree tree("kavor-session");
  const fs::path root = tree.path();
  // Good files to spoil, each in a folder of its own (which the writer makes private).
  std::vector<fs::path> files;
  for (int i = 0; i < 6; ++i) {
    files.push_back(root / std::to_string(i) / "session");
    const Result<void> written = write_session_secret(files.back(), new_session_secret());
    ASSERT_TRUE(written.ok()) << written.message();
  }
  chmod(files[0].c_str(), 0640);
  fs::create_symlink(files[1], files[1].string() + ".link");
  mkfifo((files[2].string() + ".pipe").c_str(), 0600);
  std::ofstream(files[3]) << "<html>not hex</html>\n";
  std::ofstream(files[4]) << std::string(300, 'a');
  // Only the superuser can give a file away; for anyone else that row reads a good file.
  const bool given_away = chown(files[5].c_str(), 65534, 65534) == 0;
  const std::pair<fs::path, const char*> reads[] = {
      {files[0], "read by other users"},
      {files[1].string() + ".link", "is a link"},
      {files[2].string() + ".pipe", "not a regular file"},
      {files[3], "does not hold a session secret"},
      {files[4], "does not hold a session secret"},
      {files[5], given_away ? "belongs to another user" : ""},
  };
  for (const auto& [path, error] : reads) {
    if (*error == '\0') continue;
    // A pipe must not keep the reader waiting for a writer.
    auto read = std::async(std::launch::async, [&] { return read_session_secret(path); });
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready) << path;
    const Result<std::string> got = read.get();
    EXPECT_FALSE(got.ok()) << path;
    EXPECT_NE(got.message().find(error), std::string::npos) << path << ": " << got.message();
  }
  // A missing file is told apart from a refused one; a good one reads back as written.
  EXPECT_EQ(read_session_secret(root / "none" / "session").kind(), ErrorKind::NotFound);
  const std::string secret = new_session_secret();
  ASSERT_TRUE(write_session_secret(root / "good" / "session", secret).ok());
  const Result<std::string> good = read_session_secret(root / "good" / "session");
  ASSERT_TRUE(good.ok()) << good.message();
  EXPECT_EQ(good.value(), secret);
  // The service does not write into a folder others may enter, nor through a link.
  fs::create_directory(root / "open");
  chmod((root / "open").c_str(), 0755);
  fs::create_directory_symlink(files[0].parent_path(), root / "link");
  for (const auto& [file, error] :
       {std::pair{root / "open" / "session", "open to other users"},
        std::pair{root / "link" / "session", "not a folder of its own"}}) {
    EXPECT_NE(write_session_secret(file, new_session_secret()).message().find(error),
              std::string::npos)
        << file;
  }
}

}  // namespace
}  // namespace session_file_test
}  // namespace kavor::platform
