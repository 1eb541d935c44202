#include "local_service.h"

#include <httplib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "platform/session_file.h"
#include "support/command_output.h"
#include "support/other_user.h"
#include "support/raw_http.h"
#include "support/temp_tree.h"

namespace kavor::service {
namespace local_service_test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

constexpr const char* kSessionSecret =
    "5e55105e5e55105e5e55105e5e55105e5e55105e5e55105e5e55105e5e55105e";

LocalServiceOptions quick() {
  LocalServiceOptions options;
  options.link_token = "user-token";
  options.session_secret = kSessionSecret;
  options.poll_hold = 300ms;
  return options;
}

// The headers of a request as the agent's window sends it for the chat application: the page's
// bearer and the session secret (which the API server does not look at).
httplib::Headers bearer(const std::string& token) {
  return {{"Authorization", "Bearer " + token}, {platform::kSessionHeader, kSessionSecret}};
}

// A linked computer: its secret.
std::string link(httplib::Client& api, const std::string& name = "desk") {
  auto answer = api.Post("/bridge/devices", bearer("user-token"),
                         Json{{"name", name}, {"os", "linux"}}.dump(), "application/json");
  EXPECT_TRUE(answer && answer->status == 200);
  return answer ? Json::parse(answer->body).value("secret", "") : "";
}

Json poll(httplib::Client& api, const std::string& secret) {
  auto answer = api.Get("/bridge/poll", bearer(secret));
  if (!answer || answer->status != 200) return nullptr;
  return Json::parse(answer->body)["call"];
}

Json chat(httplib::Client& client, const std::string& id) {
  auto answer = client.Get(("/chats/" + id).c_str(), bearer("user-token"));
  return answer && answer->status == 200 ? Json::parse(answer->body) : Json();
}

Json post_message(httplib::Client& app, const std::string& chat_id, const std::string& text,
                  const std::string& workspace = "/ws") {
  auto answer = app.Post(("/api/chats/" + chat_id + "/messages").c_str(), bearer("user-token"),
                         Json{{"text", text}, {"workspace", workspace}}.dump(), "application/json");
  return answer && answer->status == 200 ? Json::parse(answer->body) : Json();
}

TEST(LocalService, AMessageBecomesCallsOneAtATimeAndTheirResultsTheReply) {
  LocalService service(quick());
  httplib::Client app("127.0.0.1", service.app_port());
  httplib::Client api("127.0.0.1", service.api_port());

  // Without a linked computer the assistant says so, and the reply is finished as failed.
  const Json early = post_message(app, "c1", "/read a.txt");
  ASSERT_EQ(early["assistant"], 2);
  EXPECT_EQ(chat(app, "c1")["messages"][1]["status"], "error");

  const std::string secret = link(api);
  ASSERT_FALSE(secret.empty());
  // Nothing to do: the poll is held, then answered with no content.
  auto idle = api.Get("/bridge/poll", bearer(secret));
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->status, 204);

  // Two calls: the second goes out only after the first result is in.
  const Json sent = post_message(
      app, "c1",
      R"([{"tool":"browser","args":{"action":"open"}},{"tool":"browser","args":{"action":"screenshot"}}])");
  EXPECT_EQ(sent["user"], 3);
  const Json first = poll(api, secret);
  ASSERT_TRUE(first.is_object());
  EXPECT_EQ(first["tool"], "browser");
  EXPECT_EQ(first["chat"], "c1");
  EXPECT_EQ(first["workspace"], "/ws");
  EXPECT_EQ(first["args"]["action"], "open");
  auto idle_again = api.Get("/bridge/poll", bearer(secret));
  EXPECT_EQ(idle_again->status, 204);
  EXPECT_EQ(chat(api, "c1")["messages"][3]["status"], "pending");

  const Json ok = {{"call_id", first["id"]}, {"status", "ok"}, {"output", "Opened."}};
  auto posted = api.Post("/bridge/result", bearer(secret), ok.dump(), "application/json");
  ASSERT_TRUE(posted && posted->status == 200);
  const Json second = poll(api, secret);
  ASSERT_TRUE(second.is_object());
  EXPECT_EQ(second["args"]["action"], "screenshot");
  EXPECT_EQ(chat(api, "c1")["messages"][3]["status"], "pending");

  // A refusal ends the turn; the reply holds both results in order.
  const Json denied = {{"call_id", second["id"]}, {"status", "denied"}, {"output", "Not now."}};
  api.Post("/bridge/result", bearer(secret), denied.dump(), "application/json");
  const Json reply = chat(api, "c1")["messages"][3];
  EXPECT_EQ(reply["status"], "done");
  EXPECT_EQ(reply["body"], "browser: done.\nOpened.\n\nbrowser was not run.\nNot now.");
  // The page learns which message each call answers.
  auto placed = app.Get("/api/chats/c1/calls", bearer("user-token"));
  ASSERT_TRUE(placed);
  EXPECT_EQ(Json::parse(placed->body),
            (Json{{first["id"].get<std::string>(), 4}, {second["id"].get<std::string>(), 4}}));
  // The reply watcher reads the same message on its own route.
  auto one = api.Get("/chats/c1/messages/4", bearer("user-token"));
  ASSERT_TRUE(one);
  EXPECT_EQ(Json::parse(one->body)["body"], reply["body"]);
}

TEST(LocalService, RefusesStrangersAndForgetsAnUnlinkedComputer) {
  LocalService service(quick());
  httplib::Client app("127.0.0.1", service.app_port());
  httplib::Client api("127.0.0.1", service.api_port());

  EXPECT_EQ(api.Post("/bridge/devices", bearer("guess"), "{}", "application/json")->status, 401);
  EXPECT_EQ(api.Get("/bridge/poll", bearer("guess"))->status, 401);
  EXPECT_EQ(api.Get("/chats/c1", bearer("guess"))->status, 404);
  EXPECT_EQ(app.Post("/api/chats/not%20an%20id/messages", bearer("user-token"), R"({"text":"hi"})",
                     "application/json")
                ->status,
            400);
  EXPECT_EQ(
      app.Post("/api/chats/c1/messages", bearer("guess"), R"({"text":"hi"})", "application/json")
          ->status,
      401);
  post_message(app, "c1", "hello");
  EXPECT_EQ(api.Get("/chats/c1", bearer("guess"))->status, 401);

  const std::string secret = link(api);
  auto answer = api.Post("/bridge/devices", bearer("user-token"), "{}", "application/json");
  const std::string device = Json::parse(answer->body)["device"]["id"];
  const std::string second_secret = Json::parse(answer->body)["secret"];
  // A poll held while its computer is unlinked ends at once with 401.
  auto held = std::async(std::launch::async, [&] {
    httplib::Client own("127.0.0.1", service.api_port());
    return own.Get("/bridge/poll", bearer(second_secret))->status;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(api.Delete(("/bridge/devices/" + device).c_str(), bearer("user-token"))->status, 204);
  EXPECT_EQ(held.get(), 401);
  EXPECT_EQ(api.Delete(("/bridge/devices/" + device).c_str(), bearer("user-token"))->status, 404);
  // The first computer is still linked and now receives the calls.
  post_message(app, "c1", "/list");
  EXPECT_EQ(poll(api, secret)["tool"], "list_dir");

  // A result for a call the service never sent changes nothing.
  EXPECT_EQ(api.Post("/bridge/result", bearer(secret), R"({"call_id":"call-99","status":"ok"})",
                     "application/json")
                ->status,
            200);
  EXPECT_EQ(
      api.Post("/bridge/result", bearer(secret), R"({"status":"ok"})", "application/json")->status,
      400);
}

TEST(LocalService, ServesTheApplicationAndTheImportRoutesOnKeptAliveConnections) {
  LocalService service(quick());
  httplib::Client app("127.0.0.1", service.app_port());
  app.set_keep_alive(true);
  std::atomic<int> connections{0};
  app.set_socket_options([&](int) { ++connections; });

  auto page = app.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("<script src=\"app.js\">"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
  auto script = app.Get("/app.js");
  ASSERT_TRUE(script);
  EXPECT_NE(script->body.find("window.__TAURI_INTERNALS__"), std::string::npos);
  EXPECT_NE(script->body.find("agent_decide"), std::string::npos);
  EXPECT_NE(script->body.find("'This runs outside the workspace fence: the fence does not reach "
                              "the docker daemon or a virtual machine, so the command can change "
                              "anything on this computer.'"),
            std::string::npos);
  EXPECT_EQ(app.Get("/nothing.js")->status, 404);
  auto session = app.Get("/api/session", {{platform::kSessionHeader, kSessionSecret}});
  EXPECT_EQ(Json::parse(session->body)["token"], "user-token");
  EXPECT_EQ(connections, 1) << "every request went over the first connection";

  httplib::Client api("127.0.0.1", service.api_port());
  const Json start = {{"fingerprint", "f"}, {"filename", "e.zip"}, {"parts", 1}, {"raw_bytes", 3}};
  EXPECT_EQ(api.Post("/imports/chatgpt", start.dump(), "application/json")->status, 401);
  auto started =
      api.Post("/imports/chatgpt", bearer("user-token"), start.dump(), "application/json");
  ASSERT_TRUE(started && started->status == 200);
  const Json part = {{"kind", "c"}, {"name", "n"}, {"size", 3}, {"sha256", "s"}, {"data", "YWJj"}};
  EXPECT_EQ(
      api.Put("/imports/chatgpt/1/parts/0", bearer("user-token"), part.dump(), "application/json")
          ->status,
      200);
  auto begun = api.Post("/imports/chatgpt/1/start", bearer("user-token"), "", "application/json");
  ASSERT_TRUE(begun);
  EXPECT_EQ(Json::parse(begun->body)["import"]["status"], "processing");
}

TEST(LocalService, APortInUseIsRefusedRatherThanShared) {
  // A second service on the same port would take part of the connections, with a secret of
  // its own.
  LocalService first(quick());
  for (const bool app : {true, false}) {
    LocalServiceOptions options = quick();
    (app ? options.app_port : options.api_port) = app ? first.app_port() : first.api_port();
    EXPECT_THROW(LocalService second(options), std::runtime_error) << app;
  }
}

// ---- who may reach the service ----

// A request written byte for byte; `headers` are whole lines.
test::RawAnswer ask(int port, const std::string& method, const std::string& path,
                    const std::vector<std::string>& headers, const std::string& body = "") {
  std::string text = method + " " + path + " HTTP/1.1\r\n";
  for (const std::string& line : headers) text += line + "\r\n";
  text += "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  return test::raw_exchange(port, text + body);
}

std::string host(int port) {
  return "Host: 127.0.0.1:" + std::to_string(port);
}

const std::string kSession = std::string(platform::kSessionHeader) + ": " + kSessionSecret;
const std::string kBearer = "Authorization: Bearer user-token";

TEST(LocalService, BothListenersRefuseEveryHostButTheirOwnLoopbackNames) {
  LocalService service(quick());
  for (const int port : {service.app_port(), service.api_port()}) {
    const std::string own = std::to_string(port);
    const std::string other =
        std::to_string(port == service.app_port() ? service.api_port() : service.app_port());
    const std::pair<std::string, bool> cases[] = {
        {"127.0.0.1:" + own, true},
        {"localhost:" + own, true},
        {"LocalHost:" + own, true},
        {"[::1]:" + own, true},
        // A site whose name its owner rebinds to 127.0.0.1 still sends that name.
        {"evil.example:" + own, false},
        {"127.0.0.1.nip.io:" + own, false},
        {"localhost.evil.example:" + own, false},
        {"evil.example", false},
        {"127.0.0.1:" + other, false},
        {"127.0.0.1", false},
        {"127.0.0.1:" + own + "@evil.example", false},
        {"", false},
        {"(none)", false},  // no Host line at all
    };
    for (const auto& [name, allowed] : cases) {
      const auto headers =
          name == "(none)" ? std::vector<std::string>{} : std::vector<std::string>{"Host: " + name};
      const test::RawAnswer answer = ask(port, "GET", "/", headers);
      EXPECT_EQ(answer.status == 403, !allowed) << name << " on " << own << ": " << answer.status;
      if (!allowed) {
        EXPECT_NE(answer.body.find("Host"), std::string::npos) << answer.body;
      }
    }
  }
}

TEST(LocalService, RequestsThatChangeStateFromAnotherOriginAreRefusedByBothListeners) {
  LocalService service(quick());
  const int app = service.app_port();
  const int api = service.api_port();
  struct Case {
    int port;
    const char* method;
    const char* path;
    const char* body;
  };
  const Case requests[] = {
      {app, "POST", "/api/chats/c1/messages", R"({"text":"/read .ssh/id_rsa"})"},
      {api, "POST", "/bridge/devices", R"({"name":"intruder"})"},
      {api, "DELETE", "/bridge/devices/1", ""},
      {api, "POST", "/bridge/result", R"({"call_id":"call-1","status":"ok"})"},
      {api, "PUT", "/imports/chatgpt/1/parts/0", "{}"},
  };
  const std::string origins[] = {"http://evil.example", "null",
                                 "http://127.0.0.1:" + std::to_string(api),
                                 "http://localhost:" + std::to_string(app)};
  for (const std::string& origin : origins) {
    for (const Case& r : requests) {
      EXPECT_EQ(ask(r.port, r.method, r.path,
                    {host(r.port), "Origin: " + origin, kBearer, kSession}, r.body)
                    .status,
                403)
          << origin << " " << r.method << " " << r.path;
    }
  }
  EXPECT_EQ(ask(app, "GET", "/chats/c1", {host(app), kBearer, kSession}).status, 404);
  // (The page's own origin and requests without one pass: the other tests and the end-to-end
  // test send both.)
}

TEST(LocalService, TheTokenAndTheChatsAreServedOnlyWithTheSessionSecret) {
  LocalService service(quick());
  const int app = service.app_port();
  const std::string hello = R"({"text":"hello"})";
  ASSERT_EQ(
      ask(app, "POST", "/api/chats/c1/messages", {host(app), kBearer, kSession}, hello).status,
      200);
  const std::string wrong = std::string(platform::kSessionHeader) + ": " + std::string(64, '0');
  for (const char* path : {"/api/session", "/api/chats/c1/messages", "/api/chats/c1/calls",
                           "/chats/c1", "/chats/c1/messages/1"}) {
    const std::string method = std::string(path) == "/api/chats/c1/messages" ? "POST" : "GET";
    const std::string body = method == "POST" ? hello : "";
    for (const auto& [line, status] : {std::pair{std::string("X-None: 1"), 401},
                                       std::pair{wrong, 403}, std::pair{kSession, 200}}) {
      const test::RawAnswer answer = ask(app, method, path, {host(app), kBearer, line}, body);
      EXPECT_EQ(answer.status, status) << path << " with " << line;
      if (status != 200) {
        EXPECT_EQ(answer.body.find("user-token"), std::string::npos) << path;
      }
    }
  }
  // The chat application's files hold no secret.
  for (const char* file : {"/", "/app.js", "/style.css"}) {
    EXPECT_EQ(ask(app, "GET", file, {host(app)}).status, 200) << file;
  }
}

TEST(LocalService, AnotherUserOfThisComputerCannotReadTheSecretPostOrReadAChatOrGetTheToken) {
  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  LocalService service(quick());
  const int app = service.app_port();
  ASSERT_EQ(ask(app, "POST", "/api/chats/c1/messages", {host(app), kBearer, kSession},
                R"({"text":"hello"})")
                .status,
            200);
  const auto as_other = [&](const std::string& command) {
    return kavor::test::command_output(other.run_as() + command + " 2>&1");
  };
  // The file as the service writes it, in its private folder; and if that folder were opened
  // to everyone, the file's own mode still keeps it.
  const kavor::test::TempTree tree("kavor-session-test");
  const char* made = tree.path().c_str();
  chmod(made, 0755);
  const std::string file = std::string(made) + "/private/session";
  ASSERT_TRUE(platform::write_session_secret(file, kSessionSecret).ok());
  for (const mode_t folder_mode : {0700, 0755}) {
    chmod((std::string(made) + "/private").c_str(), folder_mode);
    EXPECT_NE(as_other("cat " + file).find("Permission denied"), std::string::npos) << folder_mode;
  }

  // bash's /dev/tcp: a client as plain as another user could write.
  const std::string body = R"({"text":"/read .ssh/id_rsa","workspace":"/home/user"})";
  const std::string guess = std::string(platform::kSessionHeader) + ": " + std::string(64, 'a');
  for (const std::string& request :
       {std::string("GET /api/session"), std::string("POST /api/chats/c1/messages"),
        std::string("GET /api/chats/c1/calls"), std::string("GET /chats/c1"),
        std::string("GET /chats/c1/messages/2"), "GET /api/session HTTP/1.1\r\n" + guess}) {
    const std::string text =
        request + (request.find("\r\n") == std::string::npos ? " HTTP/1.1" : "") + "\r\n" +
        host(app) + "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    const std::string answer =
        as_other("bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(app) +
                 "; printf %s \"$0\" >&3; cat <&3' '" + text + "'");
    EXPECT_TRUE(answer.rfind("HTTP/1.1 401", 0) == 0 || answer.rfind("HTTP/1.1 403", 0) == 0)
        << request << "\n"
        << answer;
    EXPECT_EQ(answer.find("user-token"), std::string::npos) << request;
  }
  // The chat holds only what its user posted.
  EXPECT_EQ(
      Json::parse(ask(app, "GET", "/chats/c1", {host(app), kBearer, kSession}).body)["messages"]
          .size(),
      2u);
}

}  // namespace
}  // namespace local_service_test
}  // namespace kavor::service
