// A desktop notification service for tests: claims org.freedesktop.Notifications on the
// session bus (run the test under dbus-run-session) and records every Notify call. It serves
// on a thread of its own, so a test that waits on its own thread still gets answers.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <mutex>
#include <optional>
#include <vector>

namespace kavor::test {

class NotificationServer : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Toast {
    QString app;
    QString title;
    QString body;
    QVariantMap hints;
  };

  // `capabilities` is what GetCapabilities answers ("body-markup" makes the client escape).
  explicit NotificationServer(QStringList capabilities = {QStringLiteral("body")});
  ~NotificationServer() override;

  // Whether the name was claimed; false when no session bus is reachable.
  bool ready() const { return ready_; }
  // This server's own name on the bus: the owner of org.freedesktop.Notifications while it runs.
  QString unique_name() const { return bus_.baseService(); }
  std::vector<Toast> toasts() const;
  void clear();
  // Later Notify calls fail with this D-Bus error message; nothing to accept them again.
  void refuse(std::optional<QString> message);

 public slots:
  QStringList GetCapabilities();
  uint Notify(const QString& app_name, uint replaces_id, const QString& app_icon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int expire_timeout);

 private:
  QThread thread_;
  QDBusConnection bus_;
  bool ready_ = false;
  QStringList capabilities_;
  mutable std::mutex mutex_;
  std::vector<Toast> toasts_;
  std::optional<QString> refusal_;
  uint next_id_ = 0;
};

}  // namespace kavor::test
