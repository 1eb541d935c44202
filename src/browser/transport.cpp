#include "browser/transport.h"

#include <QWebSocket>

#include "browser/waiting.h"
#include "common/timing.h"

namespace kavor::browser {

namespace {

// How opening the socket ended.
struct OpenOutcome {
  enum class Kind { Connected, Failed, TimedOut, Interrupted } kind;
  std::string error;
};

}  // namespace

WebSocketTransport::WebSocketTransport() : socket_(std::make_unique<QWebSocket>()) {
  socket_->setMaxAllowedIncomingMessageSize(static_cast<quint64>(kMaxMessageBytes));
  socket_->setMaxAllowedIncomingFrameSize(static_cast<quint64>(kMaxMessageBytes));
  // The socket's read buffer is left unbounded: bounding it (to 128 KiB, say) makes this
  // WebSocket stall for good on the first message larger than the bound, since a frame is only
  // decoded once it is whole. The message limit above is what bounds memory.
  QObject::connect(socket_.get(), &QWebSocket::textMessageReceived, [this](const QString& text) {
    if (on_message) on_message(text.toStdString());
  });
  // Binary messages are not part of the protocol; they are dropped unread.
  QObject::connect(socket_.get(), &QWebSocket::disconnected, [this] {
    if (closed_) return;
    closed_ = true;
    if (open_ && on_closed) on_closed();
  });
}

WebSocketTransport::~WebSocketTransport() {
  // No callbacks into a connection that is being torn down.
  on_message = nullptr;
  on_closed = nullptr;
  socket_->disconnect();
  socket_->abort();
}

QCoro::Task<std::optional<std::string>> WebSocketTransport::open(QUrl endpoint,
                                                                 Interrupt* interrupt) {
  auto outcome = std::make_shared<OneShot<OpenOutcome>>();
  const QMetaObject::Connection connected =
      QObject::connect(socket_.get(), &QWebSocket::connected, [outcome] {
        outcome->complete({OpenOutcome::Kind::Connected, {}});
      });
  const QMetaObject::Connection failed = QObject::connect(
      socket_.get(), QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error),
      [this, outcome](QAbstractSocket::SocketError) {
        outcome->complete({OpenOutcome::Kind::Failed, socket_->errorString().toStdString()});
      });
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [outcome] {
    outcome->complete({OpenOutcome::Kind::TimedOut, {}});
  });
  limit.start(timing::scaled(kConnectLimit));
  std::uint64_t ticket = 0;
  if (interrupt != nullptr) {
    ticket = interrupt->listen([outcome] {
      outcome->complete({OpenOutcome::Kind::Interrupted, {}});
    });
  }
  socket_->open(endpoint);
  auto waiting = OneShot<OpenOutcome>::wait(outcome);
  const OpenOutcome result = co_await waiting;
  if (interrupt != nullptr) interrupt->forget(ticket);
  QObject::disconnect(connected);
  QObject::disconnect(failed);

  switch (result.kind) {
    case OpenOutcome::Kind::Connected:
      if (socket_->state() != QAbstractSocket::ConnectedState) {
        co_return "Could not connect to the browser: the connection closed at once.";
      }
      open_ = true;
      co_return std::nullopt;
    case OpenOutcome::Kind::Failed:
      socket_->abort();
      co_return "Could not connect to the browser: " + result.error;
    case OpenOutcome::Kind::TimedOut:
      socket_->abort();
      co_return "The browser did not accept a DevTools connection in time.";
    case OpenOutcome::Kind::Interrupted:
      break;
  }
  socket_->abort();
  co_return "The connection to the browser was interrupted.";
}

bool WebSocketTransport::send(const std::string& text) {
  if (!open_ || closed_) return false;
  // Queued in the socket's own write buffer and written as the event loop runs.
  socket_->sendTextMessage(QString::fromStdString(text));
  return true;
}

void WebSocketTransport::close() {
  if (closed_) return;
  socket_->abort();  // emits disconnected, which reports the close once
}

}  // namespace kavor::browser
