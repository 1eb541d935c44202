#include "common/http.h"

#include <gtest/gtest.h>
#include <QElapsedTimer>

#include "common/timing.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor {
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
  EXPECT_GE(took.elapsed(), 285);  // coarse timers may fire 5 % early
  timing::set_speedup(1);
}

}  // namespace
}  // namespace kavor
