// Commands run inside the workspace fence by the real kernel, in a workspace beside a home
// folder of their own that holds credentials, and what each one could and could not do.
#include "exec/fence.h"
#include "exec/run_folders.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "run_support.h"
#include "walk/remove_tree.h"

namespace kavor::exec {
namespace fence_test {
namespace {

using test::output;
using test::read_all;
using test::RealProcessTest;

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

class FenceTest : public RealProcessTest {
 protected:
  void SetUp() override {
    if (landlock_abi() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
    write(home_ / ".ssh" / "id_ed25519", "PRIVATE KEY");
    write(home_ / ".ssh" / "id_ed25519.pub", "ssh-ed25519 AAAA");
    write(home_ / ".ssh" / "known_hosts", "example.org ssh-ed25519 AAAA");
    write(home_ / ".config" / "kavor-agent" / "device.json", R"({"secret":"device-secret"})");
    write(home_ / ".config" / "editor" / "settings", "tabs");
    write(temp_ / "kavor-agent-browser-1-1" / "Cookies", "session=1");
    write(temp_ / "other" / "notes", "notes");
    write(outside_ / "file", "keep me");
    fs::create_directories(ws_);
    fs::create_symlink(home_ / ".ssh", home_ / "keys");
  }

  std::shared_ptr<const Fence> fence() const {
    const fs::path config = home_ / ".config" / "kavor-agent";
    const fs::path profiles = temp_ / "kavor-agent-browser-*";
    return std::make_shared<Fence>([config, profiles](const std::vector<fs::path>&) {
      return std::vector<RefusedPlace>{{config}, {profiles}};
    });
  }

  test::Ran fenced(const std::string& script) {
    const test::HomeFor home(home_);
    const std::string prelude = "export OUT='" + outside_.string() + "'; T='" + temp_.string() +
                                "'; CONFIG='" + (home_ / ".config/kavor-agent").string() + "'\n";
    return test::run(test::bash(prelude + script, ws_), {}, RunOptions{true, fence(), {ws_}});
  }

  fs::path home_ = folder_ / "home";
  fs::path ws_ = folder_ / "ws";
  fs::path outside_ = folder_ / "outside";
  fs::path temp_ = folder_ / "temp";
};

struct Case {
  const char* what;
  const char* script;
  bool works;
};

TEST_F(FenceTest, WritesStayInTheWorkspaceAndCredentialsStayUnread) {
  write(ws_ / "moved.txt", "mine");
  const Case cases[] = {
      {"write in the workspace",
       "echo hi > made.txt && mkdir -p d/e && mv made.txt d/e/ && cat d/e/made.txt", true},
      {"write in the run's temporary folder",
       "case $TMPDIR in */kavor-agent-run-*) ;; *) exit 9 ;; esac; [ \"$TMP\" = \"$TMPDIR\" ] && "
       "echo t > \"$TMPDIR/t\" && mktemp > /dev/null && cat \"$TMPDIR/t\"",
       true},
      {"devices",
       "echo x > /dev/null && head -c 4 /dev/urandom > /dev/null && head -c 4 /dev/zero > "
       "/dev/null",
       true},
      {"touch in home", "touch ~/x", false},
      {"rm outside", "rm -f \"$OUT/file\"", false},
      {"mv to outside", "mv moved.txt \"$OUT/moved.txt\"", false},
      {"hard link to outside", "ln moved.txt \"$OUT/hard\"", false},
      {"symbolic link outside", "ln -s /etc/passwd \"$OUT/soft\"", false},
      {"truncate outside", "truncate -s 0 \"$OUT/file\"", false},
      {"overwrite outside", "echo gone > \"$OUT/file\"", false},
      {"private key", "cat ~/.ssh/id_ed25519", false},
      {"private key through a link", "cat ~/keys/id_ed25519", false},
      {"device secret", "cat \"$CONFIG/device.json\"", false},
      {"private browser profile", "cat \"$T\"/kavor-agent-browser-1-1/Cookies", false},
      {"public ssh files", "cat ~/.ssh/known_hosts ~/.ssh/id_ed25519.pub", true},
      {"other configuration and temporary files",
       "cat ~/.config/editor/settings \"$T/other/notes\"", true},
      {"system files",
       "ls /usr/share > /dev/null && cat /etc/os-release > /dev/null && ls ~ > /dev/null", true},
      {"no way to gain privileges", "grep -q '^NoNewPrivs:.1' /proc/self/status", true},
      {"a new session", "setsid -w sh -c 'echo x > \"$OUT/s\"'", false},
      {"a double fork",
       "sh -c '(sleep 0.1; echo x > \"$OUT/d\"; echo $? > done) &'; "
       "for i in $(seq 100); do [ -s done ] && break; sleep 0.05; done; exit $(cat done)",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const test::Ran ran = fenced(c.script);
    EXPECT_EQ(ran.outcome.ok(), c.works) << output(ran.outcome);
    const std::string& text = output(ran.outcome);
    const bool fence_line = text.ends_with(std::string("]") + kFenceLine);
    EXPECT_EQ(fence_line, !c.works) << text;
    if (!c.works) {
      EXPECT_TRUE(text.find("Permission denied") != std::string::npos ||
                  text.find("Invalid cross-device link") != std::string::npos)
          << text;
    }
    EXPECT_EQ(text.find("PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(text.find("device-secret"), std::string::npos);
    EXPECT_EQ(text.find("session=1"), std::string::npos);
  }
  EXPECT_EQ(read_all(outside_ / "file"), "keep me");
  EXPECT_EQ(read_all(ws_ / "moved.txt"), "mine");
  for (const char* name : {"moved.txt", "hard", "soft", "s", "d"}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside_ / name))) << name;
  }
  EXPECT_FALSE(fs::exists(home_ / "x"));
}

// Each kind of credential file the home list names stays unread; the files beside them do not.
TEST_F(FenceTest, CredentialFilesStayUnreadAndWhatLiesBesideThemDoesNot) {
  const std::string refused =
      ".git-credentials .config/git/credentials .config/gh/hosts.yml .npmrc .pypirc "
      ".cargo/credentials.toml .cargo/credentials .config/containers/auth.json .docker/config.json "
      ".vault-token .pgpass .netrc .bash_history .zsh_history .local/share/fish/fish_history "
      ".python_history .node_repl_history .psql_history .mysql_history";
  const std::string beside = ".config/git/config .config/gh/config.yml .cargo/bin/tool .bashrc";
  std::istringstream names(refused + " " + beside + " gpg-elsewhere/private-keys-v1.d/k.key");
  for (std::string name; names >> name;) write(home_ / name, "text");
  // gpg's keys where GNUPGHOME puts them.
  const test::EnvFor gnupg("GNUPGHOME", (home_ / "gpg-elsewhere").string());
  const test::Ran ran =
      fenced("cd ~; for f in " + refused + " gpg-elsewhere/private-keys-v1.d/k.key" +
             "; do cat $f 2>/dev/null && echo \" read $f\"; done; cat " + beside);
  EXPECT_EQ(output(ran.outcome), "texttexttexttext");
}

// A private browser's profile in the machine's /tmp stays unread, whether the run has a /tmp of
// its own (the profile is then out of view) or keeps the machine's (a home folder below /tmp).
TEST_F(FenceTest, APrivateBrowsersProfileInTheMachinesTempStaysUnread) {
  QTemporaryDir profile(QStringLiteral("/tmp/kavor-agent-browser-test-XXXXXX"));
  QTemporaryDir home_in_temp(QStringLiteral("/tmp/kavor-home-XXXXXX"));
  ASSERT_TRUE(profile.isValid() && home_in_temp.isValid());
  write(fs::path(profile.path().toStdString()) / "Cookies", "session=1");
  const auto fence = std::make_shared<Fence>([](const std::vector<fs::path>&) {
    return std::vector<RefusedPlace>{{"/tmp/kavor-agent-browser-*"}};
  });
  const std::string read = "cat " + profile.path().toStdString() + "/Cookies";
  for (const fs::path& home : {home_, fs::path(home_in_temp.path().toStdString())}) {
    SCOPED_TRACE(home.string());
    const test::HomeFor as_home(home);
    const test::Ran ran = test::run(test::bash(read, ws_), {}, RunOptions{true, fence, {ws_}});
    EXPECT_EQ(output(ran.outcome).find("session=1"), std::string::npos) << output(ran.outcome);
    EXPECT_FALSE(ran.outcome.ok());
  }
}

// Real work in a workspace: version control and a build, each as the assistant would run it.
TEST_F(FenceTest, GitAndACMakeBuildWorkInsideTheFence) {
  write(ws_ / "CMakeLists.txt",
        "cmake_minimum_required(VERSION 3.16)\nproject(hello C)\nadd_executable(hello main.c)\n");
  write(ws_ / "main.c", "#include <stdio.h>\nint main(void) { puts(\"built\"); return 0; }\n");
  const test::Ran git = fenced(
      "git init -q . && git add . && git -c user.name=a -c user.email=a@b commit -qm first && "
      "git log --oneline | wc -l");
  EXPECT_TRUE(git.outcome.ok()) << output(git.outcome);
  EXPECT_EQ(output(git.outcome), "1\n");
  const test::Ran build =
      fenced("cmake -S . -B build > /dev/null && make -C build > /dev/null && ./build/hello");
  EXPECT_TRUE(build.outcome.ok()) << output(build.outcome);
  EXPECT_EQ(output(build.outcome), "built\n");
}

// The run's temporary folder goes when the run ends, and its removal follows no link: a link a
// command left there, or one swapped in for a folder, loses only itself.
TEST_F(FenceTest, TheRunsTemporaryFolderGoesWithoutFollowingLinks) {
  const test::Ran ran = fenced(
      "echo \"$TMPDIR\" > where && mkdir -p \"$TMPDIR/a/b\" && chmod 000 \"$TMPDIR/a\" && "
      "ln -s \"$OUT\" \"$TMPDIR/out\" && ln -s \"$OUT/file\" \"$TMPDIR/file\"");
  ASSERT_TRUE(ran.outcome.ok()) << output(ran.outcome);
  std::string temp = read_all(ws_ / "where");
  temp.pop_back();
  EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
  EXPECT_EQ(read_all(outside_ / "file"), "keep me");

  // The removal on its own, with a folder of links.
  fs::create_directories(folder_ / "tree" / "sub");
  fs::create_directory_symlink(outside_, folder_ / "tree" / "sub" / "away");
  walk::remove_tree_no_follow(folder_ / "tree");
  EXPECT_FALSE(fs::exists(folder_ / "tree"));
  EXPECT_EQ(read_all(outside_ / "file"), "keep me");
}

using StaleRunFoldersTest = RealProcessTest;

// What an agent killed before its end left is removed by the next one, however it is laid out;
// the folders of live agents, links and folders of another user stay whatever they are named.
TEST_F(StaleRunFoldersTest, OnlyRealFoldersOfThisUserFromGoneAgentsAreRemoved) {
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  const auto named = [&](pid_t pid, const std::string& end) {
    return folder_ / ("kavor-agent-run-" + std::to_string(pid) + "-" + end);
  };
  const fs::path stale = named(gone, "a1b2c3");
  write(stale / "a" / "b" / "f", "left");
  fs::permissions(stale / "a", fs::perms::none);
  const fs::path live = named(::getppid(), "a1b2c3");
  const fs::path own = named(::getpid(), "a1b2c3");
  const fs::path without_pid = folder_ / "kavor-agent-run-a1b2c3";
  const fs::path link = named(gone, "link00");
  const fs::path theirs = named(gone, "other0");
  for (const fs::path& folder : {live, own, without_pid, theirs, folder_ / "kept"}) {
    write(folder / "f", "kept");
  }
  fs::create_directory_symlink(folder_ / "kept", link);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  }

  remove_stale_run_folders(folder_, std::chrono::seconds(10));
  EXPECT_FALSE(fs::exists(fs::symlink_status(stale)));
  for (const fs::path& folder : {live, own, without_pid, folder_ / "kept"}) {
    EXPECT_EQ(read_all(folder / "f"), "kept") << folder;
  }
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::exists(theirs), root);
}

TEST(FencePlacesTest, NamePatternsAndTheHomeListCoverWhatTheyName) {
  EXPECT_TRUE(fence_name_matches("kavor-agent-browser-*", "kavor-agent-browser-12-3"));
  EXPECT_FALSE(fence_name_matches("kavor-agent-browser-*", "kavor-agent-run-1"));
  EXPECT_TRUE(fence_name_matches("known_hosts*", "known_hosts.old"));
  EXPECT_TRUE(fence_name_matches("*.pub", "id_rsa.pub"));
  EXPECT_FALSE(fence_name_matches("*.pub", "id_rsa"));
  const auto places = home_credential_places("/h");
  ASSERT_FALSE(places.empty());
  EXPECT_EQ(places.front().path, "/h/.ssh");
  EXPECT_EQ(places.front().readable,
            (std::vector<std::string>{"known_hosts*", "config", "*.pub", "authorized_keys"}));
}

}  // namespace
}  // namespace fence_test
}  // namespace kavor::exec
