#include "common/atomic_file.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace kavor {

namespace {

QString os_error(int code) {
  return QString::fromLocal8Bit(std::strerror(code));
}

// umask() can only be read by setting it, which races with other threads creating files; the
// kernel also reports it in /proc.
mode_t current_umask() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (status.open(QIODevice::ReadOnly)) {
    for (const QByteArray& line : status.readAll().split('\n')) {
      if (line.startsWith("Umask:")) {
        bool ok = false;
        const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
        if (ok) return static_cast<mode_t>(mask & 0777);
      }
    }
  }
  return 022;
}

std::optional<QString> make_parents(const QString& folder) {
  const QByteArray path = QFile::encodeName(folder);
  // QDir::mkpath hides the reason of a failure, so the parents are made one by one.
  QString partial;
  const QStringList parts = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  for (const QString& part : parts) {
    partial += QLatin1Char('/') + part;
    const QByteArray p = QFile::encodeName(partial);
    if (::mkdir(p.constData(), 0700) != 0 && errno != EEXIST) return os_error(errno);
  }
  struct stat st {};
  if (::stat(path.constData(), &st) != 0) return os_error(errno);
  if (!S_ISDIR(st.st_mode)) return os_error(ENOTDIR);
  return std::nullopt;
}

}  // namespace

std::optional<QString> write_file_atomic(const QString& path, const QByteArray& bytes,
                                         FileAccess access) {
  const QString absolute = QFileInfo(path).absoluteFilePath();
  const QString folder = QFileInfo(absolute).absolutePath();
  if (auto err = make_parents(folder)) return err;

  const QByteArray target = QFile::encodeName(absolute);
  QByteArray temp = target + ".tmp-XXXXXX";
  // mkstemp creates the file with mode 0600, so an owner-only file is never readable by others,
  // not even for a moment.
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return os_error(errno);

  auto fail = [&](int code) {
    ::close(fd);
    ::unlink(temp.constData());
    return std::optional<QString>(os_error(code));
  };
  if (access == FileAccess::Default && ::fchmod(fd, 0666 & ~current_umask()) != 0) {
    return fail(errno);
  }
  const char* data = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, static_cast<size_t>(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    data += n;
    left -= n;
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    const int code = errno;
    ::unlink(temp.constData());
    return os_error(code);
  }
  if (::rename(temp.constData(), target.constData()) != 0) {
    const int code = errno;
    ::unlink(temp.constData());
    return os_error(code);
  }
  return std::nullopt;
}

}  // namespace kavor
