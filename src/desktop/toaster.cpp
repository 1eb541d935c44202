#include "desktop/toaster.h"

#include <qcorodbuspendingcall.h>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QVariantMap>

#include <atomic>
#include <chrono>

#include "common/build_config.h"

namespace kavor {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// A notification service that does not answer within this time is not going to.
constexpr std::chrono::milliseconds kCallTimeout{10'000};
// The service picks how long a toast stays.
constexpr int kServerDefaultExpiry = -1;

enum class Markup { Unknown, Plain, Read };

// The body as a markup-reading service must receive it to show it unchanged.
QString escape_markup(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    if (c == QLatin1Char('&')) {
      out += QLatin1String("&amp;");
    } else if (c == QLatin1Char('<')) {
      out += QLatin1String("&lt;");
    } else if (c == QLatin1Char('>')) {
      out += QLatin1String("&gt;");
    } else {
      out += c;
    }
  }
  return out;
}

QString error_text(const QDBusMessage& reply) {
  const QString message = reply.errorMessage();
  return message.isEmpty() ? reply.errorName() : message;
}

class DesktopToaster : public Toaster {
 public:
  QCoro::Task<std::optional<QString>> show(Toast toast) override {
    // Only shared state from here on: the task may outlive the toaster.
    const std::shared_ptr<std::atomic<Markup>> markup = markup_;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) co_return bus.lastError().message();

    // 1. Ask once whether the service reads markup in bodies.
    if (markup->load() == Markup::Unknown) {
      const QDBusMessage ask = QDBusMessage::createMethodCall(
          QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
          QStringLiteral("GetCapabilities"));
      QDBusPendingCall asking = bus.asyncCall(ask, static_cast<int>(kCallTimeout.count()));
      const QDBusMessage caps = co_await asking;
      if (caps.type() == QDBusMessage::ErrorMessage) co_return error_text(caps);
      const QStringList list =
          caps.arguments().isEmpty() ? QStringList() : caps.arguments().constFirst().toStringList();
      markup->store(list.contains(QStringLiteral("body-markup")) ? Markup::Read : Markup::Plain);
    }

    // 2. The toast itself.
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromUtf8(build::kAppId));
    if (toast.sound) {
      hints.insert(QStringLiteral("sound-name"), QString::fromLatin1(kToastSoundName));
    } else {
      hints.insert(QStringLiteral("suppress-sound"), true);
    }
    const QString body = markup->load() == Markup::Read ? escape_markup(toast.body) : toast.body;
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kInterface), QStringLiteral("Notify"));
    call << QString::fromLatin1(kToastAppName) << 0u << QString() << toast.title << body
         << QStringList() << hints << kServerDefaultExpiry;
    QDBusPendingCall sending = bus.asyncCall(call, static_cast<int>(kCallTimeout.count()));
    const QDBusMessage answer = co_await sending;
    if (answer.type() == QDBusMessage::ErrorMessage) co_return error_text(answer);
    co_return std::nullopt;
  }

 private:
  std::shared_ptr<std::atomic<Markup>> markup_ =
      std::make_shared<std::atomic<Markup>>(Markup::Unknown);
};

}  // namespace

std::unique_ptr<Toaster> desktop_toaster() {
  return std::make_unique<DesktopToaster>();
}

}  // namespace kavor
