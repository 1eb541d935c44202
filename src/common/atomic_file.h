// Replaces a file's content so that readers see the old file or the new one, never a part:
// the bytes go to a temporary sibling that is flushed and renamed over the target.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kavor {

enum class FileAccess {
  Default,    // as the user's umask allows
  OwnerOnly,  // read and write for the owner only, from the moment the file exists
};

// Creates missing parent folders, then writes. Returns the file system's error text on failure
// (the target is then untouched).
std::optional<QString> write_file_atomic(const QString& path, const QByteArray& bytes,
                                         FileAccess access = FileAccess::Default);

}  // namespace kavor
