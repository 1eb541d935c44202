// The platform credential store against a real Secret Service (when the tests run inside
// tests/support/with-keyring) and against buses where no store answers. The store's backend
// and its bus connection are chosen once per process, so every environment other than the
// test's own runs in a child process of this same binary (see main() at the bottom).
#include "device/credential_store.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace credential_store_test {
namespace {

using kavor::device::CredentialStore;
using kavor::device::system_credential_store;
using std::chrono::milliseconds;

constexpr char kChildFlag[] = "--credential-store-child";
constexpr int kChildNotFound = 3;

// ---- child side -------------------------------------------------------------------------

// Prints the stored password; exit code kChildNotFound when there is none.
int child_read(const QString& service, const QString& account) {
  const auto password = system_credential_store()->read(service, account);
  if (!password) return kChildNotFound;
  std::fputs(password->toUtf8().constData(), stdout);
  return 0;
}

// Writes, reads and removes one entry, reports results and durations on one line, then keeps
// the event loop running for `linger` so answers that arrive after a time-out get
// delivered while the process is still alive.
int child_exercise(milliseconds timeout, milliseconds linger) {
  const auto store = system_credential_store(timeout);
  const QString service = QStringLiteral("io.kavor.agent.test");
  const QString account = QStringLiteral("probe");
  QElapsedTimer clock;
  clock.start();
  const bool wrote = store->write(service, account, QStringLiteral("not-kept"));
  const qint64 write_ms = clock.restart();
  const auto read = store->read(service, account);
  const qint64 read_ms = clock.restart();
  store->remove(service, account);
  const qint64 remove_ms = clock.restart();
  std::printf("write=%s read=%s write_ms=%lld read_ms=%lld remove_ms=%lld\n",
              wrote ? "true" : "false", read ? "found" : "none", static_cast<long long>(write_ms),
              static_cast<long long>(read_ms), static_cast<long long>(remove_ms));
  std::fflush(stdout);

  QEventLoop loop;
  QTimer::singleShot(linger, &loop, &QEventLoop::quit);
  loop.exec();
  return 0;
}

int run_child_mode(const QStringList& args) {
  // args: <flag> read <service> <account> | <flag> exercise <timeout ms> <linger ms>
  if (args.size() == 4 && args[1] == QLatin1String("read")) return child_read(args[2], args[3]);
  if (args.size() == 4 && args[1] == QLatin1String("exercise")) {
    return child_exercise(milliseconds(args[2].toInt()), milliseconds(args[3].toInt()));
  }
  std::fprintf(stderr, "unknown child mode\n");
  return 2;
}

// ---- parent side ------------------------------------------------------------------------

struct ChildRun {
  int exit_code = -1;
  QByteArray out;
  QByteArray err;
};

ChildRun run_process(const QString& program, const QStringList& args,
                     const QProcessEnvironment& env) {
  QProcess process;
  process.setProgram(program);
  process.setArguments(args);
  process.setProcessEnvironment(env);
  process.start();
  ChildRun run;
  if (!process.waitForFinished(60'000)) {
    process.kill();
    process.waitForFinished();
    run.err = "child did not finish within a minute";
    return run;
  }
  run.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = process.readAllStandardOutput();
  run.err = process.readAllStandardError();
  return run;
}

QStringList child_args(const QStringList& mode) {
  return QStringList{QCoreApplication::applicationFilePath(), QString::fromLatin1(kChildFlag)} +
         mode;
}

bool write_file(const QString& path, const QString& text) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
}

// "a=1 b=2" -> {a: 1, b: 2}
QHash<QString, QString> parse_report(const QByteArray& out) {
  QHash<QString, QString> fields;
  const QString line = QString::fromUtf8(out).trimmed();
  for (const QString& field : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    const qsizetype eq = field.indexOf(QLatin1Char('='));
    if (eq > 0) fields.insert(field.left(eq), field.mid(eq + 1));
  }
  return fields;
}

// An environment with no session bus of the user's: nothing a test does in it can reach the
// developer's real keyring. The desktop variables go too, so the library picks the Secret
// Service backend as it would on a plain desktop.
QProcessEnvironment isolated_environment(const QTemporaryDir& scratch) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name :
       {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
        "DESKTOP_SESSION", "KDE_FULL_SESSION", "KDE_SESSION_VERSION", "GNOME_DESKTOP_SESSION_ID",
        "KAVOR_TEST_KEYRING"}) {
    env.remove(QString::fromLatin1(name));
  }
  // An empty runtime folder: GLib would otherwise find the user's bus socket in it.
  QDir(scratch.path()).mkpath(QStringLiteral("run"));
  QFile::setPermissions(scratch.filePath(QStringLiteral("run")),
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), scratch.filePath(QStringLiteral("run")));
  env.insert(QStringLiteral("HOME"), scratch.path());
  return env;
}

void expect_store_unusable(const ChildRun& run, qint64 max_ms_per_call, const char* where) {
  SCOPED_TRACE(where);
  ASSERT_EQ(run.exit_code, 0) << run.err.constData();
  const auto report = parse_report(run.out);
  EXPECT_EQ(report.value(QStringLiteral("write")), QLatin1String("false")) << run.out.constData();
  EXPECT_EQ(report.value(QStringLiteral("read")), QLatin1String("none")) << run.out.constData();
  for (const char* key : {"write_ms", "read_ms", "remove_ms"}) {
    bool ok = false;
    const qint64 ms = report.value(QString::fromLatin1(key)).toLongLong(&ok);
    EXPECT_TRUE(ok) << key << " missing in: " << run.out.constData();
    EXPECT_LT(ms, max_ms_per_call) << key;
  }
}

// No bus at all, or a bus address that leads nowhere: every call fails at once instead of
// waiting for its time-out, and nothing is reported as stored.
TEST(CredentialStoreWithoutService, FailsAtOnce) {
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  const QStringList exercise =
      child_args({QStringLiteral("exercise"), QStringLiteral("5000"), QStringLiteral("0")});

  QProcessEnvironment dead_socket = isolated_environment(scratch);
  dead_socket.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                     QStringLiteral("unix:path=/nonexistent"));
  expect_store_unusable(run_process(exercise[0], exercise.mid(1), dead_socket), 1000,
                        "bus address without a socket");

  expect_store_unusable(run_process(exercise[0], exercise.mid(1), isolated_environment(scratch)),
                        1000, "no session bus");
}

// A bus on which the store's name can be activated but never appears: the store stays silent
// until the bus gives up on it, long after the caller's time-out. Each call must return at its
// time-out, and the late answers for the abandoned calls must land harmlessly while the
// process lives on (a sanitizer build turns any use of freed memory here into a failure).
TEST(CredentialStoreWithSilentService, TimesOutAndSurvivesLateAnswers) {
  const QString run_session = QStandardPaths::findExecutable(QStringLiteral("dbus-run-session"));
  const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
  if (run_session.isEmpty() || sleep.isEmpty()) {
    GTEST_SKIP() << "needs dbus-run-session and sleep to host a silent secret service";
  }
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  QDir(scratch.path()).mkpath(QStringLiteral("services"));

  // The bus gives up on starting the store after one second; the store waits 300 ms per call.
  const QString services = scratch.filePath(QStringLiteral("services"));
  const QString config = scratch.filePath(QStringLiteral("bus.conf"));
  ASSERT_TRUE(write_file(services + QStringLiteral("/org.freedesktop.secrets.service"),
                         QStringLiteral("[D-BUS Service]\nName=org.freedesktop.secrets\n"
                                        "Exec=%1 60\n")
                             .arg(sleep)));
  ASSERT_TRUE(write_file(config, QStringLiteral(R"(<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=%1</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%2</servicedir>
  <limit name="service_start_timeout">1000</limit>
  <policy context="default">
    <allow send_destination="*"/><allow receive_sender="*"/><allow own="*"/>
  </policy>
</busconfig>
)")
                                     .arg(QDir::tempPath(), services)));

  QElapsedTimer wall;
  wall.start();
  const QStringList args =
      QStringList{QStringLiteral("--config-file=") + config, QStringLiteral("--")} +
      child_args({QStringLiteral("exercise"), QStringLiteral("300"), QStringLiteral("2500")});
  const ChildRun run = run_process(run_session, args, isolated_environment(scratch));
  expect_store_unusable(run, 1000, "silent secret service");

  // Each call really waited for its time-out rather than failing for some other reason.
  const auto report = parse_report(run.out);
  for (const char* key : {"write_ms", "read_ms", "remove_ms"}) {
    EXPECT_GE(report.value(QString::fromLatin1(key)).toLongLong(), 250) << key;
  }
  EXPECT_LT(wall.elapsed(), 20'000);
}

// ---- against a real Secret Service ---------------------------------------------------

class CredentialStoreWithKeyring : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qEnvironmentVariable("KAVOR_TEST_KEYRING") != QLatin1String("1")) {
      GTEST_SKIP() << "no private Secret Service; run the tests through "
                      "tests/support/with-keyring to include these";
    }
  }

  // Reads through a fresh process, so the answer can only come from the store itself.
  static std::optional<QString> read_elsewhere(const QString& service, const QString& account) {
    const QStringList args = child_args({QStringLiteral("read"), service, account});
    const ChildRun run =
        run_process(args[0], args.mid(1), QProcessEnvironment::systemEnvironment());
    if (run.exit_code == 0) return QString::fromUtf8(run.out);
    EXPECT_EQ(run.exit_code, kChildNotFound) << run.err.constData();
    return std::nullopt;
  }

  const QString service_ =
      QStringLiteral("io.kavor.agent.test-%1").arg(QCoreApplication::applicationPid());
  std::unique_ptr<CredentialStore> store_ = system_credential_store(std::chrono::seconds(10));
};

TEST_F(CredentialStoreWithKeyring, KeepsOverwritesAndRemovesAnEntry) {
  const QString account = QStringLiteral("device");
  const QString first = QString::fromUtf8("tök€n with spaces, \"quotes\" and\na newline");
  const QString second = QStringLiteral("second-token");

  ASSERT_TRUE(store_->write(service_, account, first));
  EXPECT_EQ(store_->read(service_, account), first);
  EXPECT_EQ(read_elsewhere(service_, account), first);

  ASSERT_TRUE(store_->write(service_, account, second));
  EXPECT_EQ(store_->read(service_, account), second);
  EXPECT_EQ(read_elsewhere(service_, account), second);

  store_->remove(service_, account);
  EXPECT_EQ(store_->read(service_, account), std::nullopt);
  EXPECT_EQ(read_elsewhere(service_, account), std::nullopt);
  store_->remove(service_, account);  // already gone: nothing to do, nothing to fail

  // An empty password is as good as none.
  EXPECT_TRUE(store_->write(service_, account, QString()));
  EXPECT_EQ(store_->read(service_, account), std::nullopt);
  store_->remove(service_, account);
}

TEST_F(CredentialStoreWithKeyring, EntriesAreKeyedByServiceAndAccount) {
  const QString other_service = service_ + QStringLiteral(".other");
  const QString alice = QStringLiteral("alice");
  const QString bob = QStringLiteral("bob");

  ASSERT_TRUE(store_->write(service_, alice, QStringLiteral("a")));
  ASSERT_TRUE(store_->write(service_, bob, QStringLiteral("b")));
  ASSERT_TRUE(store_->write(other_service, alice, QStringLiteral("c")));
  EXPECT_EQ(store_->read(service_, alice), QStringLiteral("a"));
  EXPECT_EQ(store_->read(service_, bob), QStringLiteral("b"));
  EXPECT_EQ(store_->read(other_service, alice), QStringLiteral("c"));
  EXPECT_EQ(store_->read(service_, QStringLiteral("carol")), std::nullopt);

  store_->remove(service_, alice);
  EXPECT_EQ(store_->read(service_, alice), std::nullopt);
  EXPECT_EQ(store_->read(service_, bob), QStringLiteral("b"));
  EXPECT_EQ(read_elsewhere(other_service, alice), QStringLiteral("c"));

  store_->remove(service_, bob);
  store_->remove(other_service, alice);
}

}  // namespace
}  // namespace credential_store_test

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  using namespace credential_store_test;
  if (args.size() > 1 && args[1] == QLatin1String(kChildFlag)) return run_child_mode(args.mid(1));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
