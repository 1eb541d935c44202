#include "app/start_probe.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "common/timing.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::app {
namespace start_probe_test {
namespace {

using service::Reply;
using service::TestService;

using test::RecordingHost;

class StartProbe : public ::testing::Test {
 protected:
  void SetUp() override { common::timing::set_speedup(100); }  // 5 s between attempts become 50 ms
  void TearDown() override {
    stop_.request_stop();
    test::wait_until([] { return false; }, std::chrono::milliseconds(150));
    common::timing::set_speedup(1);
  }
  common::Endpoints endpoints() const {
    return common::Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                             QString::fromStdString(svc_.base_url()));
  }
  // The probe runs on this thread's event loop, so waiting must keep the loop turning.
  bool requests_reach(std::size_t count) {
    return test::wait_until([&] { return svc_.requests("GET", "/").size() >= count; });
  }
  TestService svc_;
  std::stop_source stop_;
  std::shared_ptr<RecordingHost> host_ =
      std::make_shared<RecordingHost>(QUrl(QStringLiteral("kavor://localhost/index.html")));
};

TEST_F(StartProbe, ReachableServiceLoadsTheApplicationStraightAway) {
  // A 404 still proves the application's host answers.
  svc_.set_default("GET", "/", Reply::text(404, "not here"));
  auto task = run_start_probe(host_, endpoints(), stop_.get_token());
  ASSERT_TRUE(test::wait_until([&] { return task.isReady(); }));
  EXPECT_EQ(host_->visited, std::vector<QString>{endpoints().app_url().toString()});
}

TEST_F(StartProbe, FailuresShowTheLoaderThenTheErrorPageOncePerReason) {
  svc_.set_default("GET", "/", Reply::dropped());
  auto task = run_start_probe(host_, endpoints(), stop_.get_token());
  ASSERT_TRUE(requests_reach(5));
  svc_.set_default("GET", "/", Reply::text(503, "busy"));
  const std::size_t seen = svc_.requests("GET", "/").size();
  ASSERT_TRUE(requests_reach(seen + 4));
  svc_.set_default("GET", "/", Reply::text(200, "<html></html>", "text/html"));
  ASSERT_TRUE(test::wait_until([&] { return task.isReady(); }));

  const std::vector<QString> expected = {
      QStringLiteral("kavor://localhost/index.html#offline"),
      QStringLiteral("kavor://localhost/error.html#offline"),
      QStringLiteral("kavor://localhost/error.html#server"),
      endpoints().app_url().toString(),
  };
  EXPECT_EQ(host_->visited, expected);
}

TEST_F(StartProbe, WithoutAWindowItKeepsTryingAndNeverCountsTheAttempt) {
  host_->has_window = false;
  svc_.set_default("GET", "/", Reply::text(500, "down"));
  auto task = run_start_probe(host_, endpoints(), stop_.get_token());
  ASSERT_TRUE(requests_reach(3));
  host_->has_window = true;
  // The first failure seen with a window is still the first: the loader gets the fragment.
  ASSERT_TRUE(test::wait_until([&] { return !host_->visited.empty(); }));
  EXPECT_EQ(host_->visited.front(), QStringLiteral("kavor://localhost/index.html#server"));
  EXPECT_FALSE(task.isReady());
}

}  // namespace
}  // namespace start_probe_test
}  // namespace kavor::app
