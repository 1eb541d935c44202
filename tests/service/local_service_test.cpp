#include "local_service.h"

#include <httplib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "platform/session_file.h"
#include "support/other_user.h"
#include "support/raw_http.h"

namespace kavor::service {
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
  // A second service on the same port would take half of the connections, with a session
  // secret of its own: it must fail to start instead.
  LocalService first(quick());
  for (const bool app_taken : {true, false}) {
    LocalServiceOptions options = quick();
    (app_taken ? options.app_port : options.api_port) =
        app_taken ? first.app_port() : first.api_port();
    EXPECT_THROW(LocalService second(options), std::runtime_error) << app_taken;
  }
  httplib::Client app("127.0.0.1", first.app_port());
  EXPECT_EQ(app.Get("/api/session", bearer("user-token"))->status, 200);
}

// ---- who may reach the service ----

// One request written byte for byte: `headers` are whole lines, "Host: …" included when wanted.
test::RawAnswer ask(int port, const std::string& method, const std::string& path,
                    const std::vector<std::string>& headers, const std::string& body = "") {
  std::string text = method + " " + path + " HTTP/1.1\r\n";
  for (const std::string& line : headers) text += line + "\r\n";
  text += "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  const auto answer = test::raw_exchange(port, text + body);
  EXPECT_TRUE(answer) << method << " " << path;
  return answer.value_or(test::RawAnswer{});
}

std::string host(int port) {
  return "Host: 127.0.0.1:" + std::to_string(port);
}

std::string session(const LocalService& service) {
  return std::string(platform::kSessionHeader) + ": " + service.session_secret();
}

TEST(LocalService, BothListenersRefuseEveryHostButTheirOwnLoopbackNames) {
  LocalService service(quick());
  for (const int port : {service.app_port(), service.api_port()}) {
    const std::string own = std::to_string(port);
    const std::string other =
        std::to_string(port == service.app_port() ? service.api_port() : service.app_port());
    const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
        {"127.0.0.1:" + own, true},
        {"localhost:" + own, true},
        {"LocalHost:" + own, true},
        {"[::1]:" + own, true},
        // A web site whose name the attacker rebinds to 127.0.0.1 sends its own name.
        {"evil.example:" + own, false},
        {"127.0.0.1.nip.io:" + own, false},
        {"localhost.evil.example:" + own, false},
        {"evil.example", false},
        // The right name for the other listener, or without the port.
        {"127.0.0.1:" + other, false},
        {"127.0.0.1", false},
        {"localhost", false},
        {"127.0.0.1:" + own + "@evil.example", false},
        {"127.0.0.1:" + own + ".evil.example", false},
        {"", false},
        {std::nullopt, false},  // no Host line at all
    };
    for (const auto& [name, allowed] : cases) {
      const std::vector<std::string> headers =
          name ? std::vector<std::string>{"Host: " + *name} : std::vector<std::string>{};
      const test::RawAnswer answer = ask(port, "GET", "/", headers);
      const std::string label = (name ? *name : "(none)") + " on " + own;
      if (allowed) {
        EXPECT_NE(answer.status, 403) << label;
      } else {
        EXPECT_EQ(answer.status, 403) << label;
        EXPECT_NE(answer.body.find("Host"), std::string::npos) << label << ": " << answer.body;
      }
    }
  }
}

TEST(LocalService, RequestsThatChangeStateFromAnotherOriginAreRefusedByBothListeners) {
  LocalService service(quick());
  const int app = service.app_port();
  const int api = service.api_port();
  const std::string own_origin = "http://127.0.0.1:" + std::to_string(app);
  const std::string message = R"({"text":"/read .ssh/id_rsa","workspace":"/home/user"})";
  struct Case {
    int port;
    std::string method;
    std::string path;
    std::string body;
  };
  const std::vector<Case> requests = {
      {app, "POST", "/api/chats/c1/messages", message},
      {api, "POST", "/bridge/devices", R"({"name":"intruder"})"},
      {api, "DELETE", "/bridge/devices/1", ""},
      {api, "POST", "/bridge/result", R"({"call_id":"call-1","status":"ok"})"},
      {api, "POST", "/imports/chatgpt", R"({"fingerprint":"f","parts":1})"},
      {api, "PUT", "/imports/chatgpt/1/parts/0", "{}"},
  };
  for (const std::string& origin :
       {std::string("http://evil.example"), std::string("null"),
        "http://127.0.0.1:" + std::to_string(api), "http://localhost:" + std::to_string(app),
        "https://127.0.0.1:" + std::to_string(app)}) {
    for (const Case& r : requests) {
      const test::RawAnswer answer =
          ask(r.port, r.method, r.path,
              {host(r.port), "Origin: " + origin, "Authorization: Bearer user-token",
               session(service), "Content-Type: application/json"},
              r.body);
      EXPECT_EQ(answer.status, 403) << origin << " " << r.method << " " << r.path;
    }
  }
  // Nothing of that reached the chats or linked a computer.
  EXPECT_EQ(ask(app, "GET", "/chats/c1",
                {host(app), "Authorization: Bearer user-token", session(service)})
                .status,
            404);
  // The page's own origin, and a request without one (the agent's own client sends none), pass.
  for (const std::optional<std::string>& origin :
       {std::optional<std::string>(own_origin), std::optional<std::string>()}) {
    std::vector<std::string> headers = {host(app), "Authorization: Bearer user-token",
                                        session(service), "Content-Type: application/json"};
    if (origin) headers.push_back("Origin: " + *origin);
    EXPECT_EQ(ask(app, "POST", "/api/chats/c2/messages", headers, R"({"text":"hello"})").status,
              200)
        << origin.value_or("(none)");
  }
  EXPECT_EQ(ask(api, "POST", "/bridge/devices",
                {host(api), "Authorization: Bearer user-token", "Content-Type: application/json"},
                R"({"name":"desk"})")
                .status,
            200);
}

TEST(LocalService, TheTokenAndTheChatsAreServedOnlyWithTheSessionSecret) {
  LocalService service(quick());
  const int app = service.app_port();
  const std::string bearer_line = "Authorization: Bearer user-token";
  ASSERT_EQ(ask(app, "POST", "/api/chats/c1/messages", {host(app), bearer_line, session(service)},
                R"({"text":"hello"})")
                .status,
            200);
  const std::vector<std::pair<std::string, std::string>> routes = {
      {"GET", "/api/session"}, {"POST", "/api/chats/c1/messages"}, {"GET", "/api/chats/c1/calls"},
      {"GET", "/chats/c1"},    {"GET", "/chats/c1/messages/1"},
  };
  const std::string wrong = service.session_secret().substr(1) + "0";
  for (const auto& [method, path] : routes) {
    const std::string body = method == "POST" ? R"({"text":"again"})" : "";
    const test::RawAnswer without = ask(app, method, path, {host(app), bearer_line}, body);
    EXPECT_EQ(without.status, 401) << method << " " << path;
    EXPECT_EQ(without.body.find("user-token"), std::string::npos) << path;
    const test::RawAnswer guessed =
        ask(app, method, path,
            {host(app), bearer_line, std::string(platform::kSessionHeader) + ": " + wrong}, body);
    EXPECT_EQ(guessed.status, 403) << method << " " << path;
    EXPECT_EQ(guessed.body.find("user-token"), std::string::npos) << path;
    EXPECT_EQ(ask(app, method, path, {host(app), bearer_line, session(service)}, body).status, 200)
        << method << " " << path;
  }
  EXPECT_EQ(Json::parse(ask(app, "GET", "/api/session", {host(app), session(service)}).body),
            (Json{{"token", "user-token"}}));
  // The chat application's files hold no secret and are served to anyone who names the host.
  for (const char* file : {"/", "/index.html", "/app.js", "/style.css"}) {
    EXPECT_EQ(ask(app, "GET", file, {host(app)}).status, 200) << file;
  }
}

// What a command-line client or web page run by another user of this computer gets.
std::string as_other(const test::OtherUser& other, const std::string& arguments) {
  const std::string command = other.run_as() + KAVOR_LOOPBACK_PEER + " " + arguments + " 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
  }
  return out;
}

TEST(LocalService, AnotherUserOfThisComputerCannotReadTheSecretPostOrReadAChatOrGetTheToken) {
  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  LocalService service(quick());
  const int app = service.app_port();
  const std::string app_port = std::to_string(app);
  ASSERT_EQ(
      ask(app, "POST", "/api/chats/c1/messages",
          {host(app), "Authorization: Bearer user-token", session(service)}, R"({"text":"hello"})")
          .status,
      200);

  char folder_template[] = "/tmp/kavor-session-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder_template), nullptr);
  const std::filesystem::path root(folder_template);
  // Where scripts/run keeps it (a private folder), and a private file in a folder anyone enters.
  for (const bool open_folder : {false, true}) {
    const std::filesystem::path folder = root / (open_folder ? "open" : "private");
    const std::string file = (folder / "session").string();
    ASSERT_EQ(platform::write_session_secret(file, service.session_secret()), "");
    if (open_folder) chmod(folder.c_str(), 0755);
    chmod(root.c_str(), 0755);
    EXPECT_EQ(as_other(other, "read " + file).rfind("refused: Permission denied", 0), 0u) << file;
    EXPECT_EQ(platform::read_session_secret(file).secret, service.session_secret());
  }

  const std::vector<std::string> attempts = {
      "GET /api/session ''",
      "POST /api/chats/c1/messages '{\"text\":\"/read .ssh/id_rsa\",\"workspace\":\"/root\"}'",
      "GET /api/chats/c1/calls ''",
      "GET /chats/c1 ''",
      "GET /chats/c1/messages/2 ''",
      "GET /api/session '' '" + std::string(platform::kSessionHeader) +
          ": 0123456789abcdef0123456789abcdef'",
  };
  for (const std::string& attempt : attempts) {
    const std::string answer = as_other(other, "request " + app_port + " " + attempt);
    EXPECT_TRUE(answer.rfind("status 401", 0) == 0 || answer.rfind("status 403", 0) == 0)
        << attempt << "\n"
        << answer;
    EXPECT_EQ(answer.find("user-token"), std::string::npos) << attempt;
  }
  // The chat holds only what its user posted.
  const Json chat_now =
      Json::parse(ask(app, "GET", "/chats/c1",
                      {host(app), "Authorization: Bearer user-token", session(service)})
                      .body);
  EXPECT_EQ(chat_now["messages"].size(), 2u) << chat_now.dump();
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace kavor::service
