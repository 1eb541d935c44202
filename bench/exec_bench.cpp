// How fast the agent takes in a command's output, and how much memory that costs it.
//
// One `shell` call runs the way a call does (decode, then run with every chunk sent to the page
// as an event), for a command that prints BYTES bytes of text. The host drops each event, as the
// agent does when no page listens; with --serialize it first turns it into JSON text, as the
// page bridge does before handing it to the page. Prints one line:
//   "{bytes} bytes in {ms} ms; peak {kB} kB above idle; {events} events; cpu {ms} ms"
// where cpu is the processor time the agent itself spent (the command's is not counted).
// The peak is the resident size at its highest during the run, less the resident size just
// before it. bench/run-exec times the same command piped to `cat > /dev/null` next to it.
// With --fenced the call runs as one nobody approved: inside the workspace fence.
//
// With --starts N it times instead what the fence adds to starting a command: N runs of `true`,
// alternately unfenced and fenced, from the start to the answer, and then N fences built and
// removed on their own, back to back (so each makes its run's folder itself, where a run takes
// the one made while the run before it ran); prints
//   "starts of true, medians of {N}: unfenced {us} us, fenced {us} us, fence adds {us} us
//    (building it {us} us, removing it {us} us)"
//
//   exec_bench [--serialize] [--fenced] BYTES
//   exec_bench --starts N
#include <sys/resource.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/config_dir.h"
#include "common/headless_host.h"
#include "exec/fence.h"
#include "exec/runner.h"
#include "tools/command_tools.h"

namespace {

using kavor::common::Json;

// Events are measured as the page bridge would turn them into text.
class PageHost : public kavor::common::HeadlessHost {
 public:
  void emit_event(const QString&, const Json& payload) override {
    if (serialize) bytes += kavor::common::json_text(payload).size();
    ++events;
  }
  bool serialize = false;
  std::uint64_t bytes = 0;
  std::uint64_t events = 0;
};

long long cpu_ms() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval& t) { return t.tv_sec * 1000LL + t.tv_usec / 1000; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string key; in >> key;) {
    if (key == field) {
      long kb = 0;
      in >> kb;
      return kb;
    }
    in.ignore(1 << 20, '\n');
  }
  return -1;
}

// The answer held in an optional: the blocking wait needs a value it can make empty first,
// which a result has not.
QCoro::Task<std::optional<kavor::tools::ToolResult>> held(
    QCoro::Task<kavor::tools::ToolResult> task) {
  kavor::tools::ToolResult result = co_await std::move(task);
  co_return std::optional<kavor::tools::ToolResult>(std::move(result));
}

// The program's fence, less the browsers' folders, which a bench machine may not have.
std::shared_ptr<const kavor::exec::Fence> bench_fence() {
  return std::make_shared<kavor::exec::Fence>([](const std::vector<std::filesystem::path>&) {
    return std::vector<kavor::exec::RefusedPlace>{
        {kavor::common::config_dir().path.toStdString()},
        {std::filesystem::path(QDir::tempPath().toStdString()) / "kavor-agent-browser-*"}};
  });
}

QCoro::Task<std::optional<kavor::exec::RunOutcome>> held_run(
    QCoro::Task<kavor::exec::RunOutcome> task) {
  kavor::exec::RunOutcome outcome = co_await std::move(task);
  co_return std::optional<kavor::exec::RunOutcome>(std::move(outcome));
}

long long median(std::vector<long long> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int time_starts(int count) {
  QTemporaryDir dir;
  const std::filesystem::path folder = std::filesystem::canonical(dir.path().toStdString());
  const auto fence = bench_fence();
  if (!fence->available()) {
    std::fprintf(stderr, "the kernel offers no Landlock\n");
    return 1;
  }
  std::vector<long long> plain;
  std::vector<long long> fenced;
  for (int i = 0; i < 2 * count; ++i) {
    const bool fencing = i % 2 == 1;
    kavor::exec::RunOptions options;
    if (fencing) options = kavor::exec::RunOptions{true, fence, {folder}};
    const auto start = std::chrono::steady_clock::now();
    const kavor::exec::RunOutcome outcome = *QCoro::waitFor(held_run(kavor::exec::run_command(
        kavor::exec::CommandRun{{"true", {}, {}, "bash"}, folder, std::chrono::seconds(60)}, {}, {},
        options)));
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    if (!outcome.ok()) {
      std::fprintf(stderr, "true failed: %s\n", outcome.message().c_str());
      return 1;
    }
    (fencing ? fenced : plain).push_back(us);
  }
  // The fence alone: building it (its folder, the walk and the rules) and taking it down again.
  std::vector<long long> built;
  std::vector<long long> dropped;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto prepared = fence->prepare({folder});
    const auto middle = std::chrono::steady_clock::now();
    if (!prepared.ok()) return 1;
    prepared = kavor::fail("dropped");
    const auto end = std::chrono::steady_clock::now();
    built.push_back(std::chrono::duration_cast<std::chrono::microseconds>(middle - start).count());
    dropped.push_back(std::chrono::duration_cast<std::chrono::microseconds>(end - middle).count());
  }
  const long long a = median(plain);
  const long long b = median(fenced);
  std::printf(
      "starts of true, medians of %d: unfenced %lld us, fenced %lld us, fence adds %lld us "
      "(building it %lld us, removing it %lld us)\n",
      count, a, b, b - a, median(built), median(dropped));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "--starts")
    return time_starts(std::max(1, std::atoi(args[1].c_str())));
  const auto flag = [&args](const char* name) {
    const auto found = std::find(args.begin(), args.end(), name);
    if (found == args.end()) return false;
    args.erase(found);
    return true;
  };
  const bool serialize = flag("--serialize");
  const bool fenced = flag("--fenced");
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: exec_bench [--serialize] [--fenced] BYTES | --starts N\n");
    return 2;
  }
  const std::string bytes = args[0];
  // The same text the peer's command prints; see bench/run-exec.
  const std::string command =
      "yes 'kavor agent benchmark line: 0123456789 abcdefghij' | head -c " + bytes;

  QTemporaryDir dir;
  const kavor::tools::Scope scope{std::filesystem::canonical(dir.path().toStdString()), {}};
  const auto decoded = kavor::tools::shell_tool(fenced ? bench_fence() : nullptr)(
      Json{{"command", command}, {"timeout", 1800}}, scope);
  if (!decoded.ok()) {
    std::fprintf(stderr, "%s\n", decoded.message().c_str());
    return 1;
  }
  const kavor::tools::Decoded* call = &decoded.value();
  PageHost host;
  host.serialize = serialize;
  auto stop = std::make_shared<std::atomic<bool>>(false);

  const long idle = status_kb("VmRSS:");
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const long long cpu_before = cpu_ms();
  const auto start = std::chrono::steady_clock::now();
  const kavor::tools::ToolResult result = *QCoro::waitFor(
      held(call->run_async(kavor::tools::RunContext{"bench", "bench", stop, &host, fenced})));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  const long peak = status_kb("VmHWM:");
  if (!result.ok()) {
    std::fprintf(stderr, "the command failed: %s\n", result.message().c_str());
    return 1;
  }
  std::printf("%s bytes in %lld ms; peak %ld kB above idle; %llu events; cpu %lld ms\n",
              bytes.c_str(), static_cast<long long>(ms), peak - idle,
              static_cast<unsigned long long>(host.events), cpu_ms() - cpu_before);
  return 0;
}
