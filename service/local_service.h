// The runnable local chat service: what a fresh build talks to when no real service exists.
//
// Two loopback servers share one in-memory state. The application server serves the chat
// application (the files of service/web, built in) and the few requests that page makes of its
// own service: the session's link token, posting a chat message, reading a chat and which message
// each of its tool calls belongs to. The API server
// answers every request the agent makes: device registration and removal, the held poll and the
// result, the chats the reply watcher reads and the chat-history import routes.
//
// A chat message goes to the scripted assistant (assistant.h). Its tool calls are handed, one at
// a time, to the poll of the computer linked last; each result is written into the assistant's
// message, which is finished ("done") after the last call or the first one that did not succeed.
// Connections are kept alive between requests, as a real service behind a proxy keeps them.
//
// Both servers listen on loopback, where every user of the machine and every web page the user
// opens can reach them. Each answers only requests whose Host is one of its own loopback names
// with its port, and refuses requests that change state from pages of any origin but the chat
// application's. The application server's routes under /api/ and /chats/ (the link token, the
// messages, the chats) need the session secret besides, which only the agent's window adds to
// the pages' requests (platform/session_file.h); the application's files stay public.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kavor::service {

struct LocalServiceOptions {
  std::string host = "127.0.0.1";
  int app_port = 0;        // 0: any free port
  int api_port = 0;        // 0: any free port
  std::string link_token;  // empty: a random one
  // What the agent's window adds to the chat application's requests (session_file.h); empty: a
  // random one.
  std::string session_secret;
  // How long a poll is held open when there is nothing to send (the agent waits 40 seconds).
  std::chrono::milliseconds poll_hold{20'000};
};

// Told of every call as the poll hands it out and of every result as it arrives.
struct CallObserver {
  std::function<void(const std::string& call_id)> sent;
  std::function<void(const std::string& call_id)> received;
};

class LocalService {
 public:
  // Binds both servers and serves at once; throws std::runtime_error when a port is taken.
  explicit LocalService(LocalServiceOptions options = {});
  ~LocalService();  // stops and joins
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  int app_port() const;
  int api_port() const;
  const std::string& link_token() const;
  const std::string& session_secret() const;

  // Queues `call` (a JSON object with at least "id" and "tool") for the computer linked last;
  // false when no computer is linked. Its result is only passed to the observer.
  bool queue_call(nlohmann::ordered_json call);
  void set_observer(CallObserver observer);

  // Ends both servers; wait() then returns.
  void stop();
  void wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kavor::service
