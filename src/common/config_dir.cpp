#include "common/config_dir.h"

#include <QDir>
#include <QStandardPaths>

#include "common/build_config.h"

namespace kavor {

QString config_dir() {
  const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (!home.isEmpty() && QDir::isAbsolutePath(home)) {
    return QDir(home).filePath(QString::fromUtf8(build::kAppId));
  }
  return QDir(QDir::tempPath()).filePath(QStringLiteral("kavor-agent"));
}

}  // namespace kavor
