// The application's own commands, called as the page calls them: through the command table,
// with JSON arguments.
#include "app/commands.h"

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "bridge/status.h"
#include "desktop/notifications.h"
#include "desktop/watchdog.h"
#include "device/credential_store.h"
#include "device/device_store.h"
#include "platform/os_info.h"
#include "support/agent_state.h"
#include "support/recording_host.h"
#include "support/wait.h"
#include "test_service.h"
#include "tools/approvals.h"

namespace kavor::app {
namespace commands_test {
namespace {

using service::Reply;
using service::TestService;

class Shown : public desktop::Notifications {
 public:
  bool notify(const desktop::NotifyRequest&) override { return true; }
  void clear_shown() override { ++cleared; }
  int cleared = 0;
};

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_->device = device::DeviceStore::load(
        dir_.filePath(QStringLiteral("device.json")), *creds_,
        {QStringLiteral("kavor-commands-test"), QString::fromStdString(svc_.base_url())});
    install_commands(table_, CommandContext{endpoints(), *state_, host_, notes_, {}});
  }
  void TearDown() override { state_->device->forget(); }
  common::Endpoints endpoints() const {
    return common::Endpoints(QString::fromStdString(svc_.base_url() + "/"),
                             QString::fromStdString(svc_.base_url()));
  }
  CommandResult call(const std::string& name, common::Json args = common::Json::object()) {
    return test::run(table_.invoke(name, args));
  }

  TestService svc_;
  QTemporaryDir dir_;
  std::unique_ptr<device::CredentialStore> creds_ = device::system_credential_store();
  std::unique_ptr<AgentState> state_ = test::agent_state_in(dir_.path());
  test::RecordingHost host_;
  Shown notes_;
  CommandTable table_;
};

TEST_F(CommandsTest, AllTwentyFourCommandsExistAndBadArgumentsNeverReachThem) {
  EXPECT_EQ(table_.names().size(), 24u);
  EXPECT_EQ(call("agent_teleport").message(), "Unknown command agent_teleport.");
  EXPECT_EQ(call("agent_link").message(), "Command agent_link needs the argument token.");
  EXPECT_EQ(call("agent_link", {{"token", 5}}).message(),
            "The argument token of command agent_link must be a string.");
  EXPECT_EQ(call("agent_decide", {{"call_id", "x"}, {"answer", "allow"}}).message(),
            "Command agent_decide needs the argument callId.");
  EXPECT_EQ(call("agent_watch_reply", {{"chat", "c"}, {"mid", "1"}, {"token", "t"}}).message(),
            "The argument mid of command agent_watch_reply must be a number.");
  EXPECT_EQ(call("agent_watch_reply", {{"chat", "c"}, {"mid", 0}, {"token", "t"}}).message(),
            "invalid message id");
  EXPECT_EQ(call("agent_info", common::Json::array()).message(),
            "The arguments of agent_info must be an object.");
  EXPECT_TRUE(svc_.requests().empty());
}

TEST_F(CommandsTest, InfoLinkAndUnlinkDescribeThisComputer) {
  const common::Json before = call("agent_info").value();
  const auto& os = platform::os_values();
  EXPECT_EQ(before.dump(), common::Json({{"version", "0.7.3"},
                                         {"os", "linux"},
                                         {"os_version", os.os_version.toStdString()},
                                         {"os_id", os.os_id.toStdString()},
                                         {"os_build", os.os_build.toStdString()},
                                         {"arch", os.arch.toStdString()},
                                         {"device", nullptr},
                                         {"connected", false}})
                               .dump());

  svc_.enqueue("POST", "/bridge/devices", Reply::json(403, R"({"message":"Sign in again."})"));
  EXPECT_EQ(call("agent_link", {{"token", "t"}}).message(), "Sign in again.");

  svc_.set_default("POST", "/bridge/devices",
                   Reply::json(200, R"({"device":{"id":7},"secret":"s"})"));
  const CommandResult linked = call("agent_link", {{"token", "t"}});
  ASSERT_TRUE(linked.ok()) << linked.message();
  EXPECT_EQ(linked.value()["device"]["id"], "7");
  EXPECT_EQ(linked.value()["device"].begin().key(), "id");  // id, then name
  state_->status.online = true;
  EXPECT_EQ(call("agent_info").value()["connected"], true);

  const CommandResult unlinked = call("agent_unlink", {{"token", nullptr}});
  ASSERT_TRUE(unlinked.ok());
  EXPECT_TRUE(unlinked.value()["device"].is_null());
  EXPECT_TRUE(svc_.requests("DELETE", "/bridge/devices/{id}").empty());
  EXPECT_EQ(notes_.cleared, 1);
}

TEST_F(CommandsTest, LinksOpenOutsideOnlyForWebAndMail) {
  for (const char* bad :
       {"ftp://example.org/f", "file:///etc/hosts", "just some text", "", "javascript:alert(1)"}) {
    EXPECT_EQ(call("agent_open_url", {{"url", bad}}).message(),
              "only http, https and mailto links open outside the app")
        << bad;
  }
  EXPECT_TRUE(call("agent_open_url", {{"url", "mailto:help@example.org"}}).ok());
  EXPECT_TRUE(call("agent_open_url", {{"url", "https://example.org/a?b#c"}}).ok());
  EXPECT_EQ(host_.opened, (std::vector<QString>{QStringLiteral("mailto:help@example.org"),
                                                QStringLiteral("https://example.org/a?b#c")}));
  host_.open_error = QStringLiteral("no browser");
  EXPECT_EQ(call("agent_open_url", {{"url", "http://example.org"}}).message(),
            "could not open the link: no browser");

  EXPECT_EQ(call("agent_pay", {{"url", "http://pay.example.org/"}}).message(),
            "payment links must be https");
  EXPECT_EQ(call("agent_pay", {{"url", "not a url at all"}}).message(), "invalid payment url");
  EXPECT_EQ(call("agent_pay", {{"url", "ht tp://x"}}).message(), "invalid payment url");
  EXPECT_TRUE(call("agent_pay", {{"url", "https://pay.example.org/checkout"}}).ok());
  EXPECT_EQ(host_.payments,
            std::vector<QString>{QStringLiteral("https://pay.example.org/checkout")});
}

TEST_F(CommandsTest, FolderChecksAndPickers) {
  namespace fs = std::filesystem;
  const fs::path root = dir_.path().toStdString();
  fs::create_directories(root / "folder");
  std::ofstream(root / "file.txt") << "x";
  fs::create_directory_symlink(root / "folder", root / "link");
  const auto status = [&](const std::string& path) {
    return call("agent_path_status", {{"path", path}}).value().get<std::string>();
  };
  EXPECT_EQ(status("relative/path"), "invalid");
  EXPECT_EQ(status("   "), "invalid");
  EXPECT_EQ(status((root / "file.txt").string()), "not_folder");
  EXPECT_EQ(status((root / "gone").string()), "missing");
  EXPECT_EQ(status("  " + (root / "folder").string() + "  "), "ok");
  EXPECT_EQ(status((root / "link").string()), "ok");
  // A check that cannot run at all says so in its own words, not as an unknown failure.
  const CommandResult failed = test::run(path_status_command(
      QString::fromStdString(root.string()),
      [](const QString&) -> QString { throw std::runtime_error("out of threads"); }));
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.message(), "Checking the folder failed: out of threads");

  EXPECT_TRUE(call("agent_pick_folder").value().is_null());
  host_.picked = QStringLiteral("/home/me/project");
  EXPECT_EQ(call("agent_pick_folder").value(), "/home/me/project");
  EXPECT_EQ(call("chatgpt_pick_export").value(), "/home/me/project");
  ASSERT_EQ(host_.titles.size(), 3u);
  EXPECT_EQ(host_.titles[0].toStdString(),
            "\u067e\u0648\u0634\u0647\u06cc \u06a9\u0627\u0631\u06cc \u0631\u0627 "
            "\u0627\u0646\u062a\u062e\u0627\u0628 \u06a9\u0646\u06cc\u062f");
  EXPECT_EQ(host_.titles[2], QStringLiteral("ChatGPT export|ChatGPT export (zip)|zip"));

  EXPECT_TRUE(call("agent_alive").ok());
}

}  // namespace
}  // namespace commands_test
}  // namespace kavor::app
