// The per-user configuration folder: the XDG config home joined with the application
// identifier, or the temporary folder joined with "kavor-agent" when no config home can be
// found. Resolved at every use: nothing caches it, so a changed environment takes effect.
//
// The temporary folder is shared by every user of the computer, so the fallback is created
// readable by its owner only, and one that exists already is used only when it is a real
// folder (not a link) owned by this user that nobody else may change: another user could
// otherwise read the device secret kept there, or plant a device.json of their own.
#pragma once

#include <QString>

#include "platform/result.h"

namespace kavor::common {

struct ConfigDir {
  QString path;
  // Fails, saying why, when the folder must not be used.
  Result<void> usable;
};

ConfigDir config_dir();

// The check above for a folder in a shared place: creates `path` owner-only when missing.
Result<void> claim_private_folder(const QString& path);

}  // namespace kavor::common
