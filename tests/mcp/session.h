// One protocol session in the test's process: a Server over the given tools and approvals, fed
// parsed messages as a client sends them, with everything it sends kept in order.
#pragma once

#include <QThreadPool>

#include <memory>
#include <string>
#include <vector>

#include "desktop/notifications.h"
#include "mcp/event_relay.h"
#include "mcp/server.h"
#include "support/wait.h"
#include "tools/dispatch.h"
#include "tools/tool_table.h"

namespace kavor::mcp::test {

class SilentNotifications : public desktop::Notifications {
 public:
  bool notify(const desktop::NotifyRequest&) override { return true; }
  void clear_shown() override {}
};

class Session {
 public:
  // `relay` is the Host the calls' events go to; every reference must outlive the session.
  Session(const tools::ToolTable& table, const std::vector<tools::ToolShape>& shapes,
          tools::Approvals& approvals, tools::RunningChats& running, EventRelay& relay,
          QThreadPool& pool, ServerOptions options) {
    server = std::make_unique<Server>(
        ServerContext{table, shapes, approvals, running, relay, notes_, pool, {}},
        std::move(options),
        [this](const common::Json& message, const common::Json&) { sent.push_back(message); });
  }

  void send(const common::Json& message) { server->receive(message); }
  void request(const common::Json& id, const std::string& method,
               common::Json params = common::Json::object()) {
    send(common::Json{
        {"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}});
  }
  void notify(const std::string& method, common::Json params = common::Json::object()) {
    send(common::Json{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}});
  }
  // initialize and notifications/initialized; the initialize answer.
  common::Json open(const std::string& revision,
                    common::Json capabilities = common::Json::object()) {
    request("init", "initialize",
            {{"protocolVersion", revision},
             {"capabilities", std::move(capabilities)},
             {"clientInfo", {{"name", "test"}, {"version", "1"}}}});
    notify("notifications/initialized");
    return answer("init");
  }
  void call(const common::Json& id, const std::string& tool, common::Json args,
            common::Json meta = nullptr) {
    common::Json params{{"name", tool}, {"arguments", std::move(args)}};
    if (!meta.is_null()) params["_meta"] = std::move(meta);
    request(id, "tools/call", std::move(params));
  }

  // The first message sent that `match` takes, waiting for it; null when none comes.
  common::Json wait_for(const std::function<bool(const common::Json&)>& match,
                        std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    common::Json found;
    kavor::test::wait_until(
        [&] {
          for (const common::Json& m : sent) {
            if (match(m)) found = m;
          }
          return !found.is_null();
        },
        timeout);
    return found;
  }
  // The answer (result or error) to request `id`.
  common::Json answer(const common::Json& id,
                      std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    return wait_for(
        [&](const common::Json& m) {
          return m.value("id", common::Json()) == id && !m.contains("method");
        },
        timeout);
  }
  // A request of ours by method.
  common::Json asked(const std::string& method) {
    return wait_for(
        [&](const common::Json& m) { return m.value("method", "") == method && m.contains("id"); });
  }
  void reply(const common::Json& id, common::Json result) {
    send(common::Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
  }

  std::vector<common::Json> sent;
  std::unique_ptr<Server> server;

 private:
  SilentNotifications notes_;
};

}  // namespace kavor::mcp::test
