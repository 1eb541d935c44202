// A second start hands over to the running program: in-process for the window's reaction,
// and with the real executable for the process-level behaviour.
#include "shell/single_instance.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebEngineProfile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "agent_process.h"
#include "app/command_table.h"
#include "common/build_config.h"
#include "desktop/watchdog.h"
#include "shell/main_window.h"
#include "support/wait.h"

namespace kavor::shell {
namespace single_instance_test {
namespace {

using namespace std::chrono_literals;
using test::wait_until;

TEST(SingleInstance, ASecondStartBringsTheFirstWindowForward) {
  QWebEngineProfile profile;
  desktop::Watchdog watchdog;
  app::CommandTable commands;
  MainWindow window(&profile,
                    common::Endpoints(QStringLiteral("http://127.0.0.1:9/"),
                                      QStringLiteral("http://127.0.0.1:9")),
                    watchdog, commands, [](const QUrl&) {});
  window.showMinimized();
  ASSERT_TRUE(wait_until([&] { return window.isMinimized(); }));

  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("socket"));
  SingleInstance first(path);
  int knocks = 0;
  ASSERT_EQ(first.listen([&] {
    ++knocks;
    window.bring_forward();
  }),
            SingleInstance::Listening::Yes);
  SingleInstance second(path);
  EXPECT_TRUE(second.activate_running());
  ASSERT_TRUE(wait_until([&] { return knocks == 1; }));
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());

  // Nobody listening under another name: that start is the first one.
  EXPECT_FALSE(SingleInstance(path + QStringLiteral("-other")).activate_running());

  // Two starts at the same moment: both found nobody, and the one that listens second hands
  // over instead of taking the socket from the first.
  SingleInstance late(path);
  EXPECT_EQ(late.listen([] {}), SingleInstance::Listening::AnotherRuns);
  EXPECT_TRUE(SingleInstance(path).activate_running());
  ASSERT_TRUE(wait_until([&] { return knocks == 2; }));
}

TEST(SingleInstance, TheSocketFolderIsOneNobodyElseMayEnter) {
  QTemporaryDir base;
  const QString runtime = base.filePath(QStringLiteral("runtime"));
  const QString temp = base.filePath(QStringLiteral("tmp"));
  const QString own = QStringLiteral("%1/kavor-agent-%2").arg(temp).arg(::geteuid());
  // Makes the folder with `mode`; gives `runtime_dir` for the case.
  const auto folder_at = [](const QString& path, mode_t mode, QString runtime_dir) {
    QDir().mkpath(path);
    ::chmod(QFile::encodeName(path).constData(), mode);
    return runtime_dir;
  };
  enum class Chosen { Runtime, Own, Fresh };
  struct Case {
    const char* what;
    std::function<QString()> prepare;  // gives XDG_RUNTIME_DIR
    Chosen chosen;
  };
  const std::vector<Case> cases = {
      {"a private runtime folder", [&] { return folder_at(runtime, 0700, runtime); },
       Chosen::Runtime},
      {"no runtime folder", [&] { return QString(); }, Chosen::Own},
      {"a runtime folder others may enter", [&] { return folder_at(runtime, 0711, runtime); },
       Chosen::Own},
      {"a runtime folder that is a link to a private one",
       [&] {
         QFile::link(folder_at(runtime, 0700, runtime), base.filePath(QStringLiteral("link")));
         return base.filePath(QStringLiteral("link"));
       },
       Chosen::Own},
      {"a folder of this user's name that others may enter",
       [&] { return folder_at(own, 0755, QString()); }, Chosen::Fresh},
      {"a link under this user's name",
       [&] {
         QFile::link(folder_at(runtime, 0700, runtime), own);
         return QString();
       },
       Chosen::Fresh},
      {"this user's name taken by another user",
       [&] {
         folder_at(own, 0700, QString());
         // Without root there is no other user to give it to: the folder goes, the case is moot.
         if (::chown(QFile::encodeName(own).constData(), ::geteuid() + 1, ::getegid()) != 0)
           QDir(own).removeRecursively();
         return QString();
       },
       ::geteuid() == 0 ? Chosen::Fresh : Chosen::Own},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QDir(runtime).removeRecursively();
    QDir(temp).removeRecursively();
    QFile::remove(base.filePath(QStringLiteral("link")));
    QDir().mkpath(temp);
    const QString runtime_dir = c.prepare();
    const InstanceFolder got = instance_folder(runtime_dir, temp);
    switch (c.chosen) {
      case Chosen::Runtime:
        EXPECT_EQ(got.path, runtime);
        break;
      case Chosen::Own:
        EXPECT_EQ(got.path, own);
        break;
      case Chosen::Fresh:
        EXPECT_TRUE(got.path.startsWith(own + QStringLiteral("-"))) << got.path.toStdString();
        break;
    }
    EXPECT_EQ(got.fresh, c.chosen == Chosen::Fresh);
    const QFileInfo chosen(got.path);
    EXPECT_TRUE(chosen.isDir() && !chosen.isSymLink() && chosen.ownerId() == ::geteuid());
    EXPECT_EQ(chosen.permissions() &
                  (QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup),
              QFile::Permissions());
  }
}

int page_count(int port) {
  return static_cast<int>(test::page_targets(port).size());
}

TEST(SingleInstance, TheRealProgramStartedTwiceKeepsOneWindow) {
  test::AgentHome home;
  test::AgentProcess first(home);
  ASSERT_TRUE(wait_until([&] { return page_count(home.devtools_port()) == 1; }, 30s));

  QProcess second;
  second.setProcessEnvironment(home.environment());
  second.start(QStringLiteral(KAVOR_AGENT_BINARY), {QStringLiteral("--ignored-argument")});
  ASSERT_TRUE(second.waitForFinished(15000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);

  EXPECT_EQ(first.process().state(), QProcess::Running);
  EXPECT_EQ(page_count(home.devtools_port()), 1);
}

// A user of this computer made only for the test, removed after it.
class ThrowawayUser {
 public:
  ThrowawayUser() : name_(QStringLiteral("kavor-sq-%1").arg(QCoreApplication::applicationPid())) {
    if (::geteuid() != 0) {
      why_ = "making another user needs root";
      return;
    }
    if (QProcess::execute(QStringLiteral("useradd"),
                          {QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                           QStringLiteral("--no-user-group"), QStringLiteral("--shell"),
                           QStringLiteral("/usr/sbin/nologin"), name_}) != 0) {
      why_ = "useradd could not make a user";
      return;
    }
    const passwd* entry = ::getpwnam(name_.toLocal8Bit().constData());
    if (entry == nullptr) {
      why_ = "the new user cannot be found";
      return;
    }
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
  }
  ~ThrowawayUser() {
    if (uid_ != 0) QProcess::execute(QStringLiteral("userdel"), {name_});
  }

  bool made() const { return uid_ != 0; }
  const std::string& why() const { return why_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

  // Runs `program` as this user.
  void start(QProcess& process, const QString& program, const QStringList& arguments) const {
    process.setChildProcessModifier([uid = uid_, gid = gid_] {
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
    });
    process.start(program, arguments);
  }

 private:
  QString name_;
  std::string why_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST(SingleInstance, AnotherUsersSocketIsNotTakenForTheRunningProgram) {
  ThrowawayUser user;
  if (!user.made()) GTEST_SKIP() << user.why();
  // Where the other user's program ends up listening.
  enum class Place { SharedTemp, RuntimeTheirFile, RuntimeOurFile };
  const std::vector<std::pair<Place, const char*>> places = {
      {Place::SharedTemp, "the name a guess gives in the temporary folder everyone shares"},
      // Only root can put it there; the checks stand against whatever else could.
      {Place::RuntimeTheirFile, "this user's socket name in the runtime folder, the file theirs"},
      {Place::RuntimeOurFile,
       "the same with the file handed to this user: only the listener is "
       "theirs"},
  };
  for (const auto& [place, what] : places) {
    SCOPED_TRACE(what);
    test::AgentHome home;
    const QString ours =
        QDir(home.runtime())
            .filePath(QStringLiteral("kavor-agent-") + QString::fromUtf8(common::build::kAppId));
    QString listen_at = QStringLiteral("%1/kavor-agent-%2-%3")
                            .arg(home.temp(), QString::fromUtf8(common::build::kAppId))
                            .arg(::geteuid());
    if (place != Place::SharedTemp) {
      const QString theirs = home.folder(QStringLiteral("squat"));
      QDir().mkpath(theirs);
      ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), user.uid(), user.gid()), 0);
      listen_at = theirs + QStringLiteral("/socket");
    }
    QProcess squatter;
    user.start(squatter, QStringLiteral(KAVOR_SQUATTER), {QStringLiteral("listen"), listen_at});
    ASSERT_TRUE(wait_until([&] { return squatter.canReadLine(); }, 15s));
    ASSERT_EQ(squatter.readLine(), "listening\n");
    // A socket keeps its listener when it is renamed.
    if (place != Place::SharedTemp) {
      ASSERT_TRUE(QFile::rename(listen_at, ours));
    }
    if (place == Place::RuntimeOurFile) {
      ASSERT_EQ(::lchown(QFile::encodeName(ours).constData(), ::geteuid(), ::getegid()), 0);
    }

    test::AgentProcess agent(home);
    EXPECT_TRUE(wait_until(
        [&] {
          return page_count(home.devtools_port()) == 1 ||
                 agent.process().state() == QProcess::NotRunning;
        },
        60s));
    EXPECT_EQ(agent.process().state(), QProcess::Running);
    EXPECT_EQ(page_count(home.devtools_port()), 1);
    EXPECT_EQ(squatter.readAll(), "");
    // The program listens there itself now.
    const QFileInfo socket(ours);
    EXPECT_TRUE(socket.exists() && socket.ownerId() == ::geteuid());
    squatter.kill();
    squatter.waitForFinished();
  }
}

TEST(SingleInstance, AKnockFromAnotherUserIsIgnored) {
  ThrowawayUser user;
  if (!user.made()) GTEST_SKIP() << user.why();
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("socket"));
  SingleInstance first(path);
  int knocks = 0;
  ASSERT_EQ(first.listen([&] { ++knocks; }), SingleInstance::Listening::Yes);
  // Opened up, as a mistake or an attack could leave them.
  ::chmod(QFile::encodeName(folder.path()).constData(), 0755);
  ::chmod(QFile::encodeName(path).constData(), 0777);

  QProcess knock;
  user.start(knock, QStringLiteral(KAVOR_SQUATTER), {QStringLiteral("knock"), path});
  ASSERT_TRUE(knock.waitForFinished(15000));
  ASSERT_EQ(knock.exitCode(), 0);  // it got through to the socket
  EXPECT_TRUE(SingleInstance(path).activate_running());
  ASSERT_TRUE(wait_until([&] { return knocks >= 1; }));
  // The other user's knock came first; had it counted, it would have been by now.
  EXPECT_FALSE(wait_until([&] { return knocks > 1; }, 500ms));
}

}  // namespace
}  // namespace single_instance_test
}  // namespace kavor::shell
