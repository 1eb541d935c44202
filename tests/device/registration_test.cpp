#include "device/registration.h"

#include <gtest/gtest.h>

namespace kavor::device {
namespace registration_test {
namespace {

QString message_of(int status, const char* body) {
  const Result<Registration> outcome = read_registration_answer(status, QByteArray(body));
  return outcome.ok() ? QStringLiteral("<ok>") : QString::fromStdString(outcome.message());
}

TEST(Registration, RefusalsUseTheServiceMessageOnlyWhenItIsAString) {
  EXPECT_EQ(message_of(403, R"({"message":"This link has expired."})"),
            QStringLiteral("This link has expired."));
  EXPECT_EQ(message_of(500, "<html><body>Bad gateway</body></html>"),
            QStringLiteral("could not register this computer"));
  EXPECT_EQ(message_of(401, R"({"message":42})"),
            QStringLiteral("could not register this computer"));
  EXPECT_EQ(message_of(302, ""), QStringLiteral("could not register this computer"));
}

TEST(Registration, SuccessNeedsAUsableDeviceIdAndAStringSecret) {
  const auto ok = read_registration_answer(200, R"({"device":{"id":42},"secret":"s"})");
  ASSERT_TRUE(ok.ok()) << ok.message();
  EXPECT_EQ(ok->device_id, QStringLiteral("42"));
  EXPECT_EQ(ok->secret, QStringLiteral("s"));
  EXPECT_EQ(
      read_registration_answer(201, R"({"device":{"id":"dev-7"},"secret":""})").value().device_id,
      QStringLiteral("dev-7"));
  EXPECT_EQ(read_registration_answer(200, R"({"device":{"id":-3},"secret":"s"})").value().device_id,
            QStringLiteral("-3"));

  const QString no_id = QStringLiteral("the server answered without a device id");
  for (const char* body :
       {R"({"device":{"id":{}},"secret":"s"})", R"({"device":{"id":4.5},"secret":"s"})",
        R"({"device":{"id":null},"secret":"s"})", R"({"secret":"s"})",
        R"({"device":"d1","secret":"s"})", "<html></html>", ""}) {
    EXPECT_EQ(message_of(200, body), no_id) << body;
  }
  const QString no_secret = QStringLiteral("the server answered without a secret");
  EXPECT_EQ(message_of(200, R"({"device":{"id":"d"}})"), no_secret);
  EXPECT_EQ(message_of(200, R"({"device":{"id":"d"},"secret":7})"), no_secret);
  EXPECT_EQ(message_of(200, R"({"device":{"id":"d"},"secret":null})"), no_secret);
}

TEST(Registration, ComputerNameIsTrimmedDefaultedAndCutByCharacters) {
  EXPECT_EQ(computer_name_from(QStringLiteral("  box \n")), QStringLiteral("box"));
  EXPECT_EQ(computer_name_from(QStringLiteral("   ")), QStringLiteral("linux"));
  EXPECT_EQ(computer_name_from(QString(100, QLatin1Char('n'))), QString(80, QLatin1Char('n')));
  // 79 letters then an emoji outside the basic plane: the emoji is the 80th character, whole.
  const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
  const QString name = computer_name_from(QString(79, QLatin1Char('a')) + emoji + emoji);
  EXPECT_EQ(name, QString(79, QLatin1Char('a')) + emoji);
  EXPECT_FALSE(computer_name().isEmpty());
}

}  // namespace
}  // namespace registration_test
}  // namespace kavor::device
