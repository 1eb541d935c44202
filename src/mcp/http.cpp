#include "mcp/http.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/loopback_listener.h"
#include "platform/session_file.h"

namespace kavor::mcp {

namespace {

// What a stream keeps for the server's own requests until the client opens it; more is dropped
// (a client that never opens it cannot make the server hold more).
constexpr std::size_t kWaitingMessages = 64;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trim(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const std::size_t end = text.find_last_not_of(" \t\r");
  return std::string(text.substr(begin, end - begin + 1));
}

// Compares in time that depends only on the lengths, so that the secret cannot be found out
// one character at a time.
bool same_secret(std::string_view given, std::string_view secret) {
  if (given.size() != secret.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return differ == 0;
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 202:
      return "Accepted";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

// Writes a whole answer and closes the connection once it is out.
void answer(QTcpSocket* socket, int status, const std::string& type, const std::string& body,
            const std::string& headers = {}) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
  if (!body.empty()) head += "Content-Type: " + type + "\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
  head += headers + "\r\n";
  socket->write(QByteArray::fromStdString(head + body));
  socket->disconnectFromHost();
}

void answer_text(QTcpSocket* socket, int status, const std::string& text,
                 const std::string& headers = {}) {
  answer(socket, status, "text/plain; charset=utf-8", text + "\n", headers);
}

void answer_json(QTcpSocket* socket, int status, const common::Json& message) {
  answer(socket, status, "application/json", serialize(message));
}

void open_stream(QTcpSocket* socket, const std::string& headers = {}) {
  socket->write(QByteArray::fromStdString(
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
      "Connection: close\r\n" +
      headers + "\r\n"));
}

void write_event(QTcpSocket* socket, const common::Json& message) {
  socket->write(QByteArray::fromStdString("event: message\ndata: " + serialize(message) + "\n\n"));
}

bool open(const QPointer<QTcpSocket>& socket) {
  return socket && socket->state() == QAbstractSocket::ConnectedState;
}

}  // namespace

struct HttpTransport::Connection {
  QPointer<QTcpSocket> socket;
  bool foreign = false;  // the other end runs as another user
  QByteArray buffer;
  bool headers_read = false;
  std::size_t body_length = 0;
  HttpRequest request;
  // The request is read: nothing more is read, and the deadline no longer applies (an event
  // stream stays open as long as its call runs).
  bool streaming = false;
};

struct HttpTransport::Session {
  std::unique_ptr<Server> server;
  std::map<std::string, QPointer<QTcpSocket>> streams;  // by the request id's JSON text
  QPointer<QTcpSocket> standalone;                      // the GET stream
  std::vector<common::Json> waiting;                    // for the GET stream
  common::Json initialize_id;  // the initialize request's id, until it is answered
};

std::optional<std::string> HttpRequest::header(const std::string& name) const {
  if (headers.count(name) != 1) return std::nullopt;
  return headers.find(name)->second;
}

std::optional<HttpRefusal> refuse_stranger(const HttpRequest& request, unsigned port,
                                           const std::string& secret) {
  const std::string suffix = ":" + std::to_string(port);
  const std::string host = lower(request.header("host").value_or(""));
  if (host != "127.0.0.1" + suffix && host != "localhost" + suffix && host != "[::1]" + suffix) {
    return HttpRefusal{403, "Refused: the Host header does not name this server."};
  }
  if (request.headers.count("origin") != 0) {
    const std::string origin = lower(request.header("origin").value_or(""));
    if (origin != "http://" + host) {
      return HttpRefusal{403, "Refused: pages of other origins may not use this server."};
    }
  }
  const std::string authorization = request.header("authorization").value_or("");
  constexpr std::string_view kBearer = "Bearer ";
  if (secret.empty() || authorization.rfind(kBearer, 0) != 0 ||
      !same_secret(std::string_view(authorization).substr(kBearer.size()), secret)) {
    return HttpRefusal{401,
                       "Refused: send the secret from the server's secret file as "
                       "Authorization: Bearer <secret>."};
  }
  return std::nullopt;
}

Result<std::pair<std::string, unsigned>> parse_http_address(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  const std::string refusal =
      "The HTTP transport listens on loopback only: give 127.0.0.1:PORT, localhost:PORT or "
      "[::1]:PORT, not " +
      text + ".";
  if (colon == std::string::npos) return fail(refusal);
  std::string host = text.substr(0, colon);
  const std::string port_text = text.substr(colon + 1);
  if (host == "[::1]") host = "::1";
  if (host != "127.0.0.1" && host != "localhost" && host != "::1") return fail(refusal);
  if (port_text.empty() || port_text.size() > 5 ||
      port_text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(port_text) > 65535) {
    return fail("The port " + port_text + " is not a number from 0 to 65535.");
  }
  return std::make_pair(host, static_cast<unsigned>(std::stoul(port_text)));
}

HttpTransport::HttpTransport(MakeSession make, std::string secret, QObject* parent)
    : QObject(parent), make_(std::move(make)), secret_(std::move(secret)) {
  connect(&server_, &QTcpServer::newConnection, this, &HttpTransport::accept);
}

HttpTransport::~HttpTransport() {
  close_all();
  sessions_.clear();
}

Result<void> HttpTransport::listen(const std::string& host, unsigned port) {
  const QHostAddress address = host == "::1" ? QHostAddress(QHostAddress::LocalHostIPv6)
                                             : QHostAddress(QHostAddress::LocalHost);
  if (!server_.listen(address, static_cast<quint16>(port))) {
    return fail("Cannot listen on " + host + ":" + std::to_string(port) + ": " +
                server_.errorString().toStdString());
  }
  port_ = server_.serverPort();
  // Every socket that takes connections to this address and port must be this program's.
  const platform::PortVerdict verdict =
      platform::loopback_port_owner(host == "::1" ? "::1" : "127.0.0.1", port_);
  if (verdict.owner != platform::PortOwner::Ours) {
    server_.close();
    return fail("Another program listens on port " + std::to_string(port_) + " as well (user " +
                std::to_string(verdict.foreign_uid) +
                "), so connections could reach it: choose another port.");
  }
  return {};
}

std::size_t HttpTransport::close_all() {
  server_.close();
  std::size_t live = 0;
  for (auto& [id, session] : sessions_) {
    session->server->close();
    live += session->server->live_calls();
  }
  return live;
}

void HttpTransport::accept() {
  while (QTcpSocket* socket = server_.nextPendingConnection()) {
    auto connection = std::make_unique<Connection>();
    connection->socket = socket;
    // 1. The other end's user, while the connection is surely still there.
    const std::vector<platform::Address> peer =
        platform::loopback_targets(socket->peerAddress().toString().toStdString());
    const std::optional<unsigned> owner =
        peer.empty() ? std::nullopt
                     : platform::loopback_connection_owner(peer.front(), socket->peerPort(), port_);
    connection->foreign = !owner || *owner != ::geteuid();
    // 2. Another user's connections have a small count of their own, so that they can never
    //    crowd out the owner's; they are answered as soon as their headers are read.
    const auto same_kind = [&connection](const auto& entry) {
      return entry.second->foreign == connection->foreign;
    };
    const auto open_of_kind = static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(), same_kind));
    if (open_of_kind >= (connection->foreign ? kMaxForeignConnections : kMaxConnections)) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    connections_.emplace(socket, std::move(connection));
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
      if (const auto it = connections_.find(socket); it != connections_.end()) read(*it->second);
    });
    // Queued: a connection is never forgotten while one of its handlers runs.
    connect(
        socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); },
        Qt::QueuedConnection);
    QTimer::singleShot(kRequestDeadline, socket, [this, socket] {
      const auto it = connections_.find(socket);
      if (it != connections_.end() && !it->second->streaming) socket->abort();
    });
  }
}

void HttpTransport::drop(QTcpSocket* socket) {
  connections_.erase(socket);
  socket->deleteLater();
}

void HttpTransport::read(Connection& c) {
  if (c.streaming || !c.socket) return;
  QTcpSocket* socket = c.socket;
  c.buffer += socket->readAll();
  if (!c.headers_read) {
    const qsizetype end = c.buffer.indexOf("\r\n\r\n");
    if (end < 0 ? c.buffer.size() > static_cast<qsizetype>(kMaxHeaderBytes)
                : end > static_cast<qsizetype>(kMaxHeaderBytes)) {
      answer_text(socket, 431, "The request's headers are longer than 32 KiB.");
      c.streaming = true;  // nothing more is read
      return;
    }
    if (end < 0) return;
    const std::string head = c.buffer.left(end).toStdString();
    c.buffer.remove(0, end + 4);
    c.headers_read = true;
    std::size_t at = head.find("\r\n");
    const std::string line = head.substr(0, at);
    const std::size_t space = line.find(' ');
    const std::size_t second = line.find(' ', space + 1);
    if (space == std::string::npos || second == std::string::npos) {
      answer_text(socket, 400, "The request line is malformed.");
      c.streaming = true;
      return;
    }
    c.request.method = line.substr(0, space);
    c.request.path = line.substr(space + 1, second - space - 1);
    while (at != std::string::npos) {
      const std::size_t next = head.find("\r\n", at + 2);
      const std::string field =
          head.substr(at + 2, next == std::string::npos ? next : next - at - 2);
      at = next;
      const std::size_t colon = field.find(':');
      if (colon == std::string::npos) continue;
      c.request.headers.emplace(lower(trim(field.substr(0, colon))), trim(field.substr(colon + 1)));
    }
    // 2. Who asks, and where, before a byte of the body is kept.
    if (refuse_early(c)) {
      c.streaming = true;
      return;
    }
    if (c.request.headers.count("transfer-encoding") != 0) {
      answer_text(socket, 411, "Send the body with a Content-Length.");
      c.streaming = true;
      return;
    }
    const std::string length = c.request.header("content-length").value_or("0");
    if (length.empty() || length.size() > 12 ||
        length.find_first_not_of("0123456789") != std::string::npos) {
      answer_text(socket, 400, "The Content-Length is malformed.");
      c.streaming = true;
      return;
    }
    c.body_length = std::stoull(length);
    if (c.body_length > kMaxMessageBytes) {
      answer_json(socket, 413, oversized_error());
      c.streaming = true;
      return;
    }
  }
  if (static_cast<std::size_t>(c.buffer.size()) < c.body_length) return;
  c.request.body = c.buffer.left(static_cast<qsizetype>(c.body_length)).toStdString();
  c.buffer.clear();
  c.streaming = true;  // one request per connection
  handle(c, std::move(c.request));
}

bool HttpTransport::refuse_early(Connection& c) {
  QTcpSocket* socket = c.socket;
  const HttpRequest& request = c.request;
  if (c.foreign) {
    answer_text(socket, 403, "Refused: the connecting program runs as another user.");
    return true;
  }
  const std::string path = request.path.substr(0, request.path.find('?'));
  if (path != kEndpoint) {
    answer_text(socket, 404, "The protocol is served at /mcp.");
    return true;
  }
  if (const std::optional<HttpRefusal> refusal = refuse_stranger(request, port_, secret_)) {
    answer_text(socket, refusal->status, refusal->text,
                refusal->status == 401 ? "WWW-Authenticate: Bearer\r\n" : "");
    return true;
  }
  if (const auto version = request.header("mcp-protocol-version");
      version && negotiate(*version).name != *version) {
    answer_text(socket, 400, "The protocol revision " + *version + " is not spoken here.");
    return true;
  }
  return false;
}

void HttpTransport::handle(Connection& c, HttpRequest request) {
  QTcpSocket* socket = c.socket;
  if (request.method == "POST") {
    post(c, request);
    return;
  }
  if (request.method != "GET" && request.method != "DELETE") {
    answer_text(socket, 405, "Use POST, GET or DELETE.", "Allow: GET, POST, DELETE\r\n");
    return;
  }
  const std::optional<std::string> id = request.header("mcp-session-id");
  const auto found = id ? sessions_.find(*id) : sessions_.end();
  if (found == sessions_.end()) {
    answer_text(socket, id ? 404 : 400, id ? "No such session." : "Name the Mcp-Session-Id.");
    return;
  }
  Session& session = *found->second;
  if (request.method == "DELETE") {
    // Its streams end with it: a call stopped this way sends no answer that would end them.
    for (auto& [related, stream] : session.streams) {
      if (open(stream)) stream->disconnectFromHost();
    }
    if (open(session.standalone)) session.standalone->disconnectFromHost();
    sessions_.erase(found);  // the server's end stops its calls
    answer(socket, 200, "", "");
    return;
  }
  open_stream(socket);
  session.standalone = socket;
  for (const common::Json& message : session.waiting) write_event(socket, message);
  session.waiting.clear();
}

void HttpTransport::post(Connection& c, const HttpRequest& request) {
  QTcpSocket* socket = c.socket;
  const Result<common::Json> value = parse_message(request.body);
  if (!value.ok()) {
    answer_json(socket, 400, error_response(nullptr, kParseError, value.message()));
    return;
  }
  const Message message = classify(value.value());
  if (message.kind == Message::Kind::Invalid) {
    answer_json(socket, 400, error_response(message.id, kInvalidRequest, message.problem));
    return;
  }
  const bool initialize = message.kind == Message::Kind::Request && message.method == "initialize";
  std::string id;
  if (initialize) {
    if (sessions_.size() >= kMaxSessions) {
      answer_text(socket, 503,
                  "Too many sessions are open: end one with DELETE before starting another.");
      return;
    }
    id = platform::new_session_secret().substr(0, 32);
    auto session = std::make_unique<Session>();
    session->server = make_([this, id](const common::Json& out, const common::Json& related) {
      deliver(id, out, related);
    });
    session->initialize_id = message.id;
    sessions_.emplace(id, std::move(session));
  } else {
    const std::optional<std::string> named = request.header("mcp-session-id");
    if (!named) {
      answer_text(socket, 400, "Name the Mcp-Session-Id that initialize answered.");
      return;
    }
    if (sessions_.count(*named) == 0) {
      answer_text(socket, 404, "No such session: initialize again.");
      return;
    }
    id = *named;
  }
  Session& session = *sessions_.at(id);
  if (message.kind == Message::Kind::Request) {
    // Two calls running under one id could not be told apart: the answer of one would end the
    // other's stream.
    if (const auto running = session.streams.find(message.id.dump());
        running != session.streams.end() && open(running->second)) {
      answer_json(socket, 400,
                  error_response(message.id, kInvalidRequest,
                                 "A request with this id is still running in this session; "
                                 "give each request an id of its own."));
      return;
    }
    open_stream(socket, initialize ? "Mcp-Session-Id: " + id + "\r\n" : "");
    session.streams[message.id.dump()] = socket;
  } else {
    answer(socket, 202, "", "");
  }
  session.server->receive(value.value());
  // A cancelled call sends no answer, which would have ended its stream: it ends here.
  if (message.kind == Message::Kind::Notification && message.method == "notifications/cancelled" &&
      message.params.is_object()) {
    const auto stream =
        session.streams.find(message.params.value("requestId", common::Json()).dump());
    if (stream != session.streams.end()) {
      if (open(stream->second)) stream->second->disconnectFromHost();
      session.streams.erase(stream);
    }
  }
}

void HttpTransport::deliver(const std::string& session_id, const common::Json& message,
                            const common::Json& related) {
  const auto found = sessions_.find(session_id);
  if (found == sessions_.end()) return;
  Session& session = *found->second;
  if (related.is_null()) {
    if (open(session.standalone)) {
      write_event(session.standalone, message);
    } else if (session.waiting.size() < kWaitingMessages) {
      session.waiting.push_back(message);
    }
    return;
  }
  const auto stream = session.streams.find(related.dump());
  if (stream == session.streams.end()) return;
  const QPointer<QTcpSocket> socket = stream->second;
  const bool last = !message.contains("method") && message.value("id", common::Json()) == related;
  if (open(socket)) {
    write_event(socket, message);
    if (last) socket->disconnectFromHost();
  }
  if (last) session.streams.erase(stream);
  // A failed initialize leaves no session behind to count against kMaxSessions. It goes once
  // the server's call that answered it has returned.
  if (last && !session.initialize_id.is_null() && related == session.initialize_id) {
    session.initialize_id = nullptr;
    if (message.contains("error")) {
      QTimer::singleShot(0, this, [this, session_id] { sessions_.erase(session_id); });
    }
  }
}

}  // namespace kavor::mcp
