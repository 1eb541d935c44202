#include "local_service.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "assistant.h"
#include "platform/session_file.h"
#include "routes.h"
#include "web_files.h"

namespace kavor::service {
namespace {

using Json = nlohmann::ordered_json;

// Every kept-alive connection occupies a worker while it is open; the agent and the webview
// each keep up to six per server.
constexpr std::size_t kWorkerThreads = 48;
// An idle connection is closed after this long, as a real service's proxy does.
constexpr time_t kKeepAliveSeconds = 30;
constexpr std::size_t kKeepAliveRequests = 10'000;
// Answers smaller than this go out uncompressed.
constexpr std::size_t kCompressFrom = 4096;
// Chat ids are what the agent accepts for a watched reply.
constexpr std::size_t kMaxChatIdChars = 64;

std::string random_hex(std::size_t digits) {
  std::random_device device;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string out;
  for (std::size_t i = 0; i < digits; ++i) out += "0123456789abcdef"[digit(device)];
  return out;
}

bool valid_chat_id(const std::string& id) {
  return !id.empty() && id.size() <= kMaxChatIdChars &&
         std::all_of(id.begin(), id.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
         });
}

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A page of any web site can have its own name resolve to 127.0.0.1 (DNS rebinding) and then
// reach this port as "its" server; its requests still name that site in Host. Only the
// loopback names with this listener's own port are answered.
bool own_host(const httplib::Request& request, int port) {
  if (request.get_header_value_count("Host") != 1) return false;
  const std::string host = lower(request.get_header_value("Host"));
  const std::string suffix = ":" + std::to_string(port);
  return host == "127.0.0.1" + suffix || host == "localhost" + suffix || host == "[::1]" + suffix;
}

bool changes_state(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "DELETE" || method == "PATCH";
}

// Compares in time that depends only on the lengths, so that the secret cannot be found out
// one character at a time.
bool same_secret(const std::string& given, const std::string& secret) {
  if (given.size() != secret.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return differ == 0;
}

struct Device {
  std::string id;
  std::string name;
  std::string secret;
  std::deque<Json> calls;
  std::uint64_t polls = 0;  // a newer poll replaces a held one its client gave up on
};

// One assistant message that is waiting for its tool calls.
struct Turn {
  std::string chat;
  std::int64_t message = 0;
  std::string workspace;
  std::string extra;
  std::vector<ToolRequest> calls;
  std::size_t next = 0;
  std::vector<std::string> parts;  // one paragraph per finished call
};

}  // namespace

struct LocalService::State {
  LocalServiceOptions options;
  httplib::Server app;
  httplib::Server api;
  int app_port = 0;
  int api_port = 0;
  std::thread app_thread;
  std::thread api_thread;

  ChatStore chats;
  ImportStore imports;

  std::mutex posting;  // held while a posted message is numbered and stored
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  std::vector<Device> devices;  // in the order they were linked
  std::uint64_t next_device = 1;
  std::uint64_t next_call = 1;
  std::map<std::string, std::shared_ptr<Turn>> waiting;  // call id -> its turn
  // Every call of a chat with the message it answers, for the page to place its cards.
  std::map<std::string, std::map<std::string, std::int64_t>> placed;
  CallObserver observer;

  explicit State(LocalServiceOptions o) : options(std::move(o)), imports(options.link_token) {}

  Device* device_by_secret(const std::string& secret) {
    if (secret.empty()) return nullptr;
    for (Device& d : devices) {
      if (d.secret == secret) return &d;
    }
    return nullptr;
  }

  // The page's own origin: a browser names it in Origin on every request that changes state.
  std::string app_origin() const {
    return lower("http://" + options.host + ":" + std::to_string(app_port));
  }

  // Who may ask anything at all, before any route is looked at:
  // 1. Host must be one of this listener's own loopback names (own_host).
  // 2. A request that changes state and names an Origin must come from the chat application
  //    itself: a page elsewhere may send a form or a simple POST here without reading the
  //    answer. Requests without an Origin (the agent's own HTTP client sends none) pass.
  std::optional<Reply> refuse_stranger(const httplib::Request& request, int port) const {
    if (!own_host(request, port)) {
      return Reply::text(403, "Refused: the Host header does not name this service.\n");
    }
    if (changes_state(request.method) && request.has_header("Origin") &&
        lower(request.get_header_value("Origin")) != app_origin()) {
      return Reply::text(403, "Refused: pages of other origins may not change anything here.\n");
    }
    return std::nullopt;
  }

  // The link token and the chats go only to the pages of the agent's own window, which add the
  // session secret to their requests; another user, a page in a browser and a command-line
  // client of this machine have no way to it.
  std::optional<Reply> refuse_without_session(const RecordedRequest& r) const {
    const std::string given = r.header(platform::kSessionHeader);
    if (given.empty()) {
      return Reply::refusal(401, "Open the chat application in the Kavor Agent window.");
    }
    if (!same_secret(given, options.session_secret)) {
      return Reply::refusal(403, "The session secret is not this service's.");
    }
    return std::nullopt;
  }

  // `port` is read at each request: it is known once the listener is bound, before any request.
  void serve_on(httplib::Server& server, std::function<Reply(const RecordedRequest&)> route,
                const int& port) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_tcp_nodelay(true);
    // httplib's default, SO_REUSEPORT, lets a second process of the same user listen on the
    // same port and take part of the connections. SO_REUSEADDR alone still allows a restart
    // while old connections linger, and a port in use fails to bind.
    server.set_socket_options([](socket_t sock) {
      const int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    const httplib::Server::Handler handler = [this, route, &port](const httplib::Request& request,
                                                                  httplib::Response& response) {
      Reply reply;
      try {
        if (auto refused = refuse_stranger(request, port)) {
          reply = std::move(*refused);
        } else {
          reply = route(record_request(request));
        }
      } catch (const std::exception& e) {
        reply = Reply::refusal(500, e.what());
      }
      // httplib compresses every JSON answer the client accepts compressed, at brotli's
      // slowest setting, which costs more than the few bytes of a poll answer ever save. JSON
      // with its charset named is left as it is.
      if (reply.content_type == "application/json" && reply.body.size() < kCompressFrom) {
        reply.content_type = "application/json; charset=utf-8";
      }
      write_reply(reply, response);
    };
    const std::string any = "[\\s\\S]*";
    server.Get(any, handler).Post(any, handler).Put(any, handler).Delete(any, handler);
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
      if (is_bodyless(response.status)) response.headers.erase("Content-Length");
    });
  }

  // ---- the agent's API ----

  Reply api_route(const RecordedRequest& r) {
    if (r.method == "POST" && r.path == "/bridge/devices") return link(r);
    if (r.method == "DELETE" && path_matches("/bridge/devices/{id}", r.path)) return unlink(r);
    if (r.method == "GET" && r.path == "/bridge/poll") return poll(r);
    if (r.method == "POST" && r.path == "/bridge/result") return result(r);
    if (auto reply = chats.answer(r)) return *reply;
    if (auto reply = imports.answer(r)) return *reply;
    return Reply::refusal(404, "There is nothing here.");
  }

  Reply link(const RecordedRequest& r) {
    if (r.bearer() != options.link_token) {
      return Reply::refusal(401, "Sign in again to link this computer.");
    }
    const Json body = Json::parse(r.body, nullptr, false);
    Device device;
    device.name = body.is_object() ? body.value("name", std::string("computer")) : "computer";
    device.secret = random_hex(40);
    {
      const std::lock_guard lock(mutex);
      device.id = std::to_string(next_device++);
      devices.push_back(device);
    }
    std::printf("kavor-service: linked %s as device %s\n", device.name.c_str(), device.id.c_str());
    std::fflush(stdout);
    return Reply::json(200, dump(Json{{"device", {{"id", device.id}, {"name", device.name}}},
                                      {"secret", device.secret}}));
  }

  Reply unlink(const RecordedRequest& r) {
    if (r.bearer() != options.link_token) return Reply::refusal(401, "Sign in again.");
    const std::string id(split_path(r.path)[3]);
    {
      const std::lock_guard lock(mutex);
      const auto it =
          std::find_if(devices.begin(), devices.end(), [&](const Device& d) { return d.id == id; });
      if (it == devices.end()) return Reply::refusal(404, "No such computer.");
      devices.erase(it);
    }
    changed.notify_all();
    return Reply::json(204, "");
  }

  Reply poll(const RecordedRequest& r) {
    const std::string secret = r.bearer();
    std::unique_lock lock(mutex);
    Device* device = device_by_secret(secret);
    if (device == nullptr) return Reply::refusal(401, "This computer is not linked.");
    const std::uint64_t mine = ++device->polls;
    const auto deadline = std::chrono::steady_clock::now() + options.poll_hold;
    bool gone = false;
    changed.wait_until(lock, deadline, [&] {
      device = device_by_secret(secret);  // the list may have changed meanwhile
      gone = device == nullptr;
      return stopping || gone || device->polls != mine || !device->calls.empty();
    });
    if (gone) return Reply::refusal(401, "This computer is not linked.");
    if (stopping || device->polls != mine || device->calls.empty()) return Reply::json(204, "");
    Json call = std::move(device->calls.front());
    device->calls.pop_front();
    const std::string id = call.value("id", std::string());
    const auto sent = observer.sent;
    lock.unlock();
    if (sent) sent(id);
    return Reply::json(200, dump(Json{{"call", call}}));
  }

  Reply result(const RecordedRequest& r) {
    const Json record = Json::parse(r.body, nullptr, false);
    if (!record.is_object() || !record.contains("call_id") || !record["call_id"].is_string()) {
      return Reply::refusal(400, "A result needs its call_id.");
    }
    const std::string id = record["call_id"].get<std::string>();
    std::shared_ptr<Turn> turn;
    CallObserver told;
    {
      const std::lock_guard lock(mutex);
      if (device_by_secret(r.bearer()) == nullptr) {
        return Reply::refusal(401, "This computer is not linked.");
      }
      told = observer;
      const auto it = waiting.find(id);
      if (it != waiting.end()) {
        turn = it->second;
        waiting.erase(it);
      }
    }
    if (told.received) told.received(id);
    if (turn) continue_turn(*turn, record, turn);
    return Reply::json(200, "{}");
  }

  // ---- the chat application's own requests ----

  Reply app_route(const RecordedRequest& r) {
    if (r.path.rfind("/api/", 0) == 0 || r.path.rfind("/chats/", 0) == 0) {
      if (auto refused = refuse_without_session(r)) return *refused;
    }
    if (r.method == "GET" && r.path == "/api/session") {
      return Reply::json(200, dump(Json{{"token", options.link_token}}));
    }
    if (r.method == "POST" && path_matches("/api/chats/{chat}/messages", r.path)) {
      return post_message(r);
    }
    if (r.method == "GET" && path_matches("/api/chats/{chat}/calls", r.path)) {
      return calls_of(r);
    }
    if (auto reply = chats.answer(r)) return *reply;
    if (r.method == "GET") {
      const std::string name = r.path == "/" ? "/index.html" : r.path;
      for (const WebFile& file : web_files()) {
        if (name == std::string("/") + file.name) {
          Reply reply = Reply::text(200, std::string(file.data, file.size), file.type);
          // The page is edited while the service runs; never serve a stale copy.
          reply.headers.emplace("Cache-Control", "no-store");
          return reply;
        }
      }
    }
    return Reply::text(404, "Not found.\n");
  }

  Reply post_message(const RecordedRequest& r) {
    if (r.bearer() != options.link_token) return Reply::refusal(401, "Sign in again.");
    const std::string chat(split_path(r.path)[3]);
    if (!valid_chat_id(chat)) return Reply::refusal(400, "That is not a chat id.");
    const Json body = Json::parse(r.body, nullptr, false);
    if (!body.is_object() || !body.contains("text") || !body["text"].is_string()) {
      return Reply::refusal(400, "A message needs its text.");
    }
    const std::string text = body["text"].get<std::string>();
    // Two messages posted at once must not be given the same numbers.
    const std::lock_guard numbering(posting);
    if (!chats.has_chat(chat)) chats.put_chat(chat, options.link_token);
    const std::int64_t asked = chats.next_id(chat);
    chats.put_message(chat, ChatMessage{asked, "user", "done", text});

    auto turn = std::make_shared<Turn>();
    turn->chat = chat;
    turn->message = asked + 1;
    turn->workspace = body.value("workspace", std::string());
    turn->extra = body.value("extra", std::string());
    Plan plan = plan_reply(text);
    turn->calls = std::move(plan.calls);
    const Json answer = {{"user", asked}, {"assistant", turn->message}};

    if (turn->calls.empty()) {
      chats.put_message(chat, ChatMessage{turn->message, "assistant", "done", plan.reply});
      return Reply::json(200, dump(answer));
    }
    chats.put_message(chat, ChatMessage{turn->message, "assistant", "pending", "Working on it…"});
    if (!send_next(turn)) {
      chats.put_message(chat, ChatMessage{turn->message, "assistant", "error",
                                          "No computer is linked yet. Link this computer first, "
                                          "then ask again."});
    }
    return Reply::json(200, dump(answer));
  }

  // {"call id": message id, …} for the chat's calls.
  Reply calls_of(const RecordedRequest& r) {
    if (r.bearer() != options.link_token) return Reply::refusal(401, "Sign in again.");
    const std::string chat(split_path(r.path)[3]);
    Json out = Json::object();
    const std::lock_guard lock(mutex);
    if (const auto it = placed.find(chat); it != placed.end()) {
      for (const auto& [id, message] : it->second) out[id] = message;
    }
    return Reply::json(200, dump(out));
  }

  // Queues the turn's next call; false when no computer is linked.
  bool send_next(const std::shared_ptr<Turn>& turn) {
    const ToolRequest& request = turn->calls[turn->next];
    {
      const std::lock_guard lock(mutex);
      if (devices.empty()) return false;
      const std::string id = "call-" + std::to_string(next_call++);
      Json call = {{"id", id},           {"tool", request.tool},         {"args", request.args},
                   {"chat", turn->chat}, {"workspace", turn->workspace}, {"extra", turn->extra}};
      waiting[id] = turn;
      placed[turn->chat][id] = turn->message;
      devices.back().calls.push_back(std::move(call));
    }
    changed.notify_all();
    return true;
  }

  void continue_turn(Turn& turn, const Json& record, const std::shared_ptr<Turn>& owner) {
    turn.parts.push_back(describe_result(turn.calls[turn.next], record));
    ++turn.next;
    std::string body;
    for (const std::string& part : turn.parts) body += (body.empty() ? "" : "\n\n") + part;
    const bool succeeded = record.value("status", std::string()) == "ok";
    if (succeeded && turn.next < turn.calls.size()) {
      chats.put_message(turn.chat, ChatMessage{turn.message, "assistant", "pending", body});
      if (send_next(owner)) return;
      body += "\n\nThe computer was unlinked before the rest could run.";
    }
    chats.put_message(turn.chat, ChatMessage{turn.message, "assistant", "done", body});
  }
};

namespace {

LocalServiceOptions with_token(LocalServiceOptions options) {
  if (options.link_token.empty()) options.link_token = random_hex(32);
  if (options.session_secret.empty()) options.session_secret = platform::new_session_secret();
  return options;
}

}  // namespace

LocalService::LocalService(LocalServiceOptions options)
    : state_(std::make_unique<State>(with_token(std::move(options)))) {
  State& s = *state_;
  s.serve_on(
      s.app, [&s](const RecordedRequest& r) { return s.app_route(r); }, s.app_port);
  s.serve_on(
      s.api, [&s](const RecordedRequest& r) { return s.api_route(r); }, s.api_port);
  auto bind = [&](httplib::Server& server, int port) {
    const int bound = port == 0 ? server.bind_to_any_port(s.options.host)
                                : (server.bind_to_port(s.options.host, port) ? port : -1);
    if (bound <= 0) {
      throw std::runtime_error("cannot listen on " + s.options.host + ":" + std::to_string(port));
    }
    return bound;
  };
  s.app_port = bind(s.app, s.options.app_port);
  s.api_port = bind(s.api, s.options.api_port);
  s.app_thread = std::thread([&s] { s.app.listen_after_bind(); });
  s.api_thread = std::thread([&s] { s.api.listen_after_bind(); });
  // stop() does nothing until the accept loops run.
  while (!s.app.is_running() || !s.api.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

LocalService::~LocalService() {
  stop();
  wait();
}

int LocalService::app_port() const {
  return state_->app_port;
}

int LocalService::api_port() const {
  return state_->api_port;
}

const std::string& LocalService::link_token() const {
  return state_->options.link_token;
}

const std::string& LocalService::session_secret() const {
  return state_->options.session_secret;
}

bool LocalService::queue_call(nlohmann::ordered_json call) {
  {
    const std::lock_guard lock(state_->mutex);
    if (state_->devices.empty()) return false;
    state_->devices.back().calls.push_back(std::move(call));
  }
  state_->changed.notify_all();
  return true;
}

void LocalService::set_observer(CallObserver observer) {
  const std::lock_guard lock(state_->mutex);
  state_->observer = std::move(observer);
}

void LocalService::stop() {
  {
    const std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  state_->app.stop();
  state_->api.stop();
}

void LocalService::wait() {
  if (state_->app_thread.joinable()) state_->app_thread.join();
  if (state_->api_thread.joinable()) state_->api_thread.join();
}

}  // namespace kavor::service
