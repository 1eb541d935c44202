// Substitute chat service: a real HTTP server on loopback that tests start in-process on an
// ephemeral port. Every route can be scripted (status, body, headers, delay, hold the request
// open, drop the connection) and every request is recorded. Every connection carries a single
// request (answers say "Connection: close"), so a dropped connection fails exactly one request.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "routes.h"

namespace kavor::service {

class TestService {
 public:
  TestService();   // binds 127.0.0.1 on an ephemeral port and starts serving at once
  ~TestService();  // answers held requests as release_held() does by default, stops, joins
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  std::uint16_t port() const;
  std::string base_url() const;  // "http://127.0.0.1:<port>" without trailing slash

  // Routes are matched on method and exact path, or on a path pattern where "{id}" (any
  // "{name}") matches one non-empty path segment; paths are compared as sent, not percent-decoded.
  // A route answers its queued replies in order; when the queue is empty its handler answers;
  // without a handler its default reply does. A route without placeholders is tried before the
  // patterns, patterns in the order they were first configured, and a route with nothing to
  // answer leaves the request to the next one; when none answers the reply is 404 with an empty
  // JSON object.
  void set_default(const std::string& method, const std::string& path, Reply reply);
  void enqueue(const std::string& method, const std::string& path, Reply reply);
  // A handler decides the reply from the request (runs on the server's thread).
  void set_handler(const std::string& method, const std::string& path,
                   std::function<Reply(const RecordedRequest&)> handler);
  void clear_routes();

  // The chats the reply watcher follows (ChatStore). Scripted routes on the same paths answer
  // first, so tests can still inject faults.
  void put_chat(const std::string& chat, const std::string& token);
  // Adds the message, or replaces the chat's message with the same id.
  void put_chat_message(const std::string& chat, ChatMessage message);

  // Answers every request currently held with `reply` (default 204 without body); the reply's
  // own hold flag is ignored. A request whose queued or default reply holds counts as held from
  // the moment it is recorded, so it can be released as soon as wait_for_requests() has seen it.
  void release_held(Reply reply = Reply::json(204, ""));
  std::size_t held_count() const;

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) const;
  void clear_requests();

  // `path` may be a pattern, as for routes. Requests are recorded before any delay or hold.
  // Blocks until at least `count` requests matching method and path have been recorded, or
  // `timeout` passes; returns whether they arrived.
  bool wait_for_requests(const std::string& method, const std::string& path, std::size_t count,
                         std::chrono::milliseconds timeout);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The chat-history import routes (ImportStore) on a TestService. Replies queued on the same
// routes (TestService::enqueue) answer before these handlers.
class ImportService {
 public:
  explicit ImportService(TestService& service, std::string token = {});

  std::vector<ImportRecord> imports() const;

 private:
  std::shared_ptr<ImportStore> store_;
};

}  // namespace kavor::service
