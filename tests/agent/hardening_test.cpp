// Attacks on the tool-call core, each through the whole agent against the substitute service:
// paths that lead out of the workspace (through long link chains, links in project files,
// folders swapped for links while a call runs), command texts that hide where they reach, what
// a refused call tells the assistant, and calls that race each other, the user and the
// program's end.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "agent/agent_fixture.h"
#include "common/diff.h"
#include "support/temp_tree.h"
#include "tools/approvals.h"
#include "tools/file_text.h"
#include "tools/file_tools.h"

namespace kavor::tools {
namespace hardening_test {
namespace {

using test::wait_until;

// A chain that passes the link `s -> .` forty times: the kernel's limit, used up before the
// link that leads out.
std::string chain() {
  std::string out;
  for (int i = 0; i < 40; ++i) out += "s/";
  return out;
}

class HardeningTest : public test::AgentTest {
 protected:
  fs::path ws() const { return ws_ / "a"; }
  fs::path outside() const { return ws_ / "b"; }
  Approvals& approvals() { return agent_->state().approvals; }
  // The record of a call, given `answer` if it waits for the user.
  std::optional<common::Json> answered(const std::string& id, const std::string& answer) {
    if (!wait_until([&] { return !states(id).empty() || !results(id).empty(); })) {
      return std::nullopt;
    }
    if (!states(id).empty() && states(id).front() == "pending") decide(id, answer);
    return result(id);
  }
};

TEST_F(HardeningTest, PathAttacksNeverReachOutsideTheWorkspace) {
  test::write_file(outside() / "secret.txt", "TOP SECRET\n");
  fs::create_directories(ws() / ".git" / "hooks");
  fs::create_symlink(".", ws() / "s");
  fs::create_symlink("../b", ws() / "out");
  fs::create_symlink(".git", ws() / "g");
  const std::string through = chain();
  struct Case {
    const char* name;
    const char* mode;
    const char* tool;
    common::Json args;
  } cases[] = {
      {"read after the link budget", "ask", "read_file", {{"path", through + "out/secret.txt"}}},
      {"list after the link budget", "ask", "list_dir", {{"path", through + "out"}}},
      {"grep after the link budget",
       "ask",
       "grep",
       {{"pattern", "SECRET"}, {"path", through + "out"}}},
      {"write after the link budget",
       "auto",
       "write_file",
       {{"path", through + "out/new.txt"}, {"content", "x"}}},
      {"hook through the link budget",
       "everything",
       "write_file",
       {{"path", through + "g/hooks/pre-commit"}, {"content", "#!/bin/sh\n"}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string id = "path-" + std::to_string(++n);
    const std::string chat = std::string("chat-") + c.mode;
    ASSERT_TRUE(set_mode(chat, c.mode));
    deliver(id, c.tool, c.args, chat);
    const auto record = answered(id, "allow");
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ((*record)["status"], "error") << c.name;
    EXPECT_NE((*record)["output"].get<std::string>().find("too many levels of symbolic links"),
              std::string::npos)
        << c.name << ": " << (*record)["output"];
    EXPECT_EQ(states(id), std::vector<std::string>{}) << c.name;  // refused before the gate
  }
  EXPECT_FALSE(fs::exists(outside() / "new.txt"));
  EXPECT_FALSE(fs::exists(ws() / ".git" / "hooks" / "pre-commit"));

  // Memory runs without asking: a .kavor-agent that reaches outside through the chain must
  // still be refused.
  fs::create_symlink(through + "out", ws() / ".kavor-agent");
  deliver("memory", "save_memory", {{"title", "Build"}, {"content", "make"}});
  const auto memory = result("memory");
  ASSERT_TRUE(memory);
  EXPECT_EQ((*memory)["status"], "error");
  EXPECT_FALSE(fs::exists(outside() / "memory"));
  fs::remove(ws() / ".kavor-agent");

  // Project files that lead out of the workspace count as absent.
  fs::create_symlink(outside() / "secret.txt", ws() / "AGENTS.md");
  fs::create_symlink("/proc/self/environ", ws() / "AGENT.md");
  fs::create_directories(ws() / ".kavor-agent");
  fs::create_symlink(outside() / "secret.txt", ws() / ".kavor-agent" / "index.md");
  const common::Json workspace = {{"workspace", ws().string()}};
  app::CommandResult context = command("agent_project_context", workspace);
  ASSERT_TRUE(context.ok());
  EXPECT_EQ(context.value().dump(),
            R"({"instructions_file":"","instructions":"","memory_index":null,"memories":0})");
  fs::remove(ws() / "AGENT.md");
  test::write_file(ws() / "AGENT.md", "be brief\n");
  context = command("agent_project_context", workspace);
  EXPECT_EQ(context.value()["instructions_file"], "AGENT.md");
  EXPECT_EQ(context.value()["instructions"], "be brief\n");
}

// Swaps a folder of the workspace with a link out of it, back and forth, as fast as it can.
class Swapper {
 public:
  Swapper(const fs::path& folder, const fs::path& link) : folder_(folder), link_(link) {
    thread_ = std::thread([this] {
      while (!done_.load()) {
        ::renameat2(AT_FDCWD, folder_.c_str(), AT_FDCWD, link_.c_str(), RENAME_EXCHANGE);
        ++swaps_;
      }
    });
  }
  ~Swapper() {
    done_ = true;
    thread_.join();
    // Leave the folder in its place.
    struct stat st {};
    if (::lstat(folder_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      ::renameat2(AT_FDCWD, folder_.c_str(), AT_FDCWD, link_.c_str(), RENAME_EXCHANGE);
    }
  }
  int swaps() const { return swaps_.load(); }

 private:
  fs::path folder_;
  fs::path link_;
  std::atomic<bool> done_{false};
  std::atomic<int> swaps_{0};
  std::thread thread_;
};

TEST_F(HardeningTest, AFolderSwappedForALinkDuringARunDoesNotCarryTheRunOutside) {
  fs::create_directories(ws() / "tree" / "sub");
  test::write_file(ws() / "tree" / "sub" / "data.txt", "inside\n");
  test::write_file(outside() / "data.txt", "SECRET outside\n");
  fs::create_symlink(outside(), ws() / "tree" / "swap");

  // Writes decoded while "sub" was a folder never land in the folder the link leads to.
  const Decoder write = write_file_tool();
  const Decoder grep = grep_tool();
  const Scope scope{ws(), {}};
  int runs = 0;
  {
    Swapper swapper(ws() / "tree" / "sub", ws() / "tree" / "swap");
    for (; runs < 400; ++runs) {
      Result<Decoded> decoded = fail("not decoded yet");
      do {
        decoded = write(common::Json{{"path", "tree/sub/new.txt"}, {"content", "planted"}}, scope);
      } while (decoded.value().outside);
      static_cast<void>(decoded.value().run(nullptr));  // refused or written inside
      ASSERT_FALSE(fs::exists(outside() / "new.txt")) << "after " << runs << " runs";

      Result<Decoded> search =
          grep(common::Json{{"pattern", "SECRET|inside"}, {"path", "tree"}}, scope);
      const ToolResult found = search.value().run(nullptr);
      ASSERT_EQ(found.value().output.find("SECRET"), std::string::npos) << found.value().output;
    }
    EXPECT_GT(swapper.swaps(), runs);
  }
}

TEST_F(HardeningTest, ARefusedCallCarriesNothingReadFromATargetOutside) {
  test::write_file(outside() / "secret.txt", "TOP SECRET\n");
  const std::string secret = (outside() / "secret.txt").string();
  struct Case {
    const char* name;
    const char* mode;
    const char* tool;
    common::Json args;
    std::string detail;  // in the record posted to the service
  } cases[] = {
      {"denied write",
       "ask",
       "write_file",
       {{"path", secret}, {"content", "new\n"}},
       common::unified_diff("", "new\n")},
      {"read-only write",
       "readonly",
       "write_file",
       {{"path", secret}, {"content", "new\n"}},
       common::unified_diff("", "new\n")},
      {"denied edit",
       "ask",
       "edit_file",
       {{"path", secret}, {"old_text", "TOP"}, {"new_text", "NOT"}},
       common::unified_diff("TOP", "NOT")},
      // Whether the text occurs in a file outside is the user's to reveal, not the decoder's.
      {"edit of text that is not there",
       "ask",
       "edit_file",
       {{"path", secret}, {"old_text", "password"}, {"new_text", "x"}},
       common::unified_diff("password", "x")},
      {"edit of a file that is not there",
       "auto",
       "edit_file",
       {{"path", (outside() / "none.txt").string()}, {"old_text", "a"}, {"new_text", "b"}},
       common::unified_diff("a", "b")},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string id = "record-" + std::to_string(++n);
    const std::string chat = std::string("chat-") + c.mode;
    ASSERT_TRUE(set_mode(chat, c.mode));
    deliver(id, c.tool, c.args, chat);
    const auto record = answered(id, "deny");
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ((*record)["status"], "denied") << c.name;
    EXPECT_EQ((*record)["outside"], true) << c.name;
    EXPECT_EQ((*record)["detail"], c.detail) << c.name;
    EXPECT_EQ(record->dump().find("SECRET"), std::string::npos) << c.name;
  }
  EXPECT_EQ(test::read_file(outside() / "secret.txt"), "TOP SECRET\n");

  // Inside the workspace the assistant may read the file anyway: the record shows the change.
  test::write_file(ws() / "notes.txt", "one\n");
  deliver("inside", "write_file", {{"path", "notes.txt"}, {"content", "two\n"}});
  const auto inside = answered("inside", "deny");
  ASSERT_TRUE(inside);
  EXPECT_EQ((*inside)["detail"], common::unified_diff("one\n", "two\n"));

  // A file above the read limit is described, not read, before the user answers.
  fs::resize_file(ws() / "notes.txt", 64 << 20);
  deliver("big", "write_file", {{"path", "notes.txt"}, {"content", "small\n"}});
  ASSERT_TRUE(wait_until([&] { return !states("big").empty(); }));
  const common::Json pending = command("agent_pending", common::Json::object()).value();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]["detail"], "the file is 67108864 bytes; its changes are not shown");
  decide("big", "deny");
  ASSERT_TRUE(result("big"));
}

// Sets an environment variable for the life of a test, as the agent and its commands see it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name), old_(qgetenv(name)) {
    had_ = qEnvironmentVariableIsSet(name);
    qputenv(name, QByteArray::fromStdString(value));
  }
  ~ScopedEnv() {
    if (had_) {
      qputenv(name_, old_);
    } else {
      qunsetenv(name_);
    }
  }

 private:
  const char* name_;
  QByteArray old_;
  bool had_ = false;
};

TEST_F(HardeningTest, CommandsThatReachOutsideWaitForTheUserAndOrdinaryOnesRunAtOnce) {
  // A home folder with a key, outside the workspace, and a link to it planted inside.
  const fs::path home = outside() / "home";
  fs::create_directories(home / ".ssh");
  test::write_file(home / ".ssh" / "id_rsa", "SECRET KEY\n");
  test::write_file(outside() / "secret.txt", "SECRET TEXT\n");
  fs::create_symlink(home, ws() / "docs");
  fs::create_symlink("src", ws() / "inner");
  fs::create_directories(ws() / "src");
  test::write_file(ws() / "src" / "a.txt", "a\n");
  test::write_file(ws() / "src" / "b.txt", "b\n");
  test::write_file(ws() / "README.md", "read me\n");
  const std::string key = (home / ".ssh" / "id_rsa").string();
  test::write_file(ws() / "list.txt", key + "\n");
  const std::string hidden_key = QByteArray::fromStdString(key).toBase64().toStdString();
  const std::string hidden_cd = QByteArray("cd; cat .ssh/id_rsa").toBase64().toStdString();
  const ScopedEnv fake_home("HOME", home.string());
  ASSERT_TRUE(set_mode("c", "auto"));

  struct Case {
    std::string command;
    bool outside;
    std::string cwd = "";
  } cases[] = {
      // Links planted in the workspace, reached by their name, a pattern, quotes or "..".
      {"cat docs/.ssh/id_rsa", true},
      {"cat d*/.ssh/id_rsa", true},
      {"cat do\"cs\"/.ssh/id_rsa", true},
      {"cat do\\cs/.ssh/id_rsa", true},
      {"cat {src,docs}/.ssh/id_rsa", true},
      {"cat docs/../secret.txt", true},
      // Folders changed to where the text does not say.
      {"cd; cat .ssh/id_rsa", true},
      {"cd ~ && cat .ssh/id_rsa", true},
      {"cd - && cat .ssh/id_rsa", true},
      {"cd $NO_SUCH_FOLDER && cat .ssh/id_rsa", true},
      {"pushd ~; cat .ssh/id_rsa", true},
      {"cd ..; cd ..; cat b/secret.txt", true, "src"},
      {"for i in 1 2; do cd ..; done; cat b/secret.txt", true, "src"},
      // Text the shell builds or reads, never shown to the check as it runs.
      {"cat $(echo " + hidden_key + " | base64 -d)", true},
      {"cat `echo " + hidden_key + " | base64 -d`", true},
      {"echo " + hidden_key + " | base64 -d | xargs cat", true},
      {"echo " + hidden_cd + " | base64 -d | bash", true},
      {"eval cd\\; cat .ssh/id_rsa", true},
      {"bash -c 'cd; cat .ssh/id_rsa'", true},
      {"bash <<< 'cd; cat .ssh/id_rsa'", true},
      {"sh -c \"cat \\$HOME/.ssh/id_rsa\"", true},
      // Variables the check cannot read.
      {"cat $KEY_FOLDER/id_rsa", true},
      {"cat ${KEY_FOLDER:-$HOME}/.ssh/id_rsa", true},
      {"cat $'\\x2e\\x2e'/b/secret.txt", true},
      {"read -r p < list.txt; cat $p", true},
      {"echo $HOME", true},
      // Ordinary work stays inside.
      {"make test", false},
      {"ls src", false},
      {"git status", false},
      {"npm run build", false},
      {"cat ./README.md", false},
      {"grep -r foo .", false},
      {"cd src && ls", false},
      {"git commit -m \"fix a/b\"", false},
      {"git commit -m 'Don'\\''t read the notes twice; cd later'", false},
      {"ls -la inner/", false},
      {"cat src/*.txt src/{a,b}.txt", false},
      {"for f in src/*.txt; do wc -l $f; done", false},
      {"echo done > out.txt && cat ../a/out.txt", false},
      {"awk '{print $1}' README.md | sort | uniq -c", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string id = "cmd-" + std::to_string(++n);
    deliver(id, "shell", {{"command", c.command}, {"cwd", c.cwd}});
    ASSERT_TRUE(wait_until([&] { return !states(id).empty(); })) << c.command;
    EXPECT_EQ(states(id).front(), c.outside ? "pending" : "running") << c.command;
    if (states(id).front() == "pending") decide(id, "deny");
    const auto record = result(id);
    ASSERT_TRUE(record) << c.command;
    EXPECT_EQ((*record)["outside"], c.outside) << c.command;
    EXPECT_EQ(record->dump().find("SECRET"), std::string::npos) << c.command;
  }
  for (const common::Json& e : host_.events(QStringLiteral("agent://output"))) {
    EXPECT_EQ(e.dump().find("SECRET"), std::string::npos) << e.dump();
  }
}

TEST_F(HardeningTest, ASecondCallWithALiveIdIsRefusedAndTakesOverNothing) {
  deliver("dup", "write_file", {{"path", "a.txt"}, {"content", "asked for"}});
  ASSERT_TRUE(wait_until([&] { return states("dup") == std::vector<std::string>{"pending"}; }));
  deliver("dup", "write_file", {{"path", (outside() / "evil.txt").string()}, {"content", "x"}});
  ASSERT_TRUE(wait_until([&] { return results("dup").size() == 1; }));
  EXPECT_EQ(results("dup")[0].dump(),
            R"({"call_id":"dup","status":"error","output":"A call with the id dup is already )"
            R"(in progress, so this one was not run."})");
  const common::Json pending = command("agent_pending", common::Json::object()).value();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]["summary"], "a.txt");
  EXPECT_TRUE(decide("dup", "allow"));
  ASSERT_TRUE(wait_until([&] { return results("dup").size() == 2; }));
  EXPECT_EQ(results("dup")[1]["status"], "ok");
  EXPECT_EQ(test::read_file(ws() / "a.txt"), "asked for");
  EXPECT_FALSE(fs::exists(outside() / "evil.txt"));

  // Once the first call has ended, the id may be used again.
  deliver("dup", "read_file", {{"path", "a.txt"}});
  ASSERT_TRUE(wait_until([&] { return results("dup").size() == 3; }));
  EXPECT_EQ(results("dup")[2]["status"], "ok");
}

// A grep that would run for minutes: every file under /usr, for a text found nowhere.
common::Json endless_grep() {
  return {{"pattern", "kavor-no-such-text-[0-9]{12}"}, {"path", "/usr"}};
}

TEST_F(HardeningTest, StopEndsASearchAndLongRunsDelayNothingElse) {
  ASSERT_TRUE(set_mode("c", "everything"));
  for (const char* id : {"g1", "g2", "g3"}) {
    deliver(id, "grep", endless_grep());
    ASSERT_TRUE(wait_until([&] { return states(id) == std::vector<std::string>{"running"}; }));
  }
  // Three long searches hold three threads; folder checks and other calls go on meanwhile.
  EXPECT_EQ(command("agent_path_status", {{"path", ws().string()}}).value(), "ok");
  test::write_file(ws() / "quick.txt", "quick\n");
  deliver("quick", "read_file", {{"path", "quick.txt"}});
  const auto quick = result("quick", std::chrono::seconds(5));
  ASSERT_TRUE(quick);
  EXPECT_EQ((*quick)["status"], "ok");
  EXPECT_TRUE(results("g1").empty());

  for (const char* id : {"g1", "g2", "g3"}) {
    EXPECT_EQ(command("agent_stop", {{"callId", id}}).value(), common::Json(true));
  }
  for (const char* id : {"g1", "g2", "g3"}) {
    const auto stopped = result(id, std::chrono::seconds(5));
    ASSERT_TRUE(stopped) << id;
    EXPECT_EQ((*stopped)["status"], "error");
    EXPECT_EQ((*stopped)["output"], "[stopped by the user]");
  }
}

TEST_F(HardeningTest, ConcurrentEditsOfOneFileNeverLoseOneOrMixThem) {
  // Large enough that reading and writing it take a while: both runs are then under way at once.
  std::string text;
  while (text.size() < (8 << 20)) text += std::string(99, 'x') + "\n";
  text.replace(1000, 3, "AAA");
  text.replace(text.size() - 1000, 3, "BBB");
  for (int round = 0; round < 3; ++round) {
    test::write_file(ws() / "big.txt", text);
    const std::string first = "e" + std::to_string(round) + "a";
    const std::string second = "e" + std::to_string(round) + "b";
    deliver(first, "edit_file", {{"path", "big.txt"}, {"old_text", "AAA"}, {"new_text", "aa"}});
    deliver(second, "edit_file", {{"path", "big.txt"}, {"old_text", "BBB"}, {"new_text", "bbbb"}});
    ASSERT_TRUE(wait_until([&] { return !states(first).empty() && !states(second).empty(); }));
    // Both were decoded against the same text; both are allowed at the same moment.
    approvals().decide_call(first, Answer::Allow);
    approvals().decide_call(second, Answer::Allow);
    const auto a = result(first);
    const auto b = result(second);
    ASSERT_TRUE(a && b);
    const int succeeded = ((*a)["status"] == "ok") + ((*b)["status"] == "ok");
    EXPECT_EQ(succeeded, 1) << (*a)["output"] << " / " << (*b)["output"];
    const std::string after = test::read_file(ws() / "big.txt");
    std::string only_a = text;
    only_a.replace(1000, 3, "aa");
    std::string only_b = text;
    only_b.replace(text.size() - 1000, 3, "bbbb");
    EXPECT_TRUE(after == only_a || after == only_b) << "round " << round;
  }
}

TEST_F(HardeningTest, AnAnswerAtTheEndOfTheWaitEitherWinsOrIsRefused) {
  // The wait is 540 ms at this speed; answers land around its end with the event loop held
  // still in between, so the answer and the time-out are both due when it runs again.
  common::timing::set_speedup(1000);
  Approvals gate_keeper;
  int n = 0;
  for (const int offset : {-30, -10, -3, 0, 2, 5, 10, 30}) {
    CallInfo info;
    info.call_id = "late-" + std::to_string(++n);
    info.chat = "c";
    info.kind = ToolKind::Write;
    const auto ticket = gate_keeper.admit(info.call_id);
    QCoro::Task<GateOutcome> waiting = gate_keeper.gate(info, *ticket, host_, notes_, {});
    ASSERT_EQ(gate_keeper.pending().size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(540 + offset));
    const bool taken = gate_keeper.decide_call(info.call_id, Answer::Allow);
    ASSERT_TRUE(wait_until([&] { return waiting.isReady(); }));
    const GateOutcome outcome = test::run(std::move(waiting));
    EXPECT_EQ(outcome.proceed, taken) << "offset " << offset << ": " << outcome.denial;
    EXPECT_EQ(gate_keeper.decide_call(info.call_id, Answer::Deny), false);
    gate_keeper.release(*ticket);
  }
}

TEST_F(HardeningTest, A401ForAnOldSecretKeepsTheNewLink) {
  ASSERT_TRUE(wait_until([&] { return svc_.held_count() == 1; }));
  // The user unlinked and linked again while the poll with the old secret was held.
  ASSERT_TRUE(
      device().save({QStringLiteral("d2"), QStringLiteral("n"), QStringLiteral("s2")}).ok());
  svc_.release_held(service::Reply::json(401, "{}"));
  ASSERT_TRUE(wait_until([&] {
    const auto polls = svc_.requests("GET", "/bridge/poll");
    return !polls.empty() && polls.back().header("authorization") == "Bearer s2" &&
           svc_.held_count() == 1;
  }));
  EXPECT_EQ(device().secret(), QStringLiteral("s2"));
  EXPECT_EQ(notes_.unlinked.load(), 0);
  EXPECT_TRUE(host_.events(QStringLiteral("agent://device")).empty());

  // A 401 for the secret in use does forget it.
  svc_.release_held(service::Reply::json(401, "{}"));
  ASSERT_TRUE(wait_until([&] { return notes_.unlinked.load() == 1; }));
  EXPECT_FALSE(device().linked());
}

// The real credential store, with removals that take a while (as a locked keyring does).
class SlowRemovals : public device::CredentialStore {
 public:
  explicit SlowRemovals(std::unique_ptr<device::CredentialStore> real) : real_(std::move(real)) {}
  std::optional<QString> read(const QString& s, const QString& a) override {
    return real_->read(s, a);
  }
  bool write(const QString& s, const QString& a, const QString& p) override {
    return real_->write(s, a, p);
  }
  void remove(const QString& s, const QString& a) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    real_->remove(s, a);
  }

 private:
  std::unique_ptr<device::CredentialStore> real_;
};

TEST_F(HardeningTest, TheAgentEndsSafelyWhileWorkIsInFlight) {
  creds_ = std::make_unique<SlowRemovals>(device::system_credential_store());
  agent_.reset();
  start_agent();
  ASSERT_TRUE(set_mode("c", "everything"));
  deliver("long", "grep", endless_grep());
  ASSERT_TRUE(wait_until([&] { return states("long") == std::vector<std::string>{"running"}; }));
  ASSERT_TRUE(set_mode("c", "ask"));
  deliver("waits", "write_file", {{"path", "later.txt"}, {"content", "x"}});
  ASSERT_TRUE(wait_until([&] { return states("waits") == std::vector<std::string>{"pending"}; }));
  // The service rejects the device: forgetting it starts on a worker and takes a while.
  ASSERT_TRUE(wait_until([&] { return svc_.held_count() == 1; }));
  svc_.release_held(service::Reply::json(401, "{}"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  QCoreApplication::processEvents();

  agent_.reset();  // the window closes now
  // Whatever was waiting wakes up later (the approval's time-out, replies): nothing may touch
  // what is gone.
  wait_until([] { return false; }, std::chrono::milliseconds(6000));
  EXPECT_TRUE(results("waits").empty());
}

}  // namespace
}  // namespace hardening_test
}  // namespace kavor::tools
