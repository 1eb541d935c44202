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

std::string to_upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
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

// A held request waiting for its answer.
struct Parked {
  std::optional<Reply> release;
};

}  // namespace

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
  ChatStore chats;

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
  const RecordedRequest record = record_request(request);

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
      if (std::optional<Reply> from_chats = chats.answer(record)) reply = *from_chats;
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

  write_reply(reply, response);
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
  impl_->chats.put_chat(chat, token);
}

void TestService::put_chat_message(const std::string& chat, ChatMessage message) {
  impl_->chats.put_message(chat, std::move(message));
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

ImportService::ImportService(TestService& service, std::string token)
    : store_(std::make_shared<ImportStore>(std::move(token))) {
  // The handlers keep the store alive for as long as the service keeps them.
  auto store = store_;
  service.set_handler("POST", "/imports/chatgpt",
                      [store](const RecordedRequest& r) { return store->start(r); });
  service.set_handler("PUT", "/imports/chatgpt/{id}/parts/{n}",
                      [store](const RecordedRequest& r) { return store->part(r); });
  service.set_handler("POST", "/imports/chatgpt/{id}/start",
                      [store](const RecordedRequest& r) { return store->begin(r); });
}

std::vector<ImportRecord> ImportService::imports() const {
  return store_->imports();
}

}  // namespace kavor::service
