#include "platform/session_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

namespace kavor::platform {
namespace {

namespace fs = std::filesystem;

class SessionFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kavor-session-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
  }
  void TearDown() override { fs::remove_all(root_); }

  static mode_t mode_of(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }
  // A private folder holding a good session file, for a case to spoil.
  fs::path good_file(const std::string& folder) {
    const fs::path file = root_ / folder / "session";
    EXPECT_EQ(write_session_secret(file, new_session_secret()), "");
    return file;
  }

  fs::path root_;
};

TEST_F(SessionFileTest, TheServiceWritesAPrivateFileThatTheAgentReadsBack) {
  const fs::path file = root_ / "kavor-agent" / "session";
  const std::string first = new_session_secret();
  EXPECT_EQ(first.size(), 64u);
  EXPECT_NE(first, new_session_secret());
  ASSERT_EQ(write_session_secret(file, first), "");
  EXPECT_EQ(mode_of(file.parent_path()), 0700u);
  EXPECT_EQ(mode_of(file), 0600u);
  EXPECT_EQ(read_session_secret(file).secret, first);

  // A restarted service replaces it; the old service's clean-up leaves the new secret alone.
  const std::string second = new_session_secret();
  ASSERT_EQ(write_session_secret(file, second), "");
  EXPECT_EQ(read_session_secret(file).secret, second);
  remove_session_secret(file, first);
  EXPECT_EQ(read_session_secret(file).secret, second);
  remove_session_secret(file, second);
  const SessionRead gone = read_session_secret(file);
  EXPECT_TRUE(gone.missing);
  EXPECT_EQ(gone.secret, "");
  EXPECT_NE(gone.error.find("There is no session file"), std::string::npos) << gone.error;
  EXPECT_EQ(fs::directory_iterator(file.parent_path()), fs::directory_iterator());
}

TEST_F(SessionFileTest, FilesOthersCouldReadOrHaveMadeAreNotRead) {
  struct Case {
    const char* name;
    std::function<fs::path(const fs::path&)> spoil;  // gets a good file, returns the path to read
    const char* error;
  };
  const Case cases[] = {
      {"readable by all",
       [](const fs::path& f) {
         chmod(f.c_str(), 0644);
         return f;
       },
       "can be read by other users"},
      {"readable by the group",
       [](const fs::path& f) {
         chmod(f.c_str(), 0640);
         return f;
       },
       "can be read by other users"},
      {"a link to a good file",
       [](const fs::path& f) {
         fs::create_symlink(f, f.parent_path() / "link");
         return f.parent_path() / "link";
       },
       "is a link"},
      {"a named pipe",
       [](const fs::path& f) {
         mkfifo((f.parent_path() / "pipe").c_str(), 0600);
         return f.parent_path() / "pipe";
       },
       "not a regular file"},
      {"a folder", [](const fs::path& f) { return f.parent_path(); }, "not a regular file"},
      {"not a secret",
       [](const fs::path& f) {
         std::ofstream(f) << "<html>not hex</html>\n";
         return f;
       },
       "does not hold a session secret"},
      {"too short",
       [](const fs::path& f) {
         std::ofstream(f) << "abc\n";
         return f;
       },
       "does not hold a session secret"},
      {"too long",
       [](const fs::path& f) {
         std::ofstream(f) << std::string(300, 'a');
         return f;
       },
       "does not hold a session secret"},
      {"another user's",
       [](const fs::path& f) {
         // Only the superuser can give a file away; as anyone else the row reads a good file.
         if (chown(f.c_str(), 65534, 65534) != 0) return fs::path();
         return f;
       },
       "belongs to another user"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const fs::path path = c.spoil(good_file("case" + std::to_string(n++)));
    if (path.empty()) continue;
    // A pipe must not keep the reader waiting for a writer.
    auto read = std::async(std::launch::async, [&] { return read_session_secret(path); });
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready) << c.name;
    const SessionRead got = read.get();
    EXPECT_EQ(got.secret, "") << c.name;
    EXPECT_FALSE(got.missing) << c.name;
    EXPECT_NE(got.error.find(c.error), std::string::npos) << c.name << ": " << got.error;
  }
}

TEST_F(SessionFileTest, TheSecretIsNotWrittenIntoAFolderOthersCanEnterOrReplace) {
  const fs::path open_folder = root_ / "open";
  fs::create_directory(open_folder);
  chmod(open_folder.c_str(), 0755);
  const fs::path private_folder = root_ / "private";
  fs::create_directory(private_folder);
  chmod(private_folder.c_str(), 0700);
  fs::create_directory_symlink(private_folder, root_ / "link");
  struct Case {
    fs::path file;
    const char* error;
  };
  std::vector<Case> cases = {
      {open_folder / "session", "is open to other users"},
      {root_ / "link" / "session", "is not a folder of its own"},
      {root_ / "missing" / "deeper" / "session", "cannot be made"},
  };
  if (geteuid() == 0) {
    const fs::path theirs = root_ / "theirs";
    fs::create_directory(theirs);
    chmod(theirs.c_str(), 0700);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    cases.push_back({theirs / "session", "belongs to another user"});
  }
  for (const Case& c : cases) {
    const std::string error = write_session_secret(c.file, new_session_secret());
    EXPECT_NE(error.find(c.error), std::string::npos) << c.file << ": " << error;
    EXPECT_FALSE(fs::exists(fs::symlink_status(c.file))) << c.file;
  }
  EXPECT_EQ(fs::directory_iterator(private_folder), fs::directory_iterator());
}

}  // namespace
}  // namespace kavor::platform
