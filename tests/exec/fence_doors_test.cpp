// The workspace fence through both doors: a command that runs without asking (mode "auto") is
// fenced alike whether the chat service sent it through the bridge or a protocol client sent it
// to `kavor-agent mcp`. Each command is inside the workspace by its text; what it runs reaches
// out, so only the fence stands between it and the place.
#include <gtest/gtest.h>

#include <fstream>

#include "agent/agent_fixture.h"
#include "exec/fence.h"
#include "mcp/session.h"

namespace kavor::tools {
namespace fence_doors_test {
namespace {

using kavor::test::wait_until;

class FenceDoorsTest : public kavor::test::AgentTest {
 protected:
  void SetUp() override {
    if (exec::landlock_abi() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
    AgentTest::SetUp();
  }
};

TEST_F(FenceDoorsTest, UnpromptedCommandsAreFencedAlikeThroughTheBridgeAndTheProtocol) {
  const fs::path ws = ws_ / "a";
  const fs::path device = ws_ / "config" / "kavor-agent" / "device.json";
  fs::create_directories(device.parent_path());
  std::ofstream(device) << "DEVICE-SECRET";
  struct Case {
    const char* why;
    std::string script;  // run as `sh <file>`: the command's text names nothing outside
    std::string status;
    fs::path made;  // a file the script makes, when it may
  };
  const std::vector<Case> cases = {
      {"a write beside the workspace", "echo x > ../b/escaped\n", "error", {}},
      {"the agent's device secret", "cat '" + device.string() + "'\n", "error", {}},
      {"a write inside the workspace", "echo x > inside.txt\n", "ok", ws / "inside.txt"},
  };
  ASSERT_TRUE(set_mode("c", "auto"));
  mcp::EventRelay relay;
  const std::vector<ToolShape> shapes = core_tool_shapes();
  agent_->state().approvals.set_mode(mcp::kChat, Mode::Auto);
  mcp::test::Session session(agent_->tools(), shapes, agent_->state().approvals,
                             agent_->state().running_chats, relay, agent_->tool_pool(),
                             mcp::ServerOptions{{ws.string()}, Mode::Auto});
  session.open("2025-11-25");
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::ofstream(ws / "script.sh") << c.script;
    for (const bool protocol : {false, true}) {
      SCOPED_TRACE(protocol ? "through the protocol" : "through the bridge");
      fs::remove(ws_ / "b" / "escaped");
      if (!c.made.empty()) fs::remove(c.made);
      std::string status;
      std::string output;
      const std::string id = "f" + std::to_string(++n);
      if (protocol) {
        session.call(id, "shell", {{"command", "sh script.sh"}});
        const common::Json answer = session.answer(id);
        status = answer["result"]["isError"].get<bool>() ? "error" : "ok";
        output = answer["result"]["content"][0]["text"];
      } else {
        deliver(id, "shell", {{"command", "sh script.sh"}});
        const auto record = result(id);
        ASSERT_TRUE(record);
        status = (*record)["status"];
        output = (*record)["output"];
      }
      EXPECT_EQ(status, c.status) << output;
      EXPECT_EQ(output.find("DEVICE-SECRET"), std::string::npos);
      EXPECT_FALSE(fs::exists(ws_ / "b" / "escaped"));
      EXPECT_TRUE(c.made.empty() || fs::exists(c.made));
    }
  }
}

}  // namespace
}  // namespace fence_doors_test
}  // namespace kavor::tools
