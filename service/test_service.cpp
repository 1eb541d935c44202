// Substitute chat service on loopback.
//
// Routing: httplib gets one catch-all pattern per method and hands every request to
// Impl::serve(), which does its own matching on the raw request path. A route is a method plus a
// path; a path segment written "{name}" matches any one non-empty segment. A route without
// placeholders is tried before the patterns, and the patterns are tried in the order they were
// first configured. Within a route the queued replies come first, then the handler, then the
// default; a route with nothing to answer lets the next matching route answer, and when none can
// the answer is 404 "{}".
//
// Held requests: the worker thread serving a held request parks on a slot listed in `held`, and
// sleeps on the shared condition variable until release_held() or the destructor fills the slot
// with a reply. For queued and default replies the slot is listed in the same critical section that
// records the request, so a caller who has seen the request recorded can release it at once.
//
// Dropped connections: httplib does not give handlers the socket. The server side of a connection
// is the only descriptor in the process whose own port is ours and whose peer port is the client's,
// so it is looked up among the open descriptors and shut down in both directions. httplib's own
// write of the answer then fails and it closes the socket: the client sees the connection end
// without a single byte of a response.
#include "test_service.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace kavor::service {
namespace {

// Each held request occupies a worker for as long as it is held; keep enough for a test to hold
// several and still be answered on other routes.
constexpr std::size_t kWorkerThreads = 32;

std::string to_lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string to_upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (true) {
    const auto slash = path.find('/', start);
    segments.push_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return segments;
}

bool is_placeholder(std::string_view segment) {
  return segment.size() >= 2 && segment.front() == '{' && segment.back() == '}';
}

bool has_placeholder(const std::string& path) {
  const auto segments = split_path(path);
  return std::any_of(segments.begin(), segments.end(), is_placeholder);
}

bool path_matches(const std::string& pattern, const std::string& path) {
  if (pattern == path) return true;
  const auto want = split_path(pattern);
  const auto have = split_path(path);
  if (want.size() != have.size()) return false;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (is_placeholder(want[i]) ? have[i].empty() : want[i] != have[i]) return false;
  }
  return true;
}

// Status codes whose answers carry no body, and so neither a Content-Length.
bool is_bodyless(int status) {
  return (status >= 100 && status < 200) || status == 204 || status == 304;
}

int port_of(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    sockaddr_in in{};
    std::memcpy(&in, &address, sizeof in);
    return ntohs(in.sin_port);
  }
  if (address.ss_family == AF_INET6) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, &address, sizeof in6);
    return ntohs(in6.sin6_port);
  }
  return -1;
}

// The server side of the connection between our `local_port` and the client's `remote_port`,
// or -1. Only the thread serving that connection closes it, so the descriptor stays valid while
// that thread uses it.
int connection_fd(int local_port, int remote_port) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const auto name = entry.path().filename().string();
    int fd = -1;
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc{}) continue;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) continue;
    if (port_of(local) != local_port) continue;
    sockaddr_storage peer{};
    length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    if (port_of(peer) != remote_port) continue;
    return fd;
  }
  return -1;
}

// Shuts down the connection; false when its descriptor is not found.
bool shut_down_connection(int local_port, int remote_port) {
  const int fd = connection_fd(local_port, remote_port);
  return fd >= 0 && ::shutdown(fd, SHUT_RDWR) == 0;
}

// Whether the client has closed its end (a held request it gave up on).
bool client_gone(int fd) {
  char byte;
  return fd >= 0 && ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

struct Route {
  std::string method;
  std::string path;
  bool pattern = false;
  std::deque<Reply> queue;
  std::optional<Reply> fallback;
  std::function<Reply(const RecordedRequest&)> handler;
};

// How often a held request looks whether its client is still there.
constexpr std::chrono::milliseconds kHangUpCheck{20};

struct Chat {
  std::string token;
  std::map<std::int64_t, ChatMessage> messages;
};

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string message_json(const ChatMessage& message) {
  std::string out =
      "{\"id\":" + std::to_string(message.id) + ",\"role\":" + json_string(message.role);
  if (!message.status.empty()) out += ",\"status\":" + json_string(message.status);
  return out + ",\"body\":" + json_string(message.body) + "}";
}

// The answer of the chat routes for `path`, or nothing when the path is not one of them.
std::optional<Reply> chat_reply(const std::map<std::string, Chat>& chats,
                                const RecordedRequest& request) {
  if (request.method != "GET") return std::nullopt;
  const auto segments = split_path(request.path);
  // "", "chats", chat [, "messages", id]
  const bool chat_path = segments.size() == 3 && segments[1] == "chats";
  const bool message_path =
      segments.size() == 5 && segments[1] == "chats" && segments[3] == "messages";
  if (!chat_path && !message_path) return std::nullopt;
  const auto chat = chats.find(std::string(segments[2]));
  if (chat == chats.end()) return Reply::json(404, R"({"message":"No such chat."})");
  if (request.header("authorization") != "Bearer " + chat->second.token) {
    return Reply::json(401, R"({"message":"Sign in again."})");
  }
  if (chat_path) {
    std::string body = "{\"id\":" + json_string(chat->first) + ",\"messages\":[";
    bool first = true;
    for (const auto& [id, message] : chat->second.messages) {
      if (!first) body += ',';
      first = false;
      body += message_json(message);
    }
    return Reply::json(200, body + "]}");
  }
  std::int64_t id = 0;
  const auto digits = segments[4];
  if (std::from_chars(digits.data(), digits.data() + digits.size(), id).ec != std::errc{}) {
    return Reply::json(404, R"({"message":"No such message."})");
  }
  const auto message = chat->second.messages.find(id);
  if (message == chat->second.messages.end()) {
    return Reply::json(404, R"({"message":"No such message."})");
  }
  return Reply::json(200, message_json(message->second));
}

// A held request waiting for its answer.
struct Parked {
  std::optional<Reply> release;
};

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  const auto it = headers.find(to_lower(name));
  return it == headers.end() ? std::string() : it->second;
}

Reply Reply::json(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

Reply Reply::text(int status, std::string body, std::string content_type) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.content_type = std::move(content_type);
  return reply;
}

Reply Reply::held() {
  Reply reply;
  reply.hold = true;
  return reply;
}

Reply Reply::dropped() {
  Reply reply;
  reply.drop = true;
  return reply;
}

struct TestService::Impl {
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> listen_returned{false};
  std::uint16_t port = 0;

  mutable std::mutex mutex;
  std::condition_variable changed;  // new request recorded, held request released, stopping
  bool stopping = false;
  std::vector<Route> routes;
  std::vector<RecordedRequest> recorded;
  std::vector<Parked*> held;
  std::map<std::string, Chat> chats;

  Impl();
  ~Impl();

  Route& route(const std::string& method, const std::string& path);
  void serve(const httplib::Request& request, httplib::Response& response);
  void park(Parked& parked);
  void pause(std::chrono::milliseconds delay);
  void release_all(const Reply& reply);
  std::size_t count_matching(const std::string& method, const std::string& path) const;
};

TestService::Impl::Impl() {
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  // One request per connection: a dropped connection then fails exactly one request, and no idle
  // connection keeps a worker waiting for a next request. The timeout still bounds the wait for a
  // connection's first request, and with it how long such a connection can delay the destructor.
  server.set_keep_alive_max_count(1);
  server.set_keep_alive_timeout(2);
  // Answers go out as soon as they are written, as a real service behind a proxy would send them;
  // otherwise small answers wait for the client's delayed acknowledgement.
  server.set_tcp_nodelay(true);

  const httplib::Server::Handler handler = [this](const httplib::Request& request,
                                                  httplib::Response& response) {
    serve(request, response);
  };
  const std::string any_path = "[\\s\\S]*";
  server.Get(any_path, handler)
      .Post(any_path, handler)
      .Put(any_path, handler)
      .Patch(any_path, handler)
      .Delete(any_path, handler)
      .Options(any_path, handler);
  // httplib adds "Content-Length: 0" to every empty answer; answers that may not have a body must
  // not announce one either.
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
    if (is_bodyless(response.status)) response.headers.erase("Content-Length");
  });

  const int bound = server.bind_to_any_port("127.0.0.1");
  if (bound <= 0) throw std::runtime_error("test service: cannot bind a loopback port");
  port = static_cast<std::uint16_t>(bound);

  thread = std::thread([this] {
    server.listen_after_bind();
    listen_returned = true;
  });
  // stop() is a no-op until the accept loop runs, so the destructor relies on this wait.
  while (!server.is_running() && !listen_returned) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server.is_running()) {
    thread.join();
    throw std::runtime_error("test service: the server did not start");
  }
}

TestService::Impl::~Impl() {
  {
    const std::lock_guard lock(mutex);
    stopping = true;
  }
  release_all(Reply::json(204, ""));
  server.stop();
  thread.join();
}

Route& TestService::Impl::route(const std::string& method, const std::string& path) {
  const auto upper = to_upper(method);
  const auto it = std::find_if(routes.begin(), routes.end(),
                               [&](const Route& r) { return r.method == upper && r.path == path; });
  if (it != routes.end()) return *it;
  Route& created = routes.emplace_back();
  created.method = upper;
  created.path = path;
  created.pattern = has_placeholder(path);
  return created;
}

void TestService::Impl::park(Parked& parked) {
  // Caller holds the mutex. Once stopping, nobody will release it, so it is released at once.
  if (stopping) {
    parked.release = Reply::json(204, "");
  } else {
    held.push_back(&parked);
  }
}

void TestService::Impl::pause(std::chrono::milliseconds delay) {
  if (delay <= std::chrono::milliseconds::zero()) return;
  std::unique_lock lock(mutex);
  changed.wait_for(lock, delay, [this] { return stopping; });
}

void TestService::Impl::release_all(const Reply& reply) {
  {
    const std::lock_guard lock(mutex);
    for (Parked* parked : held) parked->release = reply;
    held.clear();
  }
  changed.notify_all();
}

std::size_t TestService::Impl::count_matching(const std::string& method,
                                              const std::string& path) const {
  const auto upper = to_upper(method);
  return static_cast<std::size_t>(std::count_if(
      recorded.begin(), recorded.end(),
      [&](const RecordedRequest& r) { return r.method == upper && path_matches(path, r.path); }));
}

void TestService::Impl::serve(const httplib::Request& request, httplib::Response& response) {
  RecordedRequest record;
  record.method = request.method;
  const auto question = request.target.find('?');
  record.path = request.target.substr(0, question);
  if (question != std::string::npos) record.query = request.target.substr(question + 1);
  for (const auto& [name, value] : request.headers) {
    // httplib reports the connection's addresses as if they were request headers.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    record.headers.emplace(to_lower(name), value);
  }
  record.body = request.body;
  record.received = std::chrono::steady_clock::now();

  Reply reply = Reply::json(404, "{}");
  std::function<Reply(const RecordedRequest&)> handler;
  Parked parked;
  {
    const std::lock_guard lock(mutex);
    recorded.push_back(record);

    std::vector<Route*> candidates;
    for (Route& r : routes) {
      if (r.method == record.method && !r.pattern && r.path == record.path)
        candidates.push_back(&r);
    }
    for (Route& r : routes) {
      if (r.method == record.method && r.pattern && path_matches(r.path, record.path)) {
        candidates.push_back(&r);
      }
    }
    bool answered = false;
    for (Route* r : candidates) {
      if (!r->queue.empty()) {
        reply = std::move(r->queue.front());
        r->queue.pop_front();
        answered = true;
        break;
      }
      if (r->handler) {
        handler = r->handler;
        answered = true;
        break;
      }
      if (r->fallback) {
        reply = *r->fallback;
        answered = true;
        break;
      }
    }
    if (!answered) {
      if (std::optional<Reply> from_chats = chat_reply(chats, record)) reply = *from_chats;
    }
    if (!handler && reply.hold) park(parked);
  }
  changed.notify_all();

  if (handler) {
    try {
      reply = handler(record);
    } catch (const std::exception& e) {
      reply = Reply::text(500, e.what());
    } catch (...) {
      reply = Reply::text(500, "handler failed");
    }
    if (reply.hold) {
      const std::lock_guard lock(mutex);
      park(parked);
    }
  }

  pause(reply.delay);
  if (reply.hold) {
    // A client that gives up on a held request (its own time-out) is no longer waiting: the
    // request leaves the held list, so held_count() counts only requests someone waits for.
    const int fd = connection_fd(port, request.remote_port);
    {
      std::unique_lock lock(mutex);
      while (!changed.wait_for(lock, kHangUpCheck, [&] { return parked.release.has_value(); })) {
        if (client_gone(fd)) {
          held.erase(std::remove(held.begin(), held.end(), &parked), held.end());
          return;
        }
      }
    }
    reply = std::move(*parked.release);
    reply.hold = false;  // a release answers; it never parks the request again
    pause(reply.delay);
  }

  if (reply.drop) {
    if (shut_down_connection(port, request.remote_port)) return;
    // Without the socket, the next best thing is to break off the answer after its headers.
    response.status = 500;
    response.set_content_provider(
        1, "text/plain", [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    return;
  }

  response.status = reply.status;
  if (!is_bodyless(reply.status) && !reply.body.empty()) {
    if (reply.content_type.empty()) {
      response.body = reply.body;
    } else {
      response.set_content(reply.body, reply.content_type);
    }
  }
  for (const auto& [name, value] : reply.headers) {
    // A scripted Content-Type replaces the one derived from content_type.
    if (to_lower(name) == "content-type") response.headers.erase(name);
    response.set_header(name, value);
  }
}

TestService::TestService() : impl_(std::make_unique<Impl>()) {}

TestService::~TestService() = default;

std::uint16_t TestService::port() const {
  return impl_->port;
}

std::string TestService::base_url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port);
}

void TestService::set_default(const std::string& method, const std::string& path, Reply reply) {
  const std::lock_guard lock(impl_->mutex);
  impl_->route(method, path).fallback = std::move(reply);
}

void TestService::enqueue(const std::string& method, const std::string& path, Reply reply) {
  const std::lock_guard lock(impl_->mutex);
  impl_->route(method, path).queue.push_back(std::move(reply));
}

void TestService::set_handler(const std::string& method, const std::string& path,
                              std::function<Reply(const RecordedRequest&)> handler) {
  const std::lock_guard lock(impl_->mutex);
  impl_->route(method, path).handler = std::move(handler);
}

void TestService::clear_routes() {
  const std::lock_guard lock(impl_->mutex);
  impl_->routes.clear();
}

void TestService::put_chat(const std::string& chat, const std::string& token) {
  const std::lock_guard lock(impl_->mutex);
  impl_->chats[chat].token = token;
}

void TestService::put_chat_message(const std::string& chat, ChatMessage message) {
  const std::lock_guard lock(impl_->mutex);
  impl_->chats[chat].messages[message.id] = std::move(message);
}

void TestService::release_held(Reply reply) {
  impl_->release_all(reply);
}

std::size_t TestService::held_count() const {
  const std::lock_guard lock(impl_->mutex);
  return impl_->held.size();
}

std::vector<RecordedRequest> TestService::requests() const {
  const std::lock_guard lock(impl_->mutex);
  return impl_->recorded;
}

std::vector<RecordedRequest> TestService::requests(const std::string& method,
                                                   const std::string& path) const {
  const auto upper = to_upper(method);
  const std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> matching;
  for (const auto& r : impl_->recorded) {
    if (r.method == upper && path_matches(path, r.path)) matching.push_back(r);
  }
  return matching;
}

void TestService::clear_requests() {
  const std::lock_guard lock(impl_->mutex);
  impl_->recorded.clear();
}

bool TestService::wait_for_requests(const std::string& method, const std::string& path,
                                    std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout,
                                 [&] { return impl_->count_matching(method, path) >= count; });
}

}  // namespace kavor::service

// ---- chat-history import routes ----

namespace kavor::service {
namespace {

Reply refused(int status, const std::string& message) {
  return Reply::json(status, nlohmann::ordered_json{{"message", message}}.dump());
}

// Decodes standard base64 with padding; nothing when the text is not that.
std::optional<std::string> decode_base64(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;
      v[k] = value(c);
      if (v[k] < 0) return std::nullopt;
    }
    const std::uint32_t bits =
        (static_cast<std::uint32_t>(v[0]) << 18) | (static_cast<std::uint32_t>(v[1]) << 12) |
        (static_cast<std::uint32_t>(v[2]) << 6) | static_cast<std::uint32_t>(v[3]);
    out.push_back(static_cast<char>(bits >> 16));
    if (padding < 2) out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(bits & 0xFF));
  }
  return out;
}

// The number in the path segment at `index` ("/imports/chatgpt/{id}/parts/{n}").
std::optional<std::uint64_t> path_number(const std::string& path, std::size_t index) {
  const auto segments = split_path(path);
  if (index >= segments.size()) return std::nullopt;
  const auto segment = segments[index];
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(segment.data(), segment.data() + segment.size(), value);
  if (error != std::errc{} || end != segment.data() + segment.size()) return std::nullopt;
  return value;
}

}  // namespace

struct ImportService::State {
  std::string token;
  mutable std::mutex mutex;
  std::vector<ImportRecord> imports;

  ImportRecord* find(std::uint64_t id) {
    for (auto& record : imports) {
      if (record.id == id) return &record;
    }
    return nullptr;
  }

  std::optional<Reply> check_auth(const RecordedRequest& request) const {
    if (!token.empty() && request.header("authorization") != "Bearer " + token) {
      return refused(401, "Sign in again.");
    }
    return std::nullopt;
  }

  Reply start(const RecordedRequest& request) {
    if (auto denied = check_auth(request)) return *denied;
    const auto body = nlohmann::ordered_json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("fingerprint") || !body["fingerprint"].is_string() ||
        !body.contains("parts") || !body["parts"].is_number_unsigned()) {
      return refused(400, "The import description is incomplete.");
    }
    const std::lock_guard lock(mutex);
    const std::string fingerprint = body["fingerprint"].get<std::string>();
    auto it = std::find_if(imports.begin(), imports.end(),
                           [&](const ImportRecord& r) { return r.fingerprint == fingerprint; });
    if (it == imports.end()) {
      ImportRecord record;
      record.id = imports.size() + 1;
      record.fingerprint = fingerprint;
      imports.push_back(std::move(record));
      it = imports.end() - 1;
    }
    it->filename = body.value("filename", std::string());
    it->parts = body["parts"].get<std::uint64_t>();
    it->raw_bytes = body.value("raw_bytes", std::uint64_t{0});
    nlohmann::ordered_json have = nlohmann::ordered_json::array();
    for (const auto& [n, part] : it->received) have.push_back({{"n", n}, {"sha256", part.sha256}});
    return Reply::json(200,
                       nlohmann::ordered_json{{"import", {{"id", it->id}, {"have", have}}}}.dump());
  }

  Reply part(const RecordedRequest& request) {
    if (auto denied = check_auth(request)) return *denied;
    const auto id = path_number(request.path, 3);
    const auto n = path_number(request.path, 5);
    const std::lock_guard lock(mutex);
    ImportRecord* record = id ? find(*id) : nullptr;
    if (record == nullptr) return refused(404, "There is no such import.");
    if (!n || *n >= record->parts) return refused(400, "This import has no such part.");
    const auto body = nlohmann::ordered_json::parse(request.body, nullptr, false);
    if (!body.is_object()) return refused(400, "The part is not JSON.");
    ImportedPart part;
    try {
      part.kind = body.at("kind").get<std::string>();
      part.name = body.at("name").get<std::string>();
      part.size = body.at("size").get<std::uint64_t>();
      part.sha256 = body.at("sha256").get<std::string>();
      part.data = body.at("data").get<std::string>();
    } catch (const std::exception&) {
      return refused(400, "The part is incomplete.");
    }
    const auto decoded = decode_base64(part.data);
    if (!decoded || decoded->size() != part.size) {
      return refused(400, "The part's data does not match its size.");
    }
    record->received[*n] = std::move(part);
    return Reply::json(200, nlohmann::ordered_json{{"ok", true}}.dump());
  }

  Reply begin(const RecordedRequest& request) {
    if (auto denied = check_auth(request)) return *denied;
    const auto id = path_number(request.path, 3);
    const std::lock_guard lock(mutex);
    ImportRecord* record = id ? find(*id) : nullptr;
    if (record == nullptr) return refused(404, "There is no such import.");
    if (record->received.size() != record->parts) {
      return refused(409, "Some parts of this import are missing.");
    }
    ++record->starts;
    return Reply::json(
        200,
        nlohmann::ordered_json{
            {"import",
             {{"id", record->id}, {"status", "processing"}, {"parts", record->received.size()}}}}
            .dump());
  }
};

ImportService::ImportService(TestService& service, std::string token)
    : state_(std::make_shared<State>()) {
  state_->token = std::move(token);
  // The handlers keep the state alive for as long as the service keeps them.
  auto state = state_;
  service.set_handler("POST", "/imports/chatgpt",
                      [state](const RecordedRequest& r) { return state->start(r); });
  service.set_handler("PUT", "/imports/chatgpt/{id}/parts/{n}",
                      [state](const RecordedRequest& r) { return state->part(r); });
  service.set_handler("POST", "/imports/chatgpt/{id}/start",
                      [state](const RecordedRequest& r) { return state->begin(r); });
}

std::vector<ImportRecord> ImportService::imports() const {
  const std::lock_guard lock(state_->mutex);
  return state_->imports;
}

}  // namespace kavor::service
