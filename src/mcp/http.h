// The protocol's streamable HTTP transport, for clients that connect by address rather than
// start the program: one endpoint, /mcp, on a loopback address, off unless --http asks for it.
//
// Who may talk to it. Loopback is reachable by every user of the machine and, through the
// user's browser, by every web page; so before any message is read:
//   1. the connecting program must run as this user: the owner of the other end of the
//      connection, from the kernel's socket tables (platform/loopback_listener.h), else 403;
//   2. Host must name this listener (127.0.0.1, localhost or [::1] with its port), else 403:
//      a page whose own name resolves to 127.0.0.1 (DNS rebinding) still names its site there;
//   3. an Origin, when sent, must be this listener's own, else 403: browsers send it on a web
//      page's requests, the protocol's clients send none;
//   4. `Authorization: Bearer <secret>` must carry the secret from the secret file, which only
//      the user can read (platform/session_file.h), compared in constant time, else 401.
// And the listener itself, once bound, must be the only one on its port, and the user's own
// (loopback_port_owner): otherwise another user's socket could take some of the connections.
//
// The exchange (one request per connection, which then closes):
//   - POST /mcp with one JSON-RPC message. `initialize` makes a session, named in the answer's
//     Mcp-Session-Id header; every later POST names it (400 without, 404 for one not known).
//     A request is answered with an event stream (text/event-stream) that carries what the call
//     sends while it runs (progress, an elicitation) and ends with its answer. A notification or
//     a response is answered 202 at once. A body that is not JSON, or not a message, gets 400
//     with the protocol's error.
//   - GET /mcp opens the session's stream for what the server asks by itself (roots/list);
//     what was asked before it opened waits for it.
//   - DELETE /mcp ends the session: its calls are stopped as the client's leaving stops them,
//     and their streams end.
// A connection from another user, and a stranger (a foreign Host or Origin, no secret), is
// refused as soon as its headers are read: neither makes the server hold a body, and another
// user's connections are counted apart from the owner's. A request whose id is still running in its
// session, and an initialize that fails, take nothing (no second stream, no session).
//
// Limits: at most kMaxSessions sessions, headers 32 KiB, a body at most kMaxMessageBytes (413,
// naming the limit), the headers and body within kRequestDeadline of the connection (a client that
// trickles bytes holds nothing for long). A client that disconnects mid-call does not cancel the
// call (the protocol says so); its answer is dropped.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "mcp/server.h"
#include "platform/result.h"

class QTcpSocket;

namespace kavor::mcp {

inline constexpr std::size_t kMaxHeaderBytes = 32 * 1024;
inline constexpr std::chrono::milliseconds kRequestDeadline{30'000};
inline constexpr const char* kEndpoint = "/mcp";
// Sessions kept at once: a client that initializes again and again without ending its sessions
// gets 503 rather than make the server hold one per attempt. One user runs a handful of clients.
inline constexpr std::size_t kMaxSessions = 32;
// Connections open at once (streams included): past this a new one is closed unanswered, so
// that connections left open cannot take every descriptor the program has.
inline constexpr std::size_t kMaxConnections = 256;
// Connections of other users open at once, counted apart: each is refused once its headers are
// read (at most kMaxHeaderBytes held), and they never take a place of the owner's.
inline constexpr std::size_t kMaxForeignConnections = 16;

// A request as read off the connection, for the checks above.
struct HttpRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;

  // The value of the only header `name`; nothing when absent or sent more than once.
  std::optional<std::string> header(const std::string& name) const;
};

struct HttpRefusal {
  int status = 403;
  std::string text;
};

// Checks 2 to 4 for a request to the listener on `port` holding `secret`.
std::optional<HttpRefusal> refuse_stranger(const HttpRequest& request, unsigned port,
                                           const std::string& secret);

class HttpTransport : public QObject {
  Q_OBJECT
 public:
  // Makes the session of a new client; `send` carries what the session sends.
  using MakeSession = std::function<std::unique_ptr<Server>(Server::Send send)>;

  HttpTransport(MakeSession make, std::string secret, QObject* parent = nullptr);
  ~HttpTransport() override;

  // Binds `host` ("127.0.0.1", "localhost" or "::1") and `port` (0: any free one) and checks
  // the listener's owner; the sentence when it cannot.
  Result<void> listen(const std::string& host, unsigned port);
  unsigned port() const { return port_; }

  // Ends every session (the program ends); the calls still running, across sessions.
  std::size_t close_all();

 private:
  struct Stream;
  struct Session;
  struct Connection;

  void accept();
  void read(Connection& connection);
  bool refuse_early(Connection& connection);
  void handle(Connection& connection, HttpRequest request);
  void post(Connection& connection, const HttpRequest& request);
  void deliver(const std::string& session_id, const common::Json& message,
               const common::Json& related);
  void drop(QTcpSocket* socket);

  MakeSession make_;
  std::string secret_;
  QTcpServer server_;
  unsigned port_ = 0;
  std::map<QTcpSocket*, std::unique_ptr<Connection>> connections_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;
};

// The host and port of `--http`: a loopback host and a port; the refusal otherwise.
Result<std::pair<std::string, unsigned>> parse_http_address(const std::string& text);

}  // namespace kavor::mcp
