#include "platform/os_info.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QSysInfo>

namespace kavor::platform {

namespace {

constexpr int kMaxValueLength = 64;
constexpr int kMaxBuildLength = 12;
// The first Windows build that is Windows 11.
constexpr long kFirstWindows11Build = 22000;

QString cut_build(const QString& build) {
  return clean_os_value(build).left(kMaxBuildLength);
}

// An os-release value: the text after "=", without its quotes, with shell escapes undone.
QString unquote(QString value) {
  value = value.trimmed();
  if (value.size() >= 2 &&
      (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
      value.back() == value.front()) {
    const bool double_quoted = value.front() == QLatin1Char('"');
    value = value.mid(1, value.size() - 2);
    if (double_quoted) {
      QString out;
      for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 1 < value.size()) ++i;
        out += value[i];
      }
      value = out;
    }
  }
  return value;
}

}  // namespace

QString clean_os_value(const QString& value) {
  QString kept;
  for (const QChar c : value) {
    const char16_t u = c.unicode();
    const bool ascii_alnum =
        (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9');
    if (ascii_alnum || u == u' ' || u == u'.' || u == u'-' || u == u'+' || u == u'_' || u == u'(' ||
        u == u')') {
      kept += c;
      if (kept.size() == kMaxValueLength) break;
    }
  }
  return kept.trimmed();
}

OsValues parse_windows_ver(const QString& output) {
  QString run;
  const qsizetype at = output.indexOf(QLatin1String("Version "));
  if (at >= 0) {
    for (qsizetype i = at + 8; i < output.size(); ++i) {
      const QChar c = output[i];
      if (!c.isDigit() && c != QLatin1Char('.')) break;
      run += c;
    }
  }
  const QStringList parts = run.split(QLatin1Char('.'));
  const QString build = parts.size() >= 3 ? parts[2] : QString();
  bool numeric = false;
  const long build_number = build.toLong(&numeric);

  OsValues v;
  v.os = QStringLiteral("windows");
  if (parts[0] == QLatin1String("10") && numeric && !build.isEmpty()) {
    v.os_version =
        QStringLiteral("Windows %1 (build %2)")
            .arg(build_number >= kFirstWindows11Build ? QStringLiteral("11") : QStringLiteral("10"),
                 build);
  } else {
    v.os_version = QStringLiteral("Windows ") + run;
  }
  v.os_version = clean_os_value(v.os_version);
  v.os_build = cut_build(build);
  v.arch = QStringLiteral("x86_64");
  return v;
}

OsValues parse_os_release(const QString& text) {
  OsValues v;
  v.os = QStringLiteral("linux");
  for (const QString& line : text.split(QLatin1Char('\n'))) {
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0 || line.startsWith(QLatin1Char('#'))) continue;
    const QString key = line.left(eq).trimmed();
    const QString value = unquote(line.mid(eq + 1));
    if (key == QLatin1String("PRETTY_NAME")) v.os_version = clean_os_value(value);
    if (key == QLatin1String("ID")) v.os_id = clean_os_value(value);
    if (key == QLatin1String("VERSION_ID")) v.os_build = cut_build(value);
  }
  return v;
}

const OsValues& os_values() {
  static const OsValues values = [] {
    QString text;
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
      QFile file(QString::fromLatin1(path));
      if (file.open(QIODevice::ReadOnly)) {
        text = QString::fromUtf8(file.readAll());
        break;
      }
    }
    OsValues v = parse_os_release(text);
    v.arch = clean_os_value(QSysInfo::currentCpuArchitecture());
    return v;
  }();
  return values;
}

}  // namespace kavor::platform
