#include "common/config_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include "common/build_config.h"

namespace kavor {

std::optional<QString> claim_private_folder(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
    return QStringLiteral("Kavor Agent cannot create its settings folder %1: %2.")
        .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
  }
  struct stat st {};
  const bool usable = ::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
                      st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  if (!usable) {
    return QStringLiteral(
               "Kavor Agent will not keep its settings in %1: that folder belongs to another "
               "user, is a link, or others may change it.")
        .arg(path);
  }
  return std::nullopt;
}

ConfigDir config_dir() {
  const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (!home.isEmpty() && QDir::isAbsolutePath(home)) {
    return {QDir(home).filePath(QString::fromUtf8(build::kAppId)), std::nullopt};
  }
  const QString fallback = QDir(QDir::tempPath()).filePath(QStringLiteral("kavor-agent"));
  return {fallback, claim_private_folder(fallback)};
}

}  // namespace kavor
