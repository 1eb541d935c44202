#include "common/http.h"

#include <gtest/gtest.h>
#include <QElapsedTimer>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "common/timing.h"
#include "support/other_user.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::common {
namespace http_test {
namespace {

using service::Reply;
using service::TestService;

TEST(HttpClient, SendsTheUserAgentAndBearerAndReturnsStatusAndBody) {
  TestService svc;
  svc.set_default("POST", "/echo", Reply::json(418, R"({"ok":false})"));
  auto client = http_client();
  QNetworkRequest req = client->request(QString::fromStdString(svc.base_url() + "/echo"));
  set_bearer(req, QStringLiteral(" tok"));
  const HttpResponse res = test::run(client->send("POST", req, "payload"));
  ASSERT_TRUE(res.answered());
  EXPECT_EQ(res.status, 418);
  EXPECT_FALSE(res.success());
  EXPECT_EQ(res.body, QByteArray(R"({"ok":false})"));
  const auto recorded = svc.requests("POST", "/echo");
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].header("user-agent"), "kavor-agent/0.7.3");
  EXPECT_EQ(recorded[0].header("authorization"), "Bearer  tok");  // unchanged, not trimmed
  EXPECT_EQ(recorded[0].body, "payload");
}

TEST(HttpClient, TransportFailuresAndTheTotalTimeOutAreReportedAsSuch) {
  // The shared client waits 40 seconds; this test's client 300 ms, however fast the test clock.
  EXPECT_EQ(kRequestTimeout, std::chrono::seconds(40));
  timing::set_speedup(1000);
  std::string refused_url;
  {
    TestService gone;
    refused_url = gone.base_url() + "/x";
  }
  TestService svc;
  svc.set_default("GET", "/hold", Reply::held());
  svc.set_default("GET", "/drop", Reply::dropped());
  auto client = std::make_unique<HttpClient>(std::chrono::milliseconds(300));

  const HttpResponse refused =
      test::run(client->send("GET", client->request(QString::fromStdString(refused_url))));
  EXPECT_FALSE(refused.answered());
  EXPECT_FALSE(refused.transport_error->isEmpty());

  const HttpResponse dropped = test::run(
      client->send("GET", client->request(QString::fromStdString(svc.base_url() + "/drop"))));
  EXPECT_FALSE(dropped.answered());

  QElapsedTimer took;
  took.start();
  const HttpResponse held = test::run(
      client->send("GET", client->request(QString::fromStdString(svc.base_url() + "/hold"))));
  EXPECT_EQ(held.transport_error, QStringLiteral("operation timed out"));
  // Coarse timers may fire 5 % early, and the elapsed time is counted in whole milliseconds.
  EXPECT_GE(took.elapsed(), 280);
  timing::set_speedup(1);
}

// Another user who listens on the service's loopback port before it does would be handed the
// device secret by every poll, and answer it with calls to run.
TEST(HttpClient, SendsNothingToALoopbackPortAnotherUserListensOn) {
  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  FILE* peer = popen(
      ("sh -c 'echo $$; exec " + other.run_as() + KAVOR_LOOPBACK_PEER + " serve 0 </dev/null'")
          .c_str(),
      "r");
  int pid = 0;
  unsigned port = 0;
  ASSERT_TRUE(peer != nullptr && std::fscanf(peer, "%d port %u", &pid, &port) == 2);
  auto client = http_client();
  QNetworkRequest request =
      client->request(QStringLiteral("http://127.0.0.1:%1/bridge/poll").arg(port));
  set_bearer(request, QStringLiteral("device-secret"));
  const HttpResponse response = test::run(client->send("GET", request));
  kill(pid, SIGTERM);
  std::string heard;
  for (int c = std::fgetc(peer); c != EOF; c = std::fgetc(peer)) heard += static_cast<char>(c);
  pclose(peer);
  ASSERT_FALSE(response.answered());
  EXPECT_TRUE(response.foreign_listener);
  EXPECT_TRUE(response.transport_error->contains(QString::number(other.uid())))
      << response.transport_error->toStdString();
  EXPECT_EQ(heard.find("request"), std::string::npos) << heard;
}

// A listener may appear between the client's look at the port and its connection; one that has
// gone again by the time it answers (or is still another user's) is not the service.
TEST(HttpClient, TakesNoAnswerFromALoopbackListenerThatIsGoneByThen) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  // NOLINTNEXTLINE: the socket API takes the generic address type.
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  ASSERT_TRUE(::bind(listener, generic, size) == 0 && ::listen(listener, 1) == 0 &&
              ::getsockname(listener, generic, &size) == 0);
  std::thread server([listener] {
    const int connection = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    char request[4096];
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
    if (::read(connection, request, sizeof request) > 0) {
      [[maybe_unused]] const ssize_t sent = ::write(connection, answer.data(), answer.size());
    }
    ::close(connection);
  });
  auto client = http_client();
  const HttpResponse response = test::run(client->send(
      "GET",
      client->request(QStringLiteral("http://127.0.0.1:%1/x").arg(ntohs(address.sin_port)))));
  server.join();
  EXPECT_FALSE(response.answered());
}

}  // namespace
}  // namespace http_test
}  // namespace kavor::common
