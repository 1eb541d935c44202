// How much time the agent adds to one tool call, and how many calls it moves per second.
//
// The local service (the one scripts/run starts, here in-process on ephemeral ports, with its
// kept-alive connections) hands out no-op calls on the poll, one per poll, and reports when it
// answers a poll with a call and when the call's result arrives. "Added time" is the time between
// the two. The peer is the least any agent could do: a plain HTTP client on one kept-alive
// connection that polls, reads the call and posts a fixed result at once, in the same run on the
// same service.
//
// One read_file call through each door, same run: the bridge's added time for it (as above),
// and the protocol server's over standard input and output, from the request line written into
// the reader's pipe to the answer's line written out (mcp/stdio.h, mcp/server.h).
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/status.h"
#include "common/headless_host.h"
#include "desktop/notifications.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "local_service.h"
#include "mcp/event_relay.h"
#include "mcp/server.h"
#include "mcp/stdio.h"
#include "tools/approvals.h"
#include "tools/dispatch.h"
#include "tools/file_tools.h"
#include "tools/tool_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using kavor::common::Json;
using kavor::service::CallObserver;
using kavor::service::LocalService;

using NoHost = kavor::common::HeadlessHost;

class NoNotifications : public kavor::desktop::Notifications {
 public:
  bool notify(const kavor::desktop::NotifyRequest&) override { return false; }
  void clear_shown() override {}
};

// Queues `total` calls and times each from its poll answer to its result. For the latency runs
// the calls go one at a time: the next is queued when the result of the one before is in, so no
// call waits behind another. For the throughput runs all are queued at once.
struct CallScript {
  CallScript(int calls, std::string workspace, bool one_by_one, std::string tool_name = "noop",
             Json tool_args = Json::object())
      : total(calls),
        ws(std::move(workspace)),
        one_at_a_time(one_by_one),
        tool(std::move(tool_name)),
        args(std::move(tool_args)) {
    sent_at.resize(static_cast<std::size_t>(total));
    done_at.resize(static_cast<std::size_t>(total));
  }

  Json call(int n) const {
    return Json{{"id", "c" + std::to_string(n)},
                {"tool", tool},
                {"args", args},
                {"chat", "bench"},
                {"workspace", ws}};
  }
  void start(LocalService& service) {
    target = &service;
    for (int n = 0; n < (one_at_a_time ? 1 : total); ++n) service.queue_call(call(n));
  }
  CallObserver observer() {
    return CallObserver{[this](const std::string& id) { sent_at[number(id)] = Clock::now(); },
                        [this](const std::string& id) {
                          const std::size_t n = number(id);
                          done_at[n] = Clock::now();
                          if (one_at_a_time && static_cast<int>(n) + 1 < total) {
                            target->queue_call(call(static_cast<int>(n) + 1));
                          }
                          std::lock_guard lock(mutex);
                          ++results;
                        }};
  }
  static std::size_t number(const std::string& id) { return std::stoul(id.substr(1)); }
  int finished() {
    std::lock_guard lock(mutex);
    return results;
  }

  const int total;
  const std::string ws;
  const bool one_at_a_time;
  const std::string tool;
  const Json args;
  LocalService* target = nullptr;
  std::mutex mutex;
  int results = 0;
  // Each slot is written by one server thread, before the result that the main thread waits for.
  std::vector<Clock::time_point> sent_at;
  std::vector<Clock::time_point> done_at;
};

// Links a computer on the service; its secret.
std::string link(const LocalService& service) {
  httplib::Client client("127.0.0.1", service.api_port());
  auto answer =
      client.Post("/bridge/devices", {{"Authorization", "Bearer " + service.link_token()}},
                  R"({"name":"bench"})", "application/json");
  if (!answer || answer->status != 200) {
    std::fprintf(stderr, "bridge_bench: the service did not link the computer\n");
    std::exit(1);
  }
  return Json::parse(answer->body)["secret"].get<std::string>();
}

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Measure {
  double latency_ms = 0;  // median added time per call, one call at a time
  double batch_ms = 0;    // 200 calls back to back
};

// One run of the agent's bridge and dispatcher over `calls` no-op calls.
double run_agent(int calls, const std::string& ws, std::vector<double>* each,
                 bool bridge_only = false, bool read_file = false) {
  // Outlives the service, which reports to it.
  CallScript script =
      read_file ? CallScript(calls, ws, each != nullptr, "read_file", Json{{"path", "bench.txt"}})
                : CallScript(calls, ws, each != nullptr);
  LocalService svc;
  svc.set_observer(script.observer());
  const std::string secret = link(svc);
  script.start(svc);

  QTemporaryDir dir;
  auto creds = kavor::device::system_credential_store();
  auto store =
      kavor::device::DeviceStore::load(dir.filePath(QStringLiteral("device.json")), *creds,
                                       {QStringLiteral("kavor-bench"), QStringLiteral("x")});
  if (const auto saved =
          store->save({QStringLiteral("d"), QStringLiteral("n"), QString::fromStdString(secret)});
      !saved.ok()) {
    std::fprintf(stderr, "bridge_bench: %s\n", saved.message().c_str());
    std::exit(1);
  }
  kavor::tools::ToolTable tools;
  tools.add("noop",
            [](const Json&, const kavor::tools::Scope&) -> kavor::Result<kavor::tools::Decoded> {
              kavor::tools::Decoded d;
              d.summary = "noop";
              d.run = [](const kavor::tools::StopFlag&) { return kavor::tools::text_result("ok"); };
              return d;
            });
  kavor::tools::install_file_tools(tools);
  kavor::tools::Approvals approvals;
  approvals.set_mode("bench", kavor::tools::Mode::Everything);
  kavor::tools::RunningChats running;
  kavor::bridge::Status status;
  NoHost host;
  NoNotifications notes;
  QThreadPool pool;
  const kavor::tools::DispatchContext ctx{tools, approvals, running, host, notes, pool, {}};
  const QString api = QStringLiteral("http://127.0.0.1:%1").arg(svc.api_port());
  const kavor::common::Endpoints endpoints(
      QStringLiteral("http://127.0.0.1:%1/").arg(svc.app_port()), api);
  kavor::bridge::Bridge bridge(
      endpoints, *store, status, host, notes,
      [ctx, bridge_only](kavor::tools::Call call, QString) -> QCoro::Task<Json> {
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
  // The loop sleeps until there is work: spinning would take a core from the threads measured.
  // The timer wakes it to look at the count.
  QTimer look;
  look.start(10);
  while (script.finished() < calls) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const double total = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (each) {
    for (int i = 0; i < calls; ++i) {
      each->push_back(
          std::chrono::duration<double, std::milli>(script.done_at[i] - script.sent_at[i]).count());
    }
  }
  // The answer to the last result post comes after the result itself: until it is in, that
  // call's task keeps the agent's client, whose kept-alive connections would hold the service's
  // workers (and so its end) for their whole keep-alive time.
  const auto settle = Clock::now() + std::chrono::milliseconds(200);
  while (Clock::now() < settle) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  stop.request_stop();
  svc.stop();
  while (!task.isReady()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  store->forget();
  return total;
}

// The same over a plain HTTP client that does nothing but poll and post.
double run_peer(int calls, const std::string& ws, std::vector<double>* each) {
  CallScript script(calls, ws, each != nullptr);  // outlives the service, which reports to it
  LocalService svc;
  svc.set_observer(script.observer());
  const std::string secret = link(svc);
  script.start(svc);
  httplib::Client client("127.0.0.1", svc.api_port());
  client.set_keep_alive(true);
  // A post's headers and body go out in separate writes; without this the second waits for
  // the acknowledgement of the first.
  client.set_tcp_nodelay(true);
  const httplib::Headers auth = {{"Authorization", "Bearer " + secret}};
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

// `calls` read_file calls, one at a time, through the protocol server's stdio transport: each
// timed from its line written into the reader's pipe to its answer's line written out.
void run_mcp(int calls, const std::string& ws, std::vector<double>& each) {
  kavor::tools::ToolTable tools;
  kavor::tools::install_file_tools(tools);
  const std::vector<kavor::tools::ToolShape> shapes = kavor::tools::core_tool_shapes();
  kavor::tools::Approvals approvals;
  approvals.set_mode(kavor::mcp::kChat, kavor::tools::Mode::Everything);
  kavor::tools::RunningChats running;
  kavor::mcp::EventRelay relay;
  NoNotifications notes;
  QThreadPool pool;
  int in[2];
  if (::pipe(in) != 0) std::exit(1);
  const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  int answers = 0;
  kavor::mcp::LineWriter writer(out);
  kavor::mcp::Server server(
      kavor::mcp::ServerContext{tools, shapes, approvals, running, relay, notes, pool, {}},
      kavor::mcp::ServerOptions{{ws}, kavor::tools::Mode::Everything},
      [&](const Json& message, const Json&) {
        writer.write(kavor::mcp::serialize(message) + "\n", false);
        ++answers;
      });
  kavor::mcp::LineReader reader(in[0]);
  QObject::connect(&reader, &kavor::mcp::LineReader::line, &server, [&](const QByteArray& line) {
    server.receive_line(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
  });
  reader.start();
  const auto exchange = [&](const std::string& line) {
    const int before = answers;
    const auto sent = Clock::now();
    const std::string text = line + "\n";
    if (::write(in[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::exit(1);
    while (answers == before) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    writer.flush(std::chrono::seconds(10));  // the answer's line written out
    return std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
  };
  QTimer look;  // wakes the loop to look at the count
  look.start(10);
  exchange(
      R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})");
  for (int i = 1; i <= calls; ++i) {
    each.push_back(exchange(
        R"({"jsonrpc":"2.0","id":)" + std::to_string(i) +
        R"(,"method":"tools/call","params":{"name":"read_file","arguments":{"path":"bench.txt"}}})"));
  }
  ::close(in[1]);
  ::close(out);
  pool.waitForDone();
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
  std::vector<double> read_bridge, read_mcp;
  {
    // A file of 200 short lines: what a read of a small source file returns.
    std::FILE* file = std::fopen((workspace + "/bench.txt").c_str(), "w");
    for (int i = 0; i < 200; ++i) std::fprintf(file, "line %d of the file read by the bench\n", i);
    std::fclose(file);
  }
  for (int round = 0; round < kRounds; ++round) {
    run_agent(kLatencyCalls, workspace, &read_bridge, false, true);
    run_mcp(kLatencyCalls, workspace, read_mcp);
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
  std::printf("one read_file call, median of %d calls:\n", kLatencyCalls * kRounds);
  std::printf("  protocol %.3f ms   bridge %.3f ms   ratio %.2f\n", median_ms(read_mcp),
              median_ms(read_bridge), median_ms(read_mcp) / median_ms(read_bridge));
  return 0;
}
