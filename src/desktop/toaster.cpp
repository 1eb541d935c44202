#include "desktop/toaster.h"

#include <qcorodbuspendingcall.h>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/build_config.h"

namespace kavor::desktop {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// A notification service that does not answer within this time is not going to.
constexpr std::chrono::milliseconds kCallTimeout{10'000};
// The service picks how long a toast stays.
constexpr int kServerDefaultExpiry = -1;

enum class Markup { Unknown, Plain, Read };

// What the notification service said about markup, until another program takes over its name
// (a desktop restarted, a different server started): that one is asked anew.
struct MarkupCache {
  std::atomic<Markup> markup{Markup::Unknown};
  std::atomic<std::uint64_t> owner_changes{0};

  void forget() {
    ++owner_changes;
    markup.store(Markup::Unknown);
  }
};

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

std::string error_text(const QDBusMessage& reply) {
  const QString message = reply.errorMessage();
  return (message.isEmpty() ? reply.errorName() : message).toStdString();
}

class DesktopToaster : public Toaster {
 public:
  DesktopToaster()
      : owners_(QLatin1String(kService), QDBusConnection::sessionBus(),
                QDBusServiceWatcher::WatchForOwnerChange) {
    QObject::connect(&owners_, &QDBusServiceWatcher::serviceOwnerChanged, &owners_,
                     [cache = cache_] { cache->forget(); });
  }

  QCoro::Task<Result<void>> show(Toast toast) override {
    // Only shared state from here on: the task may outlive the toaster.
    const std::shared_ptr<MarkupCache> cache = cache_;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) co_return fail(bus.lastError().message().toStdString());

    // 1. Ask whether the service reads markup in bodies, once per owner of its name.
    Markup markup = cache->markup.load();
    if (markup == Markup::Unknown) {
      const std::uint64_t asked_of = cache->owner_changes.load();
      const QDBusMessage ask = QDBusMessage::createMethodCall(
          QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
          QStringLiteral("GetCapabilities"));
      QDBusPendingCall asking = bus.asyncCall(ask, static_cast<int>(kCallTimeout.count()));
      const QDBusMessage caps = co_await asking;
      if (caps.type() == QDBusMessage::ErrorMessage) co_return fail(error_text(caps));
      const QStringList list =
          caps.arguments().isEmpty() ? QStringList() : caps.arguments().constFirst().toStringList();
      markup = list.contains(QStringLiteral("body-markup")) ? Markup::Read : Markup::Plain;
      // An answer from a server that left meanwhile serves this toast only.
      if (cache->owner_changes.load() == asked_of) cache->markup.store(markup);
    }

    // 2. The toast itself.
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromUtf8(common::build::kAppId));
    if (toast.sound) {
      hints.insert(QStringLiteral("sound-name"), QString::fromLatin1(kToastSoundName));
    } else {
      hints.insert(QStringLiteral("suppress-sound"), true);
    }
    const QString body = markup == Markup::Read ? escape_markup(toast.body) : toast.body;
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                       QLatin1String(kInterface), QStringLiteral("Notify"));
    call << QString::fromLatin1(kToastAppName) << 0u << QString() << toast.title << body
         << QStringList() << hints << kServerDefaultExpiry;
    QDBusPendingCall sending = bus.asyncCall(call, static_cast<int>(kCallTimeout.count()));
    const QDBusMessage answer = co_await sending;
    if (answer.type() == QDBusMessage::ErrorMessage) co_return fail(error_text(answer));
    co_return Result<void>();
  }

 private:
  std::shared_ptr<MarkupCache> cache_ = std::make_shared<MarkupCache>();
  // Lives on the thread that made the toaster, whose event loop delivers its news.
  QDBusServiceWatcher owners_;
};

}  // namespace

std::unique_ptr<Toaster> desktop_toaster() {
  return std::make_unique<DesktopToaster>();
}

}  // namespace kavor::desktop
