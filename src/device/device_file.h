// device.json: the registration record the program keeps next to its settings.
//
//   { "device_id": "…", "device_name": "…", "secret": null }
//
// `secret` holds the device secret only when the credential store could not take it. Reading
// is strict about shape and lenient about presence: a missing or null key means "absent",
// unknown keys are ignored, and a repeated key or a value of the wrong type rejects the whole
// file, so a damaged file can never yield half a record.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kavor::device {

struct DeviceFile {
  std::optional<QString> device_id;
  std::optional<QString> device_name;
  std::optional<QString> secret;
};

// All three absent when the bytes are not a valid file.
DeviceFile parse_device_file(const QByteArray& bytes);

// Pretty-printed with two-space indentation, keys in the order device_id, device_name, secret.
QByteArray serialize_device_file(const QString& device_id, const QString& device_name,
                                 const std::optional<QString>& secret);

}  // namespace kavor::device
