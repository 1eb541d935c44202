#include "device/registration.h"

#include <QList>
#include <QSysInfo>

#include <cmath>

#include "common/json.h"

namespace kavor::device {

QString computer_name_from(const QString& host_name) {
  const QString trimmed = host_name.trimmed();
  if (trimmed.isEmpty()) return QStringLiteral("linux");
  // Count characters, not UTF-16 units, so a name is never cut between a surrogate pair.
  const QList<uint> chars = trimmed.toUcs4();
  if (chars.size() <= kMaxComputerNameLength) return trimmed;
  return QString::fromUcs4(reinterpret_cast<const char32_t*>(chars.constData()),
                           kMaxComputerNameLength);
}

QString computer_name() {
  return computer_name_from(QSysInfo::machineHostName());
}

namespace {

// The id as text: strings as they are, integral numbers in decimal without a fraction.
std::optional<QString> device_id_text(const common::Json& id) {
  if (id.is_string()) return QString::fromStdString(id.get<std::string>());
  if (id.is_number_unsigned()) return QString::number(id.get<std::uint64_t>());
  if (id.is_number_integer()) return QString::number(id.get<std::int64_t>());
  if (id.is_number_float()) {
    const double value = id.get<double>();
    // A float that holds a whole number (42.0) is the same id; 42.5 is not an id.
    if (std::isfinite(value) && std::trunc(value) == value &&
        std::fabs(value) < 9007199254740992.0 /* 2^53: exact in a double */) {
      return QString::number(static_cast<std::int64_t>(value));
    }
  }
  return std::nullopt;
}

}  // namespace

Result<Registration> read_registration_answer(int status, const QByteArray& body) {
  const common::Json answer = common::parse_json(std::string_view(body.constData(), body.size()))
                                  .value_or(common::Json(nullptr));

  if (status < 200 || status > 299) {
    if (answer.is_object()) {
      const auto message = answer.find("message");
      if (message != answer.end() && message->is_string()) {
        return fail(message->get<std::string>());
      }
    }
    return fail("could not register this computer");
  }

  std::optional<QString> id;
  if (answer.is_object()) {
    const auto device = answer.find("device");
    if (device != answer.end() && device->is_object()) {
      const auto found = device->find("id");
      if (found != device->end()) id = device_id_text(*found);
    }
  }
  if (!id) return fail("the server answered without a device id");

  const auto secret = answer.is_object() ? answer.find("secret") : answer.end();
  if (!answer.is_object() || secret == answer.end() || !secret->is_string()) {
    return fail("the server answered without a secret");
  }
  return Registration{*id, QString::fromStdString(secret->get<std::string>())};
}

}  // namespace kavor::device
