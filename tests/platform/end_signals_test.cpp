#include <gtest/gtest.h>
#include <QProcess>
#include <QRegularExpression>

#include <QDir>

#include <unistd.h>

#include <csignal>
#include <set>

namespace kavor::platform {
namespace end_signals_test {
namespace {

// The signals of a /proc status mask line ("SigIgn:\t0000000000000000").
bool has_end_signal(const QString& line) {
  const qulonglong mask = line.section(QLatin1Char('\t'), 1).toULongLong(nullptr, 16);
  return (mask & ((1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1)) | (1ULL << (SIGHUP - 1)))) != 0;
}

// The pipes this process holds: whatever it inherited, its children may inherit too.
std::set<QString> own_pipes() {
  std::set<QString> pipes;
  for (const QString& fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System)) {
    char target[64] = {};
    const QByteArray link = QStringLiteral("/proc/self/fd/%1").arg(fd).toLocal8Bit();
    if (::readlink(link.constData(), target, sizeof target - 1) > 0) pipes.insert(target);
  }
  return pipes;
}

TEST(EndSignals, ASignalBeforeTheLoopIsReportedOnItAndChildrenInheritNothing) {
  QProcess helper;
  helper.start(QStringLiteral(KAVOR_END_SIGNALS_HELPER), {});
  ASSERT_TRUE(helper.waitForFinished(30000));
  const QString out = QString::fromLocal8Bit(helper.readAllStandardOutput());
  EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(helper.exitCode(), 0);
  EXPECT_TRUE(out.endsWith(QStringLiteral("ended %1\n").arg(SIGTERM))) << out.toStdString();

  // The child's shell neither ignores nor blocks them, and holds no pipe of the helper's but
  // its standard streams.
  const std::set<QString> inherited = own_pipes();
  static const QRegularExpression kPipe(QStringLiteral(" (\\d+) -> (pipe:\\S+)"));
  int masks = 0;
  for (const QString& line : out.split(QLatin1Char('\n'))) {
    if (line.startsWith(QStringLiteral("Sig"))) {
      ++masks;
      EXPECT_FALSE(has_end_signal(line)) << line.toStdString();
    }
    const QRegularExpressionMatch pipe = kPipe.match(line);
    if (pipe.hasMatch() && pipe.captured(1).toInt() > 2) {
      EXPECT_TRUE(inherited.contains(pipe.captured(2))) << line.toStdString();
    }
  }
  EXPECT_EQ(masks, 2);
}

}  // namespace
}  // namespace end_signals_test
}  // namespace kavor::platform
