// Helpers for tests that run real commands: running one to its end with its live chunks, and
// telling whether a process is still alive. The test process makes itself the reaper of the
// orphans its commands leave, so that they are collected rather than left as zombies.
#pragma once

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "exec/run_keeper.h"
#include "exec/runner.h"
#include "support/wait.h"

namespace kavor::exec::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What a run answered: its output, or its failure's text (which holds the output too).
inline const std::string& output(const RunOutcome& outcome) {
  return outcome.ok() ? outcome.value() : outcome.message();
}

struct Ran {
  RunOutcome outcome = std::string();
  std::vector<std::string> chunks;
  std::chrono::milliseconds took{0};
};

inline CommandRun bash(const std::string& script, const fs::path& folder,
                       std::chrono::seconds timeout = 60s) {
  // Not a login shell: these tests are about the runner, and a login shell costs half a second.
  return CommandRun{ProcessDescription{"bash", {"-c", script}, {}, "bash"}, folder, timeout};
}

inline Ran run(CommandRun command, StopSignal stop = {}, RunOptions options = {}) {
  Ran ran;
  const auto start = std::chrono::steady_clock::now();
  ran.outcome = kavor::test::run(run_command(
      std::move(command), std::move(stop), [&](std::string chunk) { ran.chunks.push_back(chunk); },
      options));
  ran.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return ran;
}

// Alive and not a zombie.
// What a command left in `file`: all of it, or its first line.
inline std::string read_all(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
inline std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

inline bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

inline std::vector<pid_t> pids_in(const fs::path& file) {
  std::vector<pid_t> out;
  std::ifstream in(file);
  for (long pid; in >> pid;) out.push_back(static_cast<pid_t>(pid));
  return out;
}

inline bool all_gone(const std::vector<pid_t>& pids, std::chrono::milliseconds within = 3s) {
  return kavor::test::wait_until(
      [&] {
        for (const pid_t pid : pids) {
          if (alive(pid)) return false;
        }
        return true;
      },
      within);
}

// The id, outside, of the process a fenced command knows as `inside`: fenced runs share the PID
// namespace of the keeper where there is one (the last of a process's ids is the one there), and
// otherwise the two are the same.
inline pid_t outside_pid(pid_t inside) {
  const std::shared_ptr<const RunKeeper> keeper = run_keeper();
  struct stat kept {};
  if (!keeper || ::fstat(keeper->pid_namespace(), &kept) != 0) return inside;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    struct stat ns {};
    if (::stat((entry.path() / "ns" / "pid").c_str(), &ns) != 0 || ns.st_ino != kept.st_ino) {
      continue;
    }
    std::ifstream status(entry.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("NSpid:", 0) != 0) continue;
      std::istringstream ids(line.substr(6));
      std::vector<pid_t> all;
      for (long id; ids >> id;) all.push_back(static_cast<pid_t>(id));
      if (all.size() >= 2 && all.back() == inside) return all.front();
      break;
    }
  }
  return 0;
}
// The processes that run with `argument` among their arguments (a test's marker).
inline std::vector<pid_t> pids_running(const std::string& argument) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline");
    for (std::string arg; std::getline(in, arg, '\0');) {
      if (arg == argument) found.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return found;
}

inline std::vector<pid_t> outside_pids(const std::vector<pid_t>& inside) {
  std::vector<pid_t> out;
  for (const pid_t pid : inside) out.push_back(outside_pid(pid));
  return out;
}

class RealProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  void TearDown() override {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
  // Outside /tmp: a fenced run has a /tmp of its own, where what the test made would simply be
  // missing rather than refused.
  QTemporaryDir dir_{QStringLiteral("/var/tmp/exec_tests-XXXXXX")};
  fs::path folder_ = fs::canonical(dir_.path().toStdString());
};

// An environment variable set (or, with nothing, removed) for as long as this lives.
class EnvFor {
 public:
  EnvFor(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvFor() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvFor(const EnvFor&) = delete;
  EnvFor& operator=(const EnvFor&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// HOME pointing at a test's own home for as long as this lives (the fence reads it to find the
// credential folders it refuses).
class HomeFor : public EnvFor {
 public:
  explicit HomeFor(const fs::path& home) : EnvFor("HOME", home.string()) {}
};

}  // namespace kavor::exec::test
