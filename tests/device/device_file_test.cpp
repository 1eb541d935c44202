#include "device/device_file.h"

#include <gtest/gtest.h>

namespace kavor::device {
namespace device_file_test {
namespace {

bool empty(const DeviceFile& f) {
  return !f.device_id && !f.device_name && !f.secret;
}

TEST(DeviceFile, ReadsPresentValuesAndTreatsMissingOrNullAsAbsent) {
  const DeviceFile full = parse_device_file(
      R"({"device_id":"d1","device_name":"box","secret":"s3","extra":[1,{"a":2}]})");
  EXPECT_EQ(full.device_id, QStringLiteral("d1"));
  EXPECT_EQ(full.device_name, QStringLiteral("box"));
  EXPECT_EQ(full.secret, QStringLiteral("s3"));

  const DeviceFile partial = parse_device_file(R"({"device_id":"d1","secret":null})");
  EXPECT_EQ(partial.device_id, QStringLiteral("d1"));
  EXPECT_FALSE(partial.device_name);
  EXPECT_FALSE(partial.secret);
}

TEST(DeviceFile, DamagedFilesReadAsNothingAtAll) {
  for (const char* text : {
           "",
           R"({"device_id":"d1","device_name":"bo)",
           R"(["device_id","d1"])",
           R"("just text")",
           R"({"device_id":"d1","device_name":"box","device_id":"d2"})",
           R"({"device_id":42,"device_name":"box","secret":"s"})",
           R"({"device_id":"d1","device_name":"box","secret":true})",
           R"({"device_id":"d1","device_name":{},"secret":"s"})",
           "\xff\xfe{}",
       }) {
    EXPECT_TRUE(empty(parse_device_file(text))) << text;
  }
}

TEST(DeviceFile, WritesPrettyWithKeysInOrder) {
  EXPECT_EQ(serialize_device_file(QStringLiteral("d1"), QStringLiteral("box"), std::nullopt),
            QByteArray(
                "{\n  \"device_id\": \"d1\",\n  \"device_name\": \"box\",\n  \"secret\": null\n}"));
  const QByteArray with_secret = serialize_device_file(
      QStringLiteral("d\"1"), QStringLiteral("b\u00f6x"), QStringLiteral("s"));
  const DeviceFile back = parse_device_file(with_secret);
  EXPECT_EQ(back.device_id, QStringLiteral("d\"1"));
  EXPECT_EQ(back.device_name, QStringLiteral("b\u00f6x"));
  EXPECT_EQ(back.secret, QStringLiteral("s"));
}

}  // namespace
}  // namespace device_file_test
}  // namespace kavor::device
