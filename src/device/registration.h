// The pieces of registering this computer that need no network: the computer name sent to
// the service, and the reading of the service's answer into a device id and secret or the
// message the user sees.
#pragma once

#include <QByteArray>
#include <QString>

#include "platform/result.h"

namespace kavor::device {

// Longest computer name sent to the service, in characters.
inline constexpr int kMaxComputerNameLength = 80;

// Trimmed host name, "linux" when nothing is left, cut to its first 80 characters (never
// inside a character).
QString computer_name_from(const QString& host_name);

// This computer's name as the service should see it.
QString computer_name();

struct Registration {
  QString device_id;
  QString secret;
};

// Reads a registration answer: the id and secret of a success, or the message of a refusal.
Result<Registration> read_registration_answer(int status, const QByteArray& body);

}  // namespace kavor::device
