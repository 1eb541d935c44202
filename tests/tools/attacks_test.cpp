// Attacks from a workspace whose contents someone else wrote (a cloned repository, an unpacked
// archive), each through the whole agent against the substitute service.
#include <gtest/gtest.h>

#include <fstream>

#include "tools/agent_fixture.h"

namespace kavor::tools {
namespace {

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_all(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class AttacksTest : public test::AgentTest {
 protected:
  fs::path ws() const { return ws_ / "a"; }
};

// Memory changes run without asking in every mode but read-only, and replace their files whole.
// Links planted in the memory folder must not turn that into the silent replacement of some
// other file of the project, or of the repository's own data.
TEST_F(AttacksTest, PlantedLinksDoNotLetMemoryReplaceOtherFiles) {
  const std::string source = "int main() { return 0; }\n";
  const std::string config = "[core]\n\tbare = false\n";
  struct Case {
    const char* name;
    const char* link;    // relative to the workspace
    const char* target;  // what the link holds
    const char* slug;
  } cases[] = {
      {"memory file linked to a source file", ".kavor-agent/memory/notes.md", "../../src/main.c",
       "notes"},
      {"memory file linked into .git", ".kavor-agent/memory/cfg.md", "../../.git/config", "cfg"},
      {"overview linked to a source file", ".kavor-agent/index.md", "../src/main.c", "other"},
      {"memory folder inside .git", ".kavor-agent", ".git", "hook"},
  };
  int n = 0;
  for (const Case& c : cases) {
    fs::remove_all(ws() / ".kavor-agent");
    write_all(ws() / "src" / "main.c", source);
    write_all(ws() / ".git" / "config", config);
    fs::remove_all(ws() / ".git" / "memory");
    fs::create_directories((ws() / c.link).parent_path());
    fs::create_symlink(c.target, ws() / c.link);

    const std::string id = "memory-" + std::to_string(++n);
    deliver(id, "save_memory", {{"slug", c.slug}, {"title", "Build"}, {"content", "make all"}});
    const auto record = result(id);
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ((*record)["status"], "error") << c.name << ": " << (*record)["output"];
    EXPECT_EQ(read_all(ws() / "src" / "main.c"), source) << c.name;
    EXPECT_EQ(read_all(ws() / ".git" / "config"), config) << c.name;
    EXPECT_FALSE(fs::exists(ws() / ".git" / "memory")) << c.name;
  }

  // A memory folder that is itself a link elsewhere inside the workspace still works.
  fs::remove_all(ws() / ".kavor-agent");
  fs::create_directories(ws() / "shared" / "memory");
  fs::create_symlink("shared", ws() / ".kavor-agent");
  deliver("shared", "save_memory", {{"slug", "kept"}, {"title", "Kept"}, {"content", "yes"}});
  const auto saved = result("shared");
  ASSERT_TRUE(saved);
  EXPECT_EQ((*saved)["status"], "ok") << (*saved)["output"];
  EXPECT_TRUE(fs::is_regular_file(ws() / "shared" / "memory" / "kept.md"));
}

}  // namespace
}  // namespace kavor::tools
