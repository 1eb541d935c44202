#include "routes.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kavor::service {
namespace {

using Json = nlohmann::ordered_json;

std::string to_lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool is_placeholder(std::string_view segment) {
  return segment.size() >= 2 && segment.front() == '{' && segment.back() == '}';
}

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json message_json(const ChatMessage& message) {
  Json out = {{"id", message.id}, {"role", message.role}};
  if (!message.status.empty()) out["status"] = message.status;
  out["body"] = message.body;
  return out;
}

}  // namespace

// ---- requests and replies ----

std::string RecordedRequest::header(const std::string& name) const {
  const auto it = headers.find(to_lower(name));
  return it == headers.end() ? std::string() : it->second;
}

std::string RecordedRequest::bearer() const {
  const std::string value = header("authorization");
  const std::string prefix = "Bearer ";
  return value.rfind(prefix, 0) == 0 ? value.substr(prefix.size()) : std::string();
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

Reply Reply::refusal(int status, const std::string& message) {
  return json(status, dump(Json{{"message", message}}));
}

RecordedRequest record_request(const httplib::Request& request) {
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
  return record;
}

bool is_bodyless(int status) {
  return (status >= 100 && status < 200) || status == 204 || status == 304;
}

void write_reply(const Reply& reply, httplib::Response& response) {
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

// ---- paths ----

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

std::optional<std::uint64_t> path_number(const std::string& path, std::size_t index) {
  const auto segments = split_path(path);
  if (index >= segments.size()) return std::nullopt;
  const auto segment = segments[index];
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(segment.data(), segment.data() + segment.size(), value);
  if (error != std::errc{} || end != segment.data() + segment.size()) return std::nullopt;
  return value;
}

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

// ---- chats ----

void ChatStore::put_chat(const std::string& chat, const std::string& token) {
  const std::lock_guard lock(mutex_);
  chats_[chat].token = token;
}

void ChatStore::put_message(const std::string& chat, ChatMessage message) {
  const std::lock_guard lock(mutex_);
  chats_[chat].messages[message.id] = std::move(message);
}

bool ChatStore::has_chat(const std::string& chat) const {
  const std::lock_guard lock(mutex_);
  return chats_.count(chat) != 0;
}

std::int64_t ChatStore::next_id(const std::string& chat) const {
  const std::lock_guard lock(mutex_);
  const auto it = chats_.find(chat);
  if (it == chats_.end() || it->second.messages.empty()) return 1;
  return it->second.messages.rbegin()->first + 1;
}

std::optional<Reply> ChatStore::answer(const RecordedRequest& request) const {
  if (request.method != "GET") return std::nullopt;
  const auto segments = split_path(request.path);
  // "", "chats", chat [, "messages", id]
  const bool chat_path = segments.size() == 3 && segments[1] == "chats";
  const bool message_path =
      segments.size() == 5 && segments[1] == "chats" && segments[3] == "messages";
  if (!chat_path && !message_path) return std::nullopt;
  const std::lock_guard lock(mutex_);
  const auto chat = chats_.find(std::string(segments[2]));
  if (chat == chats_.end()) return Reply::refusal(404, "No such chat.");
  if (request.header("authorization") != "Bearer " + chat->second.token) {
    return Reply::refusal(401, "Sign in again.");
  }
  if (chat_path) {
    Json messages = Json::array();
    for (const auto& [id, message] : chat->second.messages)
      messages.push_back(message_json(message));
    return Reply::json(200, dump(Json{{"id", chat->first}, {"messages", messages}}));
  }
  const auto id = path_number(request.path, 4);
  const auto message =
      id ? chat->second.messages.find(static_cast<std::int64_t>(*id)) : chat->second.messages.end();
  if (message == chat->second.messages.end()) return Reply::refusal(404, "No such message.");
  return Reply::json(200, dump(message_json(message->second)));
}

// ---- chat-history imports ----

ImportStore::ImportStore(std::string token) : token_(std::move(token)) {}

std::optional<Reply> ImportStore::answer(const RecordedRequest& request) {
  if (request.method == "POST" && request.path == "/imports/chatgpt") return start(request);
  if (request.method == "PUT" && path_matches("/imports/chatgpt/{id}/parts/{n}", request.path)) {
    return part(request);
  }
  if (request.method == "POST" && path_matches("/imports/chatgpt/{id}/start", request.path)) {
    return begin(request);
  }
  return std::nullopt;
}

std::optional<Reply> ImportStore::check_auth(const RecordedRequest& request) const {
  if (!token_.empty() && request.header("authorization") != "Bearer " + token_) {
    return Reply::refusal(401, "Sign in again.");
  }
  return std::nullopt;
}

ImportRecord* ImportStore::find(std::uint64_t id) {
  for (auto& record : imports_) {
    if (record.id == id) return &record;
  }
  return nullptr;
}

Reply ImportStore::start(const RecordedRequest& request) {
  if (auto denied = check_auth(request)) return *denied;
  const auto body = Json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("fingerprint") || !body["fingerprint"].is_string() ||
      !body.contains("parts") || !body["parts"].is_number_unsigned()) {
    return Reply::refusal(400, "The import description is incomplete.");
  }
  const std::lock_guard lock(mutex_);
  const std::string fingerprint = body["fingerprint"].get<std::string>();
  auto it = std::find_if(imports_.begin(), imports_.end(),
                         [&](const ImportRecord& r) { return r.fingerprint == fingerprint; });
  if (it == imports_.end()) {
    ImportRecord record;
    record.id = imports_.size() + 1;
    record.fingerprint = fingerprint;
    imports_.push_back(std::move(record));
    it = imports_.end() - 1;
  }
  it->filename = body.value("filename", std::string());
  it->parts = body["parts"].get<std::uint64_t>();
  it->raw_bytes = body.value("raw_bytes", std::uint64_t{0});
  Json have = Json::array();
  for (const auto& [n, part] : it->received) have.push_back({{"n", n}, {"sha256", part.sha256}});
  return Reply::json(200, dump(Json{{"import", {{"id", it->id}, {"have", have}}}}));
}

Reply ImportStore::part(const RecordedRequest& request) {
  if (auto denied = check_auth(request)) return *denied;
  const auto id = path_number(request.path, 3);
  const auto n = path_number(request.path, 5);
  const std::lock_guard lock(mutex_);
  ImportRecord* record = id ? find(*id) : nullptr;
  if (record == nullptr) return Reply::refusal(404, "There is no such import.");
  if (!n || *n >= record->parts) return Reply::refusal(400, "This import has no such part.");
  const auto body = Json::parse(request.body, nullptr, false);
  if (!body.is_object()) return Reply::refusal(400, "The part is not JSON.");
  ImportedPart part;
  try {
    part.kind = body.at("kind").get<std::string>();
    part.name = body.at("name").get<std::string>();
    part.size = body.at("size").get<std::uint64_t>();
    part.sha256 = body.at("sha256").get<std::string>();
    part.data = body.at("data").get<std::string>();
  } catch (const std::exception&) {
    return Reply::refusal(400, "The part is incomplete.");
  }
  const auto decoded = decode_base64(part.data);
  if (!decoded || decoded->size() != part.size) {
    return Reply::refusal(400, "The part's data does not match its size.");
  }
  record->received[*n] = std::move(part);
  return Reply::json(200, dump(Json{{"ok", true}}));
}

Reply ImportStore::begin(const RecordedRequest& request) {
  if (auto denied = check_auth(request)) return *denied;
  const auto id = path_number(request.path, 3);
  const std::lock_guard lock(mutex_);
  ImportRecord* record = id ? find(*id) : nullptr;
  if (record == nullptr) return Reply::refusal(404, "There is no such import.");
  if (record->received.size() != record->parts) {
    return Reply::refusal(409, "Some parts of this import are missing.");
  }
  ++record->starts;
  return Reply::json(
      200,
      dump(Json{
          {"import",
           {{"id", record->id}, {"status", "processing"}, {"parts", record->received.size()}}}}));
}

std::vector<ImportRecord> ImportStore::imports() const {
  const std::lock_guard lock(mutex_);
  return imports_;
}

}  // namespace kavor::service
