// The operating-system values the page shows about this computer. Each platform has its own
// source: Windows reports through the command interpreter's `ver` text, Linux through
// /etc/os-release. The parsers are pure so both can be tested anywhere.
#pragma once

#include <QString>

namespace kavor::platform {

struct OsValues {
  QString os;          // "windows" or "linux"
  QString os_version;  // name and version, for people
  QString os_id;       // distribution id ("" on Windows)
  QString os_build;    // build number or version id
  QString arch;
};

// Keeps ASCII letters and digits, space and . - + _ ( ); stops after 64 kept characters; trims.
QString clean_os_value(const QString& value);

// From the output of `cmd /C ver`, e.g. "Microsoft Windows [Version 10.0.22631.4460]".
OsValues parse_windows_ver(const QString& output);

// From the text of an os-release file: PRETTY_NAME, ID and VERSION_ID.
OsValues parse_os_release(const QString& text);

// This computer's values, read once and then kept for the life of the process.
const OsValues& os_values();

}  // namespace kavor::platform
