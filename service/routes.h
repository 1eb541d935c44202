// Request handling shared by the substitute service of the tests and the runnable local service:
// the request and reply records, path patterns, the chat routes the reply watcher reads and the
// chat-history import routes. Each store keeps its state in memory behind its own lock and
// answers a recorded request with a reply, or with nothing when the request is not one of its
// routes, so that either server can put its own routes in front.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace kavor::service {

struct RecordedRequest {
  std::string method;
  std::string path;                                 // path only, without the query
  std::string query;                                // raw query text after '?', empty when none
  std::multimap<std::string, std::string> headers;  // names lower-cased
  std::string body;
  std::chrono::steady_clock::time_point received;  // when the whole request had arrived

  // First header with that name (case-insensitive), or empty.
  std::string header(const std::string& name) const;
  // The token of an "Authorization: Bearer <token>" header, or empty.
  std::string bearer() const;
};

// One scripted answer.
struct Reply {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::multimap<std::string, std::string> headers;
  std::chrono::milliseconds delay{0};  // wait before answering
  bool hold = false;                   // keep the request open until released or the server stops
  bool drop = false;                   // close the connection without any answer

  static Reply json(int status, std::string body);
  static Reply text(int status, std::string body, std::string content_type = "text/plain");
  static Reply held();
  static Reply dropped();
  // {"message": text}, the service's way of saying why it refused.
  static Reply refusal(int status, const std::string& message);
};

// The request as the handlers see it: method, path and query split, header names lower-cased,
// without the connection addresses httplib lists among the headers.
RecordedRequest record_request(const httplib::Request& request);
// Writes status, body and headers of `reply` (not its delay, hold or drop) into `response`.
// Answers that may not carry a body get neither body nor Content-Length.
void write_reply(const Reply& reply, httplib::Response& response);
bool is_bodyless(int status);

// Path segments split at "/" ("" first for an absolute path).
std::vector<std::string_view> split_path(std::string_view path);
bool has_placeholder(const std::string& path);
// True when `path` equals `pattern`, or has as many segments and every "{name}" segment of the
// pattern matches one non-empty segment. Paths are compared as sent, not percent-decoded.
bool path_matches(const std::string& pattern, const std::string& path);
// The decimal number in path segment `index` ("/imports/chatgpt/{id}" has the id at 3).
std::optional<std::uint64_t> path_number(const std::string& path, std::size_t index);

// Standard base64 with padding; nothing when the text is not that.
std::optional<std::string> decode_base64(const std::string& text);

// One message of a chat, as the reply watcher reads it.
struct ChatMessage {
  std::int64_t id = 0;
  std::string role = "assistant";
  std::string status = "pending";  // left out of the answer when empty
  std::string body;
};

// The chats the reply watcher follows. GET /chats/{chat} answers {"id":…,"messages":[…]} with
// the messages in id order, and GET /chats/{chat}/messages/{id} the one message as
// {"id":…,"role":…,"status":…,"body":…}. Both need "Authorization: Bearer <token>" with the
// chat's token (401 otherwise) and answer 404 for a chat or message that does not exist.
class ChatStore {
 public:
  void put_chat(const std::string& chat, const std::string& token);
  // Adds the message, or replaces the chat's message with the same id.
  void put_message(const std::string& chat, ChatMessage message);
  bool has_chat(const std::string& chat) const;
  // The id after the chat's last message (1 for an empty or unknown chat).
  std::int64_t next_id(const std::string& chat) const;

  std::optional<Reply> answer(const RecordedRequest& request) const;

 private:
  struct Chat {
    std::string token;
    std::map<std::int64_t, ChatMessage> messages;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Chat> chats_;
};

// The chat-history import routes, backed by memory:
//   POST /imports/chatgpt                     {fingerprint, filename, parts, raw_bytes}
//                                             -> {"import": {"id", "have": [{"n", "sha256"}]}}
//   PUT  /imports/chatgpt/{id}/parts/{n}      {kind, name, size, sha256, data}
//   POST /imports/chatgpt/{id}/start          -> {"import": {"id", "status", "parts"}}
// Imports are remembered by fingerprint, so a second run of the same archive gets the same
// number and the list of parts already held. A part is refused (400 with a message) unless its
// data is base64 that decodes to `size` bytes and `n` is below the announced part count. With a
// token set, requests without "Authorization: Bearer <token>" get 401.
struct ImportedPart {
  std::string kind;
  std::string name;
  std::uint64_t size = 0;
  std::string sha256;
  std::string data;  // base64 as sent
};

struct ImportRecord {
  std::uint64_t id = 0;
  std::string fingerprint;
  std::string filename;
  std::uint64_t parts = 0;
  std::uint64_t raw_bytes = 0;
  std::map<std::uint64_t, ImportedPart> received;
  int starts = 0;
};

class ImportStore {
 public:
  explicit ImportStore(std::string token = {});

  std::optional<Reply> answer(const RecordedRequest& request);
  Reply start(const RecordedRequest& request);
  Reply part(const RecordedRequest& request);
  Reply begin(const RecordedRequest& request);

  std::vector<ImportRecord> imports() const;

 private:
  std::optional<Reply> check_auth(const RecordedRequest& request) const;
  ImportRecord* find(std::uint64_t id);

  std::string token_;
  mutable std::mutex mutex_;
  std::vector<ImportRecord> imports_;
};

}  // namespace kavor::service
