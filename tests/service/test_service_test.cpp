#include "test_service.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace kavor::service {
namespace test_service_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

httplib::Client client_for(const TestService& service) {
  httplib::Client client("127.0.0.1", service.port());
  client.set_read_timeout(10, 0);
  return client;
}

// Sends `request` on a fresh connection and returns every byte received until the server closes.
std::string exchange_raw(std::uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string received;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[1024];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  } else {
    received = "(connection failed)";
  }
  ::close(fd);
  return received;
}

TEST(TestService, AnswersScriptedReplyAndRecordsRequest) {
  TestService service;
  Reply created = Reply::text(201, "made", "text/plain");
  created.headers.emplace("X-Trace", "abc");
  service.enqueue("POST", "/v1/items", created);
  service.set_default("DELETE", "/v1/items/{id}", Reply::json(204, "never sent"));

  auto client = client_for(service);
  auto posted = client.Post("/v1/items?x=1&y=two%20words", {{"X-Custom", "Value"}}, R"({"a":1})",
                            "application/json");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 201);
  EXPECT_EQ(posted->body, "made");
  EXPECT_EQ(posted->get_header_value("Content-Type"), "text/plain");
  EXPECT_EQ(posted->get_header_value("X-Trace"), "abc");

  auto deleted = client.Delete("/v1/items/7");
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->status, 204);
  EXPECT_TRUE(deleted->body.empty());
  EXPECT_FALSE(deleted->has_header("Content-Length"));

  const auto recorded = service.requests();
  ASSERT_EQ(recorded.size(), 2u);
  const RecordedRequest& post = recorded[0];
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.path, "/v1/items");
  EXPECT_EQ(post.query, "x=1&y=two%20words");
  EXPECT_EQ(post.body, R"({"a":1})");
  EXPECT_EQ(post.headers.count("x-custom"), 1u);
  EXPECT_EQ(post.header("X-CUSTOM"), "Value");
  EXPECT_EQ(post.headers.count("remote_addr"), 0u);  // httplib's address pseudo-headers
  EXPECT_TRUE(recorded[1].query.empty());
  EXPECT_EQ(service.requests("DELETE", "/v1/items/{id}").size(), 1u);
  EXPECT_TRUE(service.requests("GET", "/v1/items").empty());
}

TEST(TestService, QueueComesBeforeHandlerThenDefaultThenNotFound) {
  TestService service;
  service.enqueue("GET", "/q", Reply::json(200, "first"));
  service.enqueue("GET", "/q", Reply::json(200, "second"));
  service.set_default("GET", "/q", Reply::json(200, "default"));
  auto client = client_for(service);

  EXPECT_EQ(client.Get("/q")->body, "first");
  EXPECT_EQ(client.Get("/q")->body, "second");
  EXPECT_EQ(client.Get("/q")->body, "default");
  EXPECT_EQ(client.Get("/q")->body, "default");

  service.set_handler("GET", "/q",
                      [](const RecordedRequest& r) { return Reply::json(200, r.query); });
  service.enqueue("GET", "/q", Reply::json(200, "queued"));
  EXPECT_EQ(client.Get("/q?n=1")->body, "queued");
  EXPECT_EQ(client.Get("/q?n=2")->body, "n=2");

  auto unknown = client.Get("/nowhere");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
  EXPECT_EQ(unknown->body, "{}");
  EXPECT_EQ(client.Post("/q", "", "text/plain")->status, 404);  // routes are per method

  service.clear_routes();
  EXPECT_EQ(client.Get("/q")->status, 404);
}

TEST(TestService, PlaceholderMatchesOneNonEmptySegment) {
  TestService service;
  service.set_handler("PUT", "/bridge/devices/{id}", [](const RecordedRequest& r) {
    return Reply::json(200, r.path.substr(r.path.rfind('/') + 1));
  });
  service.set_default("PUT", "/bridge/devices/special", Reply::json(200, "exact"));
  auto client = client_for(service);

  EXPECT_EQ(client.Put("/bridge/devices/abc-1", "", "text/plain")->body, "abc-1");
  EXPECT_EQ(client.Put("/bridge/devices/special", "", "text/plain")->body, "exact");
  EXPECT_EQ(client.Put("/bridge/devices/", "", "text/plain")->status, 404);
  EXPECT_EQ(client.Put("/bridge/devices/abc/more", "", "text/plain")->status, 404);
  EXPECT_EQ(client.Put("/bridge/devices", "", "text/plain")->status, 404);
  EXPECT_EQ(service.requests("PUT", "/bridge/devices/{id}").size(), 2u);
}

TEST(TestService, HeldRequestWaitsForReleaseWithoutBlockingOthers) {
  TestService service;
  service.enqueue("POST", "/hold", Reply::held());
  auto held = std::async(std::launch::async, [&] {
    auto client = client_for(service);
    return client.Post("/hold", "payload", "text/plain");
  });

  // The request counts as held as soon as it is recorded, so releasing right away cannot miss it.
  ASSERT_TRUE(service.wait_for_requests("POST", "/hold", 1, 5s));
  EXPECT_EQ(service.held_count(), 1u);
  EXPECT_EQ(service.requests("POST", "/hold").at(0).body, "payload");
  auto other = client_for(service).Get("/other");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
  EXPECT_EQ(held.wait_for(100ms), std::future_status::timeout);

  service.release_held(Reply::json(200, "late"));
  const auto answer = held.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, "late");
  EXPECT_EQ(service.held_count(), 0u);
}

TEST(TestService, DestructionAnswersHeldAndDelayedRequestsPromptly) {
  auto service = std::make_unique<TestService>();
  service->set_default("GET", "/hold", Reply::held());
  Reply slow = Reply::json(200, "slow");
  slow.delay = 30s;
  service->set_default("GET", "/slow", slow);
  auto held = std::async(std::launch::async,
                         [c = client_for(*service)]() mutable { return c.Get("/hold"); });
  auto delayed = std::async(std::launch::async,
                            [c = client_for(*service)]() mutable { return c.Get("/slow"); });
  ASSERT_TRUE(service->wait_for_requests("GET", "/hold", 1, 5s));
  ASSERT_TRUE(service->wait_for_requests("GET", "/slow", 1, 5s));

  const auto start = Clock::now();
  service.reset();
  EXPECT_LT(Clock::now() - start, 3s);
  const auto held_answer = held.get();
  ASSERT_TRUE(held_answer);
  EXPECT_EQ(held_answer->status, 204);
  const auto delayed_answer = delayed.get();
  ASSERT_TRUE(delayed_answer);
  EXPECT_EQ(delayed_answer->body, "slow");
}

TEST(TestService, DroppedConnectionEndsWithoutAnyAnswer) {
  TestService service;
  service.enqueue("GET", "/drop", Reply::dropped());
  service.enqueue("GET", "/drop", Reply::dropped());
  service.set_default("GET", "/drop", Reply::json(200, "ok"));

  EXPECT_EQ(exchange_raw(service.port(), "GET /drop HTTP/1.1\r\nHost: x\r\n\r\n"), "");
  auto client = client_for(service);
  auto dropped = client.Get("/drop");
  EXPECT_FALSE(dropped);
  EXPECT_EQ(dropped.error(), httplib::Error::Read);
  auto next = client.Get("/drop");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->body, "ok");
  EXPECT_EQ(service.requests("GET", "/drop").size(), 3u);
}

TEST(TestService, DelayIsObservedAfterTheRequestIsRecorded) {
  TestService service;
  Reply slow = Reply::json(200, "slow");
  slow.delay = 400ms;
  service.enqueue("GET", "/slow", slow);
  EXPECT_FALSE(service.wait_for_requests("GET", "/slow", 1, 50ms));

  const auto start = Clock::now();
  auto answer = std::async(std::launch::async, [&] { return client_for(service).Get("/slow"); });
  ASSERT_TRUE(service.wait_for_requests("GET", "/slow", 1, 5s));
  EXPECT_LT(Clock::now() - start, 300ms);  // recorded before the delay, not after it
  const auto result = answer.get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->body, "slow");
  EXPECT_GE(Clock::now() - start, 400ms);
}

}  // namespace
}  // namespace test_service_test
}  // namespace kavor::service
