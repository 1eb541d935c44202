// How much time the agent adds to one tool call, and how many calls it moves per second.
//
// The substitute service hands out no-op calls on the poll and records when each result
// arrives. "Added time" is from the moment the service answers a poll with a call until the
// result post reaches it. The peer is the least any agent could do: a plain HTTP client that
// polls, reads the call and posts a fixed result at once, in the same run on the same service.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/status.h"
#include "common/headless_host.h"
#include "desktop/notifications.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "test_service.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"
#include "tools/tool_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using kavor::Json;
using kavor::service::RecordedRequest;
using kavor::service::Reply;
using kavor::service::TestService;

using NoHost = kavor::HeadlessHost;

class NoNotifications : public kavor::Notifications {
 public:
  bool notify(const kavor::NotifyRequest&) override { return false; }
  void clear_shown() override {}
};

// Hands out `total` calls, one per poll, and times each from its poll answer to its result.
struct CallScript {
  explicit CallScript(int calls, std::string workspace) : total(calls), ws(std::move(workspace)) {}

  Reply next_poll() {
    std::lock_guard lock(mutex);
    if (handed == total) return Reply::held();
    const int n = handed++;
    sent_at.push_back(Clock::now());
    Json call = {{"id", "c" + std::to_string(n)},
                 {"tool", "noop"},
                 {"args", Json::object()},
                 {"chat", "bench"},
                 {"workspace", ws}};
    return Reply::json(200, Json({{"call", call}}).dump());
  }
  void result(const RecordedRequest& r) {
    const auto now = Clock::now();
    const int n = std::stoi(Json::parse(r.body)["call_id"].get<std::string>().substr(1));
    std::lock_guard lock(mutex);
    done_at.resize(std::max<std::size_t>(done_at.size(), n + 1));
    done_at[n] = now;
    ++results;
  }
  int finished() {
    std::lock_guard lock(mutex);
    return results;
  }

  const int total;
  const std::string ws;
  std::mutex mutex;
  int handed = 0;
  int results = 0;
  std::vector<Clock::time_point> sent_at;
  std::vector<Clock::time_point> done_at;
};

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Measure {
  double latency_ms = 0;  // median added time per call, one call at a time
  double batch_ms = 0;    // 200 calls back to back
};

void serve(TestService& svc, CallScript& script) {
  svc.set_handler("GET", "/bridge/poll",
                  [&](const RecordedRequest&) { return script.next_poll(); });
  svc.set_handler("POST", "/bridge/result", [&](const RecordedRequest& r) {
    script.result(r);
    return Reply::json(200, "{}");
  });
}

// One run of the agent's bridge and dispatcher over `calls` no-op calls.
double run_agent(int calls, const std::string& ws, std::vector<double>* each,
                 bool bridge_only = false) {
  TestService svc;
  CallScript script(calls, ws);
  serve(svc, script);

  QTemporaryDir dir;
  auto creds = kavor::device::system_credential_store();
  auto store =
      kavor::device::DeviceStore::load(dir.filePath(QStringLiteral("device.json")), *creds,
                                       {QStringLiteral("kavor-bench"), QStringLiteral("x")});
  store->save({QStringLiteral("d"), QStringLiteral("n"), QStringLiteral("s")});
  kavor::tools::ToolTable tools;
  tools.add("noop", [](const Json&, const kavor::tools::Scope&) -> kavor::tools::DecodeResult {
    kavor::tools::Decoded d;
    d.summary = "noop";
    d.run = [](const kavor::tools::StopFlag&) { return kavor::tools::ToolResult::success("ok"); };
    return d;
  });
  kavor::tools::Approvals approvals;
  kavor::tools::RunningChats running;
  kavor::Status status;
  NoHost host;
  NoNotifications notes;
  QThreadPool pool;
  const kavor::tools::DispatchContext ctx{tools, approvals, running, host, notes, pool, {}};
  const kavor::Endpoints endpoints(QString::fromStdString(svc.base_url() + "/"),
                                   QString::fromStdString(svc.base_url()));
  kavor::Bridge bridge(
      endpoints, *store, status, host, notes,
      [ctx, bridge_only](kavor::Call call, QString) -> QCoro::Task<Json> {
        if (bridge_only) {
          co_return Json({{"call_id", call.id.toStdString()}, {"status", "ok"}, {"output", "ok"}});
        }
        QCoro::Task<Json> dispatching = kavor::tools::dispatch(std::move(call), ctx);
        Json record = co_await dispatching;
        co_return record;
      });
  std::stop_source stop;
  auto task = bridge.run(stop.get_token());
  const auto start = Clock::now();
  while (script.finished() < calls) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  const double total = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (each) {
    for (int i = 0; i < calls; ++i) {
      each->push_back(
          std::chrono::duration<double, std::milli>(script.done_at[i] - script.sent_at[i]).count());
    }
  }
  stop.request_stop();
  svc.release_held();
  while (!task.isReady()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  store->forget();
  return total;
}

// The same over a plain HTTP client that does nothing but poll and post.
double run_peer(int calls, const std::string& ws, std::vector<double>* each) {
  TestService svc;
  CallScript script(calls, ws);
  serve(svc, script);
  httplib::Client client("127.0.0.1", svc.port());
  client.set_keep_alive(true);
  const httplib::Headers auth = {{"Authorization", "Bearer s"}};
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) {
    auto poll = client.Get("/bridge/poll", auth);
    if (!poll || poll->status != 200) break;
    const Json call = Json::parse(poll->body)["call"];
    const Json record = {{"call_id", call["id"]}, {"status", "ok"}, {"output", "ok"}};
    client.Post("/bridge/result", auth, record.dump(), "application/json");
  }
  const double total = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (each) {
    for (int i = 0; i < calls; ++i) {
      each->push_back(
          std::chrono::duration<double, std::milli>(script.done_at[i] - script.sent_at[i]).count());
    }
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir ws;
  const std::string workspace = ws.path().toStdString();
  constexpr int kLatencyCalls = 100;
  constexpr int kBatch = 200;
  constexpr int kRounds = 5;

  std::vector<double> ours_each, peer_each, ours_batch, peer_batch, bridge_each;
  for (int round = 0; round < kRounds; ++round) {
    run_agent(kLatencyCalls, workspace, &bridge_each, true);
    run_agent(kLatencyCalls, workspace, &ours_each);
    run_peer(kLatencyCalls, workspace, &peer_each);
    ours_batch.push_back(run_agent(kBatch, workspace, nullptr));
    peer_batch.push_back(run_peer(kBatch, workspace, nullptr));
  }
  const double ours_latency = median_ms(ours_each);
  const double peer_latency = median_ms(peer_each);
  const double ours_total = median_ms(ours_batch);
  const double peer_total = median_ms(peer_batch);
  std::printf("call latency (poll answer to result post), median of %d calls:\n",
              kLatencyCalls * kRounds);
  std::printf("  agent %.3f ms   plain client %.3f ms   ratio %.2f\n", ours_latency, peer_latency,
              ours_latency / peer_latency);
  std::printf("  (bridge alone, without the dispatcher: %.3f ms)\n", median_ms(bridge_each));
  std::printf("%d calls back to back, median of %d runs:\n", kBatch, kRounds);
  std::printf("  agent %.1f ms (%.0f calls/s)   plain client %.1f ms (%.0f calls/s)   ratio %.2f\n",
              ours_total, kBatch * 1000.0 / ours_total, peer_total, kBatch * 1000.0 / peer_total,
              ours_total / peer_total);
  return 0;
}
