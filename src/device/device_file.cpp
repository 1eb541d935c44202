#include "device/device_file.h"

#include "common/json.h"
#include "common/json_read.h"

namespace kavor::device {

DeviceFile parse_device_file(const QByteArray& bytes) {
  const auto parsed = common::parse_json_strict(std::string_view(bytes.constData(), bytes.size()));
  if (!parsed || !parsed->is_object()) return {};
  // A key of the wrong type makes the whole file unusable.
  const auto device_id = common::json::optional_text(*parsed, "device_id");
  const auto device_name = common::json::optional_text(*parsed, "device_name");
  const auto secret = common::json::optional_text(*parsed, "secret");
  if (!device_id.ok() || !device_name.ok() || !secret.ok()) return {};
  return DeviceFile{device_id.value(), device_name.value(), secret.value()};
}

QByteArray serialize_device_file(const QString& device_id, const QString& device_name,
                                 const std::optional<QString>& secret) {
  common::Json object = common::Json::object();
  object["device_id"] = device_id.toStdString();
  object["device_name"] = device_name.toStdString();
  object["secret"] = secret ? common::Json(secret->toStdString()) : common::Json(nullptr);
  return QByteArray::fromStdString(object.dump(2));
}

}  // namespace kavor::device
