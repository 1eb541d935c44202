// The socket under the DevTools connection: one WebSocket to the browser on loopback, carrying
// one JSON text per message. The connection above sees only "send this text", "a text arrived"
// and "the socket is gone"; nothing above it touches the socket.
#pragma once

#include <QUrl>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <qcorotask.h>

class QWebSocket;

namespace kavor::browser {

class Interrupt;

// Screenshots arrive as one large base64 text message; anything bigger than this is not a
// reply we could use, and the socket refuses it rather than buffering without end.
inline constexpr qint64 kMaxMessageBytes = 256ll << 20;
inline constexpr std::chrono::milliseconds kConnectLimit{10'000};

class Transport {
 public:
  virtual ~Transport() = default;
  // Queues one text message; false when the socket is already gone.
  virtual bool send(const std::string& text) = 0;
  virtual void close() = 0;

  // Set by the connection before any message can arrive. Called on the event-loop thread.
  std::function<void(std::string_view text)> on_message;
  std::function<void()> on_closed;  // once, when the socket ends for any reason
};

class WebSocketTransport : public Transport {
 public:
  WebSocketTransport();
  ~WebSocketTransport() override;

  // Opens the socket; the failure message, or nothing once it is open.
  QCoro::Task<std::optional<std::string>> open(QUrl endpoint, Interrupt* interrupt);

  bool send(const std::string& text) override;
  void close() override;

 private:
  std::unique_ptr<QWebSocket> socket_;
  bool open_ = false;
  bool closed_ = false;
};

}  // namespace kavor::browser
