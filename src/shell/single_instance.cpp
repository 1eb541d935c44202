#include "shell/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

#include "common/build_config.h"

namespace kavor::shell {

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr QByteArrayView kKnock = "activate\n";

}  // namespace

SingleInstance::SingleInstance(QString name) : name_(std::move(name)) {}

QString SingleInstance::default_name() {
  return QStringLiteral("kavor-agent-%1-%2")
      .arg(QString::fromUtf8(build::kAppId))
      .arg(static_cast<qulonglong>(::getuid()));
}

bool SingleInstance::activate_running() {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  socket.write(kKnock.data(), kKnock.size());
  socket.waitForBytesWritten(kConnectTimeoutMs);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::listen(std::function<void()> on_activate) {
  on_activate_ = std::move(on_activate);
  // Two programs started at the same moment must not both decide they are first: the check
  // and the listen happen under a lock file.
  QLockFile lock(QDir(QDir::tempPath()).filePath(name_ + QStringLiteral(".lock")));
  lock.lock();
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name_)) {
    // A socket left behind by a program that crashed: nobody answers on it, so take it over.
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (probe.waitForConnected(kConnectTimeoutMs)) return false;
    QLocalServer::removeServer(name_);
    if (!server_->listen(name_)) return false;
  }
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (peer->readAll().contains("activate") && on_activate_) on_activate_();
      });
    }
  });
  return true;
}

}  // namespace kavor::shell
