#include "shell/single_instance.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "common/build_config.h"

namespace kavor::shell {

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr QByteArrayView kKnock = "activate\n";

// The application identifier keeps the programs of other deployments apart.
QString socket_name() {
  return QStringLiteral("kavor-agent-%1").arg(QString::fromUtf8(common::build::kAppId));
}

// A real folder (not a link) of this user that nobody else may enter.
bool private_to_us(const QByteArray& path) {
  struct stat st {};
  return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// Whose process is at the other end of a connected local socket.
std::optional<uid_t> peer_uid(qintptr descriptor) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) !=
      0) {
    return std::nullopt;
  }
  return credentials.uid;
}

// Step 3 of the header: connects `socket` to `path` when this user's program listens there.
bool connect_to_our_program(const QString& path, QLocalSocket& socket) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
      st.st_uid != ::geteuid()) {
    return false;
  }
  socket.connectToServer(path);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  if (peer_uid(socket.socketDescriptor()) != ::geteuid()) {
    socket.abort();
    return false;
  }
  return true;
}

}  // namespace

InstanceFolder instance_folder(const QString& runtime_dir, const QString& temp_dir) {
  // 1. The runtime folder, when it is what it should be.
  if (QDir::isAbsolutePath(runtime_dir) && private_to_us(QFile::encodeName(runtime_dir))) {
    return {runtime_dir, false};
  }
  // 2. This user's own folder in the shared temporary folder.
  const QString own = QDir(temp_dir).filePath(
      QStringLiteral("kavor-agent-%1").arg(static_cast<qulonglong>(::geteuid())));
  const QByteArray native = QFile::encodeName(own);
  if ((::mkdir(native.constData(), 0700) == 0 || errno == EEXIST) && private_to_us(native)) {
    return {own, false};
  }
  // 3. That name is taken by something not to be trusted: a folder for this start alone.
  QByteArray pattern = native + "-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) return {QFile::decodeName(pattern), true};
  return {};
}

SingleInstance::SingleInstance() {
  const InstanceFolder folder =
      instance_folder(QFile::decodeName(qgetenv("XDG_RUNTIME_DIR")), QDir::tempPath());
  if (folder.path.isEmpty()) return;
  if (folder.fresh) fresh_folder_ = folder.path;
  path_ = QDir(folder.path).filePath(socket_name());
}

SingleInstance::SingleInstance(QString socket_path) : path_(std::move(socket_path)) {}

SingleInstance::~SingleInstance() {
  server_.reset();  // removes the socket file
  if (!fresh_folder_.isEmpty()) QDir().rmdir(fresh_folder_);
}

bool SingleInstance::activate_running() {
  if (path_.isEmpty()) return false;
  QLocalSocket socket;
  if (!connect_to_our_program(path_, socket)) return false;
  socket.write(kKnock.data(), kKnock.size());
  socket.waitForBytesWritten(kConnectTimeoutMs);
  socket.disconnectFromServer();
  return true;
}

SingleInstance::Listening SingleInstance::listen(std::function<void()> on_activate) {
  on_activate_ = std::move(on_activate);
  if (path_.isEmpty()) return Listening::Unavailable;
  // Two programs started at the same moment must not both decide they are first: the check
  // and the listen happen under a lock file.
  QLockFile lock(path_ + QStringLiteral(".lock"));
  lock.lock();
  // Asked before listening, not after a failed listen: with access options, Qt binds the socket
  // in a folder of its own and renames it into place, which replaces a socket in use instead
  // of failing, and both programs would run.
  QLocalSocket probe;
  if (connect_to_our_program(path_, probe)) return Listening::AnotherRuns;
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path_)) {
    // Left behind by a program that crashed, or not this user's program: take its place.
    QLocalServer::removeServer(path_);
    if (!server_->listen(path_)) {
      server_.reset();
      return Listening::Unavailable;
    }
  }
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      if (peer_uid(peer->socketDescriptor()) != ::geteuid()) {
        peer->abort();
        peer->deleteLater();
        continue;
      }
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (peer->readAll().contains("activate") && on_activate_) on_activate_();
      });
    }
  });
  return Listening::Yes;
}

}  // namespace kavor::shell
