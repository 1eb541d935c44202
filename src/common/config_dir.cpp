#include "common/config_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>

#include "common/build_config.h"
#include "platform/text.h"

namespace kavor::common {

Result<void> claim_private_folder(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
    return fail(QStringLiteral("Kavor Agent cannot create its settings folder %1: %2.")
                    .arg(path, QString::fromLocal8Bit(errno_text(errno).c_str()))
                    .toStdString());
  }
  struct stat st {};
  const bool usable = ::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
                      st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  if (!usable) {
    return fail(QStringLiteral(
                    "Kavor Agent will not keep its settings in %1: that folder belongs to another "
                    "user, is a link, or others may change it.")
                    .arg(path)
                    .toStdString());
  }
  return {};
}

ConfigDir config_dir() {
  const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (!home.isEmpty() && QDir::isAbsolutePath(home)) {
    return {QDir(home).filePath(QString::fromUtf8(build::kAppId)), {}};
  }
  const QString fallback = QDir(QDir::tempPath()).filePath(QStringLiteral("kavor-agent"));
  return {fallback, claim_private_folder(fallback)};
}

}  // namespace kavor::common
