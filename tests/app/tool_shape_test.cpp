// Each tool's argument table against its decoder: one source of truth for what a protocol
// client is told and what the decoder reads. For every tool of the program's table, a call made
// of every listed key decodes, the decoder reads exactly the listed keys, and leaving out a
// required key makes it refuse the call.
#include "tools/tool_shape.h"

#include <gtest/gtest.h>

#include <set>

#include "app/tools.h"
#include "browser/registry.h"
#include "browser/tool_shape.h"
#include "common/json_read.h"
#include "support/temp_tree.h"
#include "tools/memory_store.h"

namespace kavor::tools {
namespace tool_shape_test {
namespace {

struct Example {
  std::string tool;
  common::Json full;     // every listed key, with a value of its type the decoder takes
  common::Json minimal;  // the required keys alone, decoding too
};

const std::vector<Example>& examples() {
  static const std::vector<Example> all = {
      {"read_file", {{"path", "a.txt"}, {"offset", 1}, {"limit", 10}}, {}},
      {"list_dir", {{"path", "."}}, {}},
      {"glob", {{"pattern", "*.txt"}, {"path", "."}}, {{"pattern", "*"}}},
      {"grep",
       {{"pattern", "h"}, {"path", "."}, {"ignore_case", true}, {"glob", "*.txt"}},
       {{"pattern", "h"}}},
      {"write_file", {{"path", "b.txt"}, {"content", "x"}}, {{"path", "b.txt"}}},
      {"edit_file",
       {{"path", "a.txt"}, {"old_text", "hello"}, {"new_text", "bye"}, {"replace_all", true}},
       {{"path", "a.txt"}, {"old_text", "hello"}}},
      {"shell",
       {{"command", "true"}, {"cwd", "."}, {"shell", "bash"}, {"timeout", 5}},
       {{"command", "true"}}},
      {"run_tests", {{"command", "true"}, {"cwd", "."}, {"shell", "bash"}, {"timeout", 5}}, {}},
      {"wsl", {{"command", "ls"}, {"distro", "Debian"}, {"cwd", "."}, {"timeout", 5}}, {}},
      {"docker", {{"args", {"ps"}}, {"cwd", "."}, {"timeout", 5}}, {{"args", {"ps"}}}},
      {"save_memory",
       {{"title", "Build"}, {"content", "ninja"}, {"description", "how"}, {"slug", "build"}},
       {{"title", "Build"}, {"content", "ninja"}}},
      {"forget_memory", {{"slug", "kept"}}, {{"slug", "kept"}}},
      {"browser",
       {{"action", "open"},
        {"session", "s"},
        {"url", "https://example.com/"},
        {"selector", "#a"},
        {"text", "t"},
        {"key", "Enter"},
        {"script", "1"},
        {"x", 1.5},
        {"y", 2},
        {"full_page", true},
        {"width", 800},
        {"height", 600},
        {"wait_ms", 10},
        {"timeout", 10}},
       {{"action", "screenshot"}}},
  };
  return all;
}

class ToolShapeTest : public ::testing::Test {
 protected:
  ToolShapeTest() {
    app::install_tools(table_, registry_);
    kavor::test::write_file(tree_.path() + "/a.txt", "hello\n");
    // run_tests without a command finds this one.
    kavor::test::write_file(tree_.path() + "/package.json", R"({"scripts":{"test":"true"}})");
    kavor::test::write_file(tree_.path() + "/" + memory_relative("kept"),
                            "---\ntitle: Kept\n---\nkept\n");
    scope_.root = tree_.path();
  }
  const ToolShape* shape(const std::string& name) const {
    for (const ToolShape& s : shapes_) {
      if (s.name == name) return &s;
    }
    return nullptr;
  }
  Result<Decoded> decode(const std::string& tool, const common::Json& args,
                         std::vector<std::string>* keys = nullptr) {
    common::json::read_keys = keys;
    Result<Decoded> out = (*table_.find(tool))(args, scope_);
    common::json::read_keys = nullptr;
    return out;
  }

  kavor::test::TempTree tree_;
  browser::BrowserRegistry registry_;
  ToolTable table_;
  Scope scope_;
  std::vector<ToolShape> shapes_ = [] {
    std::vector<ToolShape> all = core_tool_shapes();
    all.push_back(browser::browser_tool_shape());
    return all;
  }();
};

TEST_F(ToolShapeTest, EveryToolHasATableAndEveryTableATool) {
  std::set<std::string> described;
  for (const ToolShape& s : shapes_) described.insert(s.name);
  std::set<std::string> examined;
  for (const Example& e : examples()) examined.insert(e.tool);
  const std::vector<std::string> names = table_.names();
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), described);
  EXPECT_EQ(examined, described);
}

TEST_F(ToolShapeTest, TheSchemaAndTheDecoderAgreeOnEveryKey) {
  for (const Example& e : examples()) {
    SCOPED_TRACE(e.tool);
    const ToolShape* s = shape(e.tool);
    ASSERT_NE(s, nullptr);
    std::set<std::string> listed;
    for (const ArgSpec& a : s->args) listed.insert(a.name);
    const common::Json schema = input_schema(*s);
    EXPECT_EQ(schema["properties"].size(), listed.size());

    // The full call passes the schema, decodes, and every key it holds is read, no other.
    EXPECT_TRUE(check_args(*s, e.full).ok()) << check_args(*s, e.full).message();
    std::vector<std::string> read;
    const Result<Decoded> full = decode(e.tool, e.full, &read);
    EXPECT_TRUE(full.ok()) << (full.ok() ? "" : full.message());
    EXPECT_EQ(std::set<std::string>(read.begin(), read.end()), listed);

    // The required keys alone pass and decode; without any one of them the decoder refuses.
    const common::Json minimal = e.minimal.is_null() ? common::Json::object() : e.minimal;
    EXPECT_TRUE(check_args(*s, minimal).ok());
    const Result<Decoded> least = decode(e.tool, minimal);
    EXPECT_TRUE(least.ok()) << (least.ok() ? "" : least.message());
    for (const ArgSpec& a : s->args) {
      SCOPED_TRACE(a.name);
      EXPECT_EQ(a.required, e.minimal.contains(a.name));
      if (!a.required) continue;
      common::Json without = e.full;
      without.erase(a.name);
      EXPECT_FALSE(check_args(*s, without).ok());
      EXPECT_FALSE(decode(e.tool, without).ok());
      // A value of another type reads as absent in the decoder; the schema names the key.
      without[a.name] = common::Json::array({common::Json::object()});
      EXPECT_EQ(check_args(*s, without).message().rfind(a.name + " must be", 0), 0u);
    }
  }
}

}  // namespace
}  // namespace tool_shape_test
}  // namespace kavor::tools
