#include "assistant.h"

#include <gtest/gtest.h>

namespace kavor::service {
namespace assistant_test {
namespace {

using Json = nlohmann::ordered_json;

struct Case {
  const char* message;
  const char* tool;  // first call's tool, or nullptr for a plain answer
  const char* args;  // the first call's arguments as JSON text, or a part of the answer
};

TEST(Assistant, CommandsBecomeTheToolCallsTheComputerRuns) {
  const Case cases[] = {
      {"/read README.md", "read_file", R"({"path":"README.md"})"},
      {"  /read \"my notes.txt\"  ", "read_file", R"({"path":"my notes.txt"})"},
      {"/list", "list_dir", R"({"path":"."})"},
      {"/list src", "list_dir", R"({"path":"src"})"},
      {"/glob *.cpp src", "glob", R"({"pattern":"*.cpp","path":"src"})"},
      {"/grep \"TODO later\"", "grep", R"({"pattern":"TODO later","path":"."})"},
      // Everything after the file up to "=>" is the old text, spaces inside included.
      {"/edit notes.txt old line => new  line", "edit_file",
       R"({"path":"notes.txt","old_text":"old line","new_text":"new  line"})"},
      {"/edit notes.txt gone =>", "edit_file",
       R"({"path":"notes.txt","old_text":"gone","new_text":""})"},
      {"/write a.txt first\nsecond", "write_file",
       R"({"path":"a.txt","content":"first\nsecond\n"})"},
      {"/write a.txt\nonly line", "write_file", R"({"path":"a.txt","content":"only line\n"})"},
      {"/run make test", "shell", R"({"command":"make test"})"},
      {"/test", "run_tests", R"({})"},
      {"/browse localhost:8000", "browser", R"({"action":"open","url":"http://localhost:8000"})"},
      {"/remember Build steps: use ninja", "save_memory",
       R"({"slug":"build-steps","title":"Build steps","description":"Build steps","content":"use ninja\n"})"},
      {"/forget build-steps", "forget_memory", R"({"slug":"build-steps"})"},
      {R"({"tool":"read_file","args":{"path":"x"}})", "read_file", R"({"path":"x"})"},
      {R"([{"tool":"list_dir"}])", "list_dir", R"({})"},
      // Wrong forms answer with the right one and send nothing.
      {"/edit notes.txt no arrow", nullptr, "/edit FILE OLD => NEW"},
      {"/edit notes.txt => new", nullptr, "some OLD text"},
      {"/read", nullptr, "/read FILE"},
      {"/run", nullptr, "/run COMMAND"},
      {"/remember no colon", nullptr, "/remember TITLE: TEXT"},
      {"/dance", nullptr, "I do not know /dance."},
      {"hello", nullptr, "/help"},
      {"/help", nullptr, "/edit FILE OLD => NEW"},
      {"{not json", nullptr, "not JSON"},
      {R"({"args":{}})", nullptr, "\"tool\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Plan plan = plan_reply(c.message);
    if (c.tool == nullptr) {
      EXPECT_TRUE(plan.calls.empty());
      EXPECT_NE(plan.reply.find(c.args), std::string::npos) << plan.reply;
      continue;
    }
    ASSERT_FALSE(plan.calls.empty());
    EXPECT_EQ(plan.calls[0].tool, c.tool);
    EXPECT_EQ(plan.calls[0].args, Json::parse(c.args));
  }
  // A pasted list keeps its order.
  const Plan list = plan_reply(R"([{"tool":"glob","args":{"pattern":"*"}},{"tool":"list_dir"}])");
  ASSERT_EQ(list.calls.size(), 2u);
  EXPECT_EQ(list.calls[1].tool, "list_dir");
}

TEST(Assistant, ResultsReadAsTheReplyWithLongOutputCutOnACharacter) {
  const ToolRequest edit{"edit_file", Json{{"path", "notes.txt"}}};
  EXPECT_EQ(describe_result(
                edit, Json{{"status", "ok"}, {"output", "Edited."}, {"summary", "notes.txt"}}),
            "edit_file notes.txt: done.\nEdited.");
  EXPECT_EQ(describe_result(edit, Json{{"status", "denied"}, {"output", "Refused."}}),
            "edit_file notes.txt was not run.\nRefused.");
  // A summary that names its tool is not prefixed again.
  EXPECT_EQ(describe_result({"browser", Json::object()},
                            Json{{"status", "ok"}, {"summary", "browser open http://x"}}),
            "browser open http://x: done.");
  // A call that failed before it was decoded has no summary: the path stands in.
  EXPECT_EQ(describe_result(edit, Json{{"status", "error"}, {"output", "No folder."}}),
            "edit_file notes.txt failed.\nNo folder.");

  std::string long_output(3999, 'a');
  long_output += "\xc3\xa9\xc3\xa9";  // a two-byte character across the cut
  const std::string text = describe_result({"read_file", Json{{"path", "x"}}},
                                           Json{{"status", "ok"}, {"output", long_output}});
  EXPECT_NE(text.find(std::string(3999, 'a') + " …"), std::string::npos);
  EXPECT_EQ(text.find('\xc3'), std::string::npos);

  EXPECT_EQ(slug_of("  Build & test: 2 ways!"), "build-test-2-ways");
  EXPECT_EQ(slug_of("۱۲۳"), "note");
}

}  // namespace
}  // namespace assistant_test
}  // namespace kavor::service
