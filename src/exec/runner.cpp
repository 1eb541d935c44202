#include "exec/runner.h"

#include <poll.h>
#include <unistd.h>

#include <qcorofuture.h>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>
#include <coroutine>
#include <cstdlib>
#include <mutex>

#include "common/timing.h"
#include "common/utf8.h"
#include "exec/fence.h"
#include "exec/output.h"
#include "exec/process_tree.h"
#include "exec/run_folders.h"
#include "exec/run_keeper.h"

namespace kavor::exec {

namespace {

using Clock = std::chrono::steady_clock;

// What the program's end spends removing the temporary folders of the runs it ended.
constexpr std::chrono::seconds kExitFolderRemoval{1};

// Bytes taken from a pipe by one read.
constexpr std::size_t kReadBuffer = 64 * 1024;

// A look at a pipe that took this much found a busy stream: the reader then rests kBusyPause
// before the next, so that the pipe fills instead of each small write waking it.
constexpr std::size_t kBusyDrain = 128 * 1024;
constexpr std::chrono::milliseconds kBusyPause{1};

// Kills run on threads of their own: a sweep of /proc takes milliseconds, which the event
// loop must not spend, and a busy shared pool must not delay a stop.
QThreadPool& kill_pool() {
  static QThreadPool pool;
  return pool;
}

// Building fences has threads of its own, and so has removing the folders of fenced runs
// (seconds for a folder of many files): neither waits in front of a kill, and no start waits
// behind another run's removal.
QThreadPool& fence_pool() {
  static QThreadPool pool;
  return pool;
}
QThreadPool& removal_pool() {
  static QThreadPool pool;
  return pool;
}

void register_exit_hook() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Whichever comes first: the application object going away, or the process exiting.
    if (QCoreApplication::instance() != nullptr) qAddPostRoutine(kill_running_commands);
    std::atexit(kill_running_commands);
  });
}

// Resumes the waiting run from the event loop, never from inside the callback that rang: the
// run may then destroy the very notifier whose callback is still on the stack.
class Wakeup : public QObject {
 public:
  struct Awaiter {
    Wakeup* self;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiting) noexcept { self->waiting_ = waiting; }
    void await_resume() const noexcept {}
  };
  Awaiter next() { return Awaiter{this}; }

  void ring() {
    if (!waiting_ || posted_) return;
    posted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          posted_ = false;
          if (auto waiting = std::exchange(waiting_, nullptr)) waiting.resume();
        },
        Qt::QueuedConnection);
  }

 private:
  std::coroutine_handle<> waiting_;
  bool posted_ = false;
};

// One output pipe, read on the event loop as it fills.
class PipeReader {
 public:
  PipeReader(int fd, OutputCapture& capture, const OutputSink& sink, Wakeup& wake)
      : fd_(fd), capture_(capture), sink_(sink), wake_(wake) {
    if (fd_ < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { drain(); });
    pause_.setSingleShot(true);
    pause_.setTimerType(Qt::PreciseTimer);
    pause_.setInterval(kBusyPause);
    QObject::connect(&pause_, &QTimer::timeout, notifier_.get(), [this] {
      if (notifier_) notifier_->setEnabled(true);
    });
  }
  // Dropped with the run: nothing more goes to the sink, whose receiver may be gone.
  ~PipeReader() {
    notifier_.reset();
    if (fd_ >= 0) ::close(fd_);
  }
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  bool done() const { return fd_ < 0; }

  // Stops reading; what the decoder still holds goes out as the last chunk.
  void close() {
    if (fd_ < 0) return;
    notifier_.reset();
    ::close(fd_);
    fd_ = -1;
    if (std::string rest = decoder_.finish(); !rest.empty() && sink_) sink_(std::move(rest));
  }

 private:
  void drain() {
    static thread_local char buffer[kReadBuffer];
    std::size_t budget = kReadBurst;
    // A busy stream: let the pipe fill a moment before the next look, so that one wake-up
    // takes much instead of every small write waking the reader.
    const auto rest = [&] {
      if (kReadBurst - budget < kBusyDrain || fd_ < 0) return;
      notifier_->setEnabled(false);
      pause_.start();
    };
    while (budget > 0 && fd_ >= 0) {
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, budget));
      if (n > 0) {
        const auto size = static_cast<std::size_t>(n);
        budget -= std::min(budget, size);
        for (std::size_t at = 0; at < size; at += kChunkBytes) {
          emit_chunk(std::string_view(buffer + at, std::min(kChunkBytes, size - at)));
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return rest();
      // The end of the stream, or a read error, which ends this reader just the same.
      close();
      wake_.ring();
    }
    rest();
  }

  void emit_chunk(std::string_view bytes) {
    capture_.add(bytes);
    if (!sink_) return;
    if (std::string text = decoder_.decode(bytes); !text.empty()) sink_(std::move(text));
  }

  int fd_;
  OutputCapture& capture_;
  const OutputSink& sink_;
  Wakeup& wake_;
  StreamDecoder decoder_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QTimer pause_;
};

// Rings when the process ends (its process descriptor turns readable, and stays so: the
// watch then turns itself off).
class ExitWatch {
 public:
  ExitWatch(int fd, Wakeup& wake) {
    if (fd < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this, &wake] {
      notifier_->setEnabled(false);
      wake.ring();
    });
  }

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

// A run dropped before its end (the call abandoned, the program shutting down) ends its tree.
class KillUnlessFinished {
 public:
  KillUnlessFinished(ProcessTree& tree, std::unique_ptr<Child>& child)
      : tree_(tree), child_(child) {}
  ~KillUnlessFinished() {
    if (finished_) return;
    tree_.kill_all();
    if (child_) abandon(std::move(child_));
  }
  KillUnlessFinished(const KillUnlessFinished&) = delete;
  KillUnlessFinished& operator=(const KillUnlessFinished&) = delete;
  void finished() { finished_ = true; }

 private:
  ProcessTree& tree_;
  std::unique_ptr<Child>& child_;
  bool finished_ = false;
};

QCoro::Task<> kill_tree(ProcessTree& tree) {
  QFuture<void> killing = QtConcurrent::run(&kill_pool(), [&tree] { tree.kill_all(); });
  co_await killing;
}

// Output of nothing but white space, Unicode's included, shows as "(no output)": a run that
// printed only a no-break space printed nothing a person can see.
bool shows_nothing(std::string_view text) {
  return common::trim_end_unicode(text).empty();
}

RunOutcome outcome(std::string text, const std::string& note, std::optional<int> code,
                   bool fenced) {
  if (shows_nothing(text)) text = "(no output)";
  text += note;
  if (note.empty() && code == 0) return text;
  // -1: the process was collected elsewhere, so its code is not known.
  if (code && *code >= 0) text += "\n[exit code " + std::to_string(*code) + "]";
  // Only a command that ended by itself may have been stopped by the fence.
  if (fenced && note.empty() && code && *code > 0) text += kFenceLine;
  return fail(std::move(text));
}

// Building a fence reads a few folders; the event loop does not wait on the disk for it.
QCoro::Task<Result<std::shared_ptr<RunFence>>> prepare_off_loop(const RunOptions& options) {
  QFuture<Result<std::shared_ptr<RunFence>>> preparing = QtConcurrent::run(
      &fence_pool(), [&options] { return options.fence->prepare(options.writable); });
  co_return co_await preparing;
}

}  // namespace

std::string timed_out_note(std::chrono::seconds timeout) {
  return "\n[timed out after " + std::to_string(timeout.count()) + " seconds and was stopped]";
}

std::string start_failure_message(const std::string& program, const std::filesystem::path& folder,
                                  const Error& failure) {
  switch (failure.kind()) {
    case ErrorKind::NoProgram:
      return program + " is not installed or not on PATH.";
    case ErrorKind::NotFound:
      return "The folder " + common::utf8_lossy(folder.string()) + " does not exist.";
    default:
      break;
  }
  return "Could not start " + program + ": " + failure.message();
}

QCoro::Task<RunOutcome> run_command(CommandRun run, StopSignal stop, OutputSink sink,
                                    RunOptions options) {
  register_exit_hook();

  // 1. Start, inside the fence when there is one (its folder outlives the tree's end below).
  std::shared_ptr<RunFence> fence;
  if (options.fence) {
    QCoro::Task<Result<std::shared_ptr<RunFence>>> preparing = prepare_off_loop(options);
    Result<std::shared_ptr<RunFence>> prepared = co_await preparing;
    if (!prepared.ok()) {
      co_return fail("Could not set up the workspace fence for " + run.process.program + ": " +
                     prepared.message());
    }
    fence = std::move(prepared.value());
    // The next fenced run's folder is made while this one runs.
    fence_pool().start([] { make_spare_run_folder(); });
  }
  // A stop that came while the fence was being built: nothing has started, nothing starts.
  if (stop && stop->load()) co_return outcome("", kStoppedNote, std::nullopt, fence != nullptr);
  ProcessTree tree(options.use_cgroup);
  SpawnRequest request{run.process, run.folder, tree.marker(), tree.cgroup_procs()};
  if (fence) {
    request.fence_fd = fence->ruleset_fd();
    const std::string temp = fence->temp_folder().string();
    request.env = {"TMPDIR=" + temp, "TMP=" + temp};
    if (const std::optional<RunView>& view = fence->view()) {
      request.view = &*view;
      request.unset = view->unset;
    }
  }
  Result<std::unique_ptr<Child>> started = spawn(request);
  if (!started.ok()) {
    co_return fail(start_failure_message(run.process.program, run.folder, started.error()));
  }
  std::unique_ptr<Child> child = std::move(started).value();
  tree.set_leader(child->pid());
  const ino_t run_namespace = request.view != nullptr ? remember_run_namespace(child->pid()) : 0;
  KillUnlessFinished guard(tree, child);

  // 2. Read both pipes; be woken by output, by the end of the process, and by a tick.
  Wakeup wake;
  OutputCapture capture;
  PipeReader out(child->take_out(), capture, sink, wake);
  PipeReader err(child->take_err(), capture, sink, wake);
  ExitWatch exit_watch(child->exit_fd(), wake);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &wake, [&wake] { wake.ring(); });
  tick.start(common::timing::scaled(kStopPoll));

  // 3. The end, the time-out or the stop, whichever comes first.
  const auto deadline = Clock::now() + common::timing::io_limit(run.timeout);
  std::string note;
  std::optional<int> code;
  while (!(code = child->poll_exit())) {
    if (stop && stop->load()) {
      note = kStoppedNote;
      break;
    }
    if (Clock::now() >= deadline) {
      note = timed_out_note(run.timeout);
      break;
    }
    co_await wake.next();
  }

  // 4. A time-out or a stop ends the whole tree; then the process is waited for.
  if (!note.empty()) {
    QCoro::Task<> killing = kill_tree(tree);
    co_await killing;
    const auto give_up = Clock::now() + common::timing::io_limit(kExitAfterKill);
    while (!(code = child->poll_exit()) && Clock::now() < give_up) co_await wake.next();
  }

  // 5. The readers' last moments. A stop now still ends what the command left running.
  const auto readers_end = Clock::now() + common::timing::io_limit(kReaderGrace);
  while (!(out.done() && err.done()) && Clock::now() < readers_end) {
    if (note.empty() && stop && stop->load()) {
      note = kStoppedNote;
      QCoro::Task<> killing = kill_tree(tree);
      co_await killing;
    }
    co_await wake.next();
  }
  out.close();
  err.close();
  tick.stop();

  // 6. The answer.
  guard.finished();
  if (!child->poll_exit()) abandon(std::move(child));
  RunOutcome answer = outcome(capture.text(), note, code, fence != nullptr);
  if (fence) {
    // What the command left in its temporary folder may be large: removed off the loop, and
    // only once nothing the run left running still uses it.
    QFuture<void> removing = QtConcurrent::run(
        &removal_pool(), [&fence, run_namespace] { release_run(std::move(fence), run_namespace); });
    co_await removing;
  }
  co_return answer;
}

Result<Collected> collect_output(const ProcessDescription& process,
                                 const std::filesystem::path& folder,
                                 std::chrono::milliseconds timeout, const std::atomic<bool>& stop) {
  Collected result;
  ProcessTree tree(true);
  Result<std::unique_ptr<Child>> started =
      spawn(SpawnRequest{process, folder, tree.marker(), tree.cgroup_procs()});
  if (!started.ok()) return started.error();
  std::unique_ptr<Child> child = std::move(started).value();
  tree.set_leader(child->pid());
  int fds[2] = {child->take_out(), child->take_err()};
  std::string* into[2] = {&result.out, &result.err};
  const auto deadline = Clock::now() + common::timing::io_limit(timeout);
  std::optional<Clock::time_point> readers_end;
  std::optional<Clock::time_point> kill_end;
  char buffer[kReadBuffer];
  while (true) {
    const auto now = Clock::now();
    if (!kill_end && (stop.load() || now >= deadline)) {
      result.cut_short = true;
      tree.kill_all();
      kill_end = now + common::timing::io_limit(kExitAfterKill);
    }
    const bool ended = child->poll_exit().has_value();
    if (ended && !readers_end) readers_end = now + common::timing::io_limit(kReaderGrace);
    if (ended && ((fds[0] < 0 && fds[1] < 0) || now >= *readers_end)) break;
    if (!ended && kill_end && now >= *kill_end) break;  // stuck in the kernel
    // Closed pipes are left out of the poll, which then only waits for the next look.
    pollfd polls[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    ::poll(polls, 2, static_cast<int>(common::timing::scaled(kStopPoll).count()));
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || polls[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        const auto size = static_cast<std::size_t>(n);
        if (into[i]->size() < kCollectLimit) {
          into[i]->append(buffer, std::min(size, kCollectLimit - into[i]->size()));
        }
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        ::close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (const int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  if (!result.cut_short) result.code = child->poll_exit();
  if (!child->poll_exit()) abandon(std::move(child));
  return result;
}

void kill_running_commands() {
  kill_live_trees();
  // What fenced runs that ended left running goes too: nobody approved it.
  end_fenced_runs();
  remove_live_run_folders(kExitFolderRemoval);
}

}  // namespace kavor::exec
