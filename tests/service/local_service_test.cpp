#include "local_service.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace kavor::service {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

LocalServiceOptions quick() {
  LocalServiceOptions options;
  options.link_token = "user-token";
  options.poll_hold = 300ms;
  return options;
}

httplib::Headers bearer(const std::string& token) {
  return {{"Authorization", "Bearer " + token}};
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
  auto session = app.Get("/api/session");
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

}  // namespace
}  // namespace kavor::service
