#include "platform/os_info.h"

#include <gtest/gtest.h>

namespace kavor::platform {
namespace os_info_test {
namespace {

TEST(OsInfo, WindowsVersionTextNamesTheReleaseByItsBuild) {
  const OsValues eleven =
      parse_windows_ver(QStringLiteral("\r\nMicrosoft Windows [Version 10.0.22631.4460]\r\n"));
  EXPECT_EQ(eleven.os_version, QStringLiteral("Windows 11 (build 22631)"));
  EXPECT_EQ(eleven.os_build, QStringLiteral("22631"));
  EXPECT_EQ(eleven.os_id, QString());
  EXPECT_EQ(eleven.os, QStringLiteral("windows"));

  EXPECT_EQ(
      parse_windows_ver(QStringLiteral("Microsoft Windows [Version 10.0.19045.3803]")).os_version,
      QStringLiteral("Windows 10 (build 19045)"));
  EXPECT_EQ(parse_windows_ver(QStringLiteral("[Version 10.0.22000.1]")).os_version,
            QStringLiteral("Windows 11 (build 22000)"));
  const OsValues old = parse_windows_ver(QStringLiteral("Microsoft Windows [Version 6.3.9600]"));
  EXPECT_EQ(old.os_version, QStringLiteral("Windows 6.3.9600"));
  EXPECT_EQ(old.os_build, QStringLiteral("9600"));
  const OsValues none = parse_windows_ver(QString());
  EXPECT_EQ(none.os_version, QStringLiteral("Windows"));
  EXPECT_EQ(none.os_build, QString());
  // A build that is not only digits is not a build number.
  EXPECT_EQ(parse_windows_ver(QStringLiteral("Version 10.0.")).os_version,
            QStringLiteral("Windows 10.0."));
  EXPECT_EQ(parse_windows_ver(QStringLiteral("Version 10.0.1234567890123456")).os_build,
            QStringLiteral("123456789012"));
}

TEST(OsInfo, OsReleaseValuesAreUnquotedAndCleaned) {
  const OsValues v = parse_os_release(QStringLiteral(
      "# comment\nNAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
      "ID=debian\nVERSION_ID='12'\n"));
  EXPECT_EQ(v.os, QStringLiteral("linux"));
  EXPECT_EQ(v.os_version, QStringLiteral("Debian GNULinux 12 (bookworm)"));
  EXPECT_EQ(v.os_id, QStringLiteral("debian"));
  EXPECT_EQ(v.os_build, QStringLiteral("12"));

  const OsValues odd =
      parse_os_release(QStringLiteral("PRETTY_NAME=\"  <script>\\\"x\\\"</script> \u00e9") +
                       QString(100, QLatin1Char('a')) +
                       QStringLiteral("\"\nID=\nVERSION_ID=2024.10.15-rolling-build-17\n"));
  EXPECT_EQ(odd.os_version.size(), 64 - 2);  // 64 kept, then trimmed at the front
  EXPECT_FALSE(odd.os_version.contains(QLatin1Char('<')));
  EXPECT_EQ(odd.os_id, QString());
  EXPECT_EQ(odd.os_build, QStringLiteral("2024.10.15-r"));

  EXPECT_EQ(clean_os_value(QStringLiteral("  a\tb\u200bc ")), QStringLiteral("abc"));
  EXPECT_FALSE(os_values().arch.isEmpty());
}

}  // namespace
}  // namespace os_info_test
}  // namespace kavor::platform
