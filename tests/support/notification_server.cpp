#include "support/notification_server.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace kavor::test {

namespace {
constexpr const char* kConnectionName = "kavor-test-notification-server";
}

NotificationServer::NotificationServer(QStringList capabilities)
    : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                         QLatin1String(kConnectionName))),
      capabilities_(std::move(capabilities)) {
  thread_.start();
  moveToThread(&thread_);
  ready_ = bus_.isConnected() &&
           bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                               QDBusConnection::ExportAllSlots) &&
           bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

NotificationServer::~NotificationServer() {
  bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
  bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
  QDBusConnection::disconnectFromBus(QLatin1String(kConnectionName));
  thread_.quit();
  thread_.wait();
}

std::vector<NotificationServer::Toast> NotificationServer::toasts() const {
  std::lock_guard lock(mutex_);
  return toasts_;
}

void NotificationServer::clear() {
  std::lock_guard lock(mutex_);
  toasts_.clear();
}

void NotificationServer::refuse(std::optional<QString> message) {
  std::lock_guard lock(mutex_);
  refusal_ = std::move(message);
}

QStringList NotificationServer::GetCapabilities() {
  return capabilities_;
}

uint NotificationServer::Notify(const QString& app_name, uint, const QString&,
                                const QString& summary, const QString& body, const QStringList&,
                                const QVariantMap& hints, int) {
  std::lock_guard lock(mutex_);
  if (refusal_) {
    sendErrorReply(QStringLiteral("org.freedesktop.Notifications.Error.Refused"), *refusal_);
    return 0;
  }
  toasts_.push_back(Toast{app_name, summary, body, hints});
  return ++next_id_;
}

}  // namespace kavor::test
