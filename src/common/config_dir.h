// The per-user configuration folder: the XDG config home joined with the application
// identifier, or the temporary folder joined with "kavor-agent" when no config home can be
// found. Resolved at every use: nothing caches it, so a changed environment takes effect.
#pragma once

#include <QString>

namespace kavor {

QString config_dir();

}  // namespace kavor
