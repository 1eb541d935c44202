#include "device/device_file.h"

#include "common/json.h"

namespace kavor::device {

namespace {

// Reads one optional string key; false when the key holds something other than a string.
bool read_key(const Json& object, const char* key, std::optional<QString>& out) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = QString::fromStdString(it->get<std::string>());
  return true;
}

}  // namespace

DeviceFile parse_device_file(const QByteArray& bytes) {
  const auto parsed = parse_json_strict(std::string_view(bytes.constData(), bytes.size()));
  if (!parsed || !parsed->is_object()) return {};
  DeviceFile file;
  if (!read_key(*parsed, "device_id", file.device_id) ||
      !read_key(*parsed, "device_name", file.device_name) ||
      !read_key(*parsed, "secret", file.secret)) {
    return {};
  }
  return file;
}

QByteArray serialize_device_file(const QString& device_id, const QString& device_name,
                                 const std::optional<QString>& secret) {
  Json object = Json::object();
  object["device_id"] = device_id.toStdString();
  object["device_name"] = device_name.toStdString();
  object["secret"] = secret ? Json(secret->toStdString()) : Json(nullptr);
  return QByteArray::fromStdString(object.dump(2));
}

}  // namespace kavor::device
