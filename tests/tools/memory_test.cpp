#include "tools/memory.h"

#include "tools/memory_store.h"
#include "tools/project_context.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_tree.h"

namespace kavor::tools {
namespace memory_test {
namespace {

using common::Json;

constexpr const char* kHeader =
    "# Kavor Agent memory\n\nWhat Kavor Agent remembers about this project. Each memory is one "
    "file under memory/.\n\n";

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

std::size_t count_entries(const fs::path& folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(folder)) ++count;
  return count;
}

class MemoryWorkspace : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(base_ / "ws");
    fs::create_directories(base_ / "outside");
    scope_ = Scope{base_ / "ws", {}};
  }
  fs::path ws() const { return base_ / "ws"; }
  fs::path outside() const { return base_ / "outside"; }

  Result<Decoded> save(const std::string& slug, const std::string& title,
                       const std::string& description, const std::string& content) {
    Json args = {
        {"slug", slug}, {"title", title}, {"description", description}, {"content", content}};
    return save_memory_tool([this] { return now_; })(args, scope_);
  }
  // A save with a slug, a title made from it and content only.
  Result<Decoded> note(const std::string& slug, const std::string& content) {
    const Json args = {{"slug", slug}, {"title", "T " + slug}, {"content", content}};
    return save_memory_tool([this] { return now_; })(args, scope_);
  }
  Result<Decoded> forget(const std::string& slug) {
    return forget_memory_tool()({{"slug", slug}}, scope_);
  }

  // The run's output, or its failure message prefixed with "error: ".
  static std::string run(const Result<Decoded>& decoded) {
    if (!decoded.ok()) return "decode: " + decoded.message();
    const ToolResult result = decoded.value().run(nullptr);
    return result.ok() ? result.value().output : "error: " + result.message();
  }
  static std::string refusal(const Result<Decoded>& decoded) {
    return decoded.ok() ? std::string("<decoded>") : decoded.message();
  }

  const test::TempTree tree_{"kavor-memory"};
  const fs::path base_ = tree_.path();
  Scope scope_;
  std::int64_t now_ = 1700000000;  // 2023-11-14T22:13:20Z
};

TEST(MemorySlug, DerivedFromTheTitleInAnyScript) {
  EXPECT_EQ(derive_slug("Build steps (Windows)", 1), "build-steps-windows");
  EXPECT_EQ(derive_slug("  --Привет, Мир!-- ", 1), "привет-мир");
  EXPECT_EQ(derive_slug("ساخت پروژه ۲", 1), "ساخت-پروژه-۲");
  // Vowel signs are marks, not letters; they stay with their letter.
  EXPECT_EQ(derive_slug("नमस्ते दुनिया", 1), "नमस्ते-दुनिया");
  EXPECT_EQ(derive_slug("?!... (*) --", 1700000000), "memory-1700000000");
  EXPECT_EQ(derive_slug("", 42), "memory-42");

  // At most 60 characters, counted as characters, with no dash left at the cut.
  EXPECT_EQ(derive_slug(std::string(70, 'A'), 1), std::string(60, 'a'));
  EXPECT_EQ(derive_slug(std::string(59, 'a') + " b", 1), std::string(59, 'a'));
  EXPECT_EQ(derive_slug(repeat("Ж", 70), 1), repeat("ж", 60));
}

TEST(MemorySlug, GivenSlugsAreCheckedAsFileNames) {
  const auto error = [](const std::string& s) { return check_slug(s).message(); };
  EXPECT_EQ(check_slug("  notes.md ").value(), "notes");
  for (const char* good : {"  notes.md ", "my notes", "ساخت", "v1.2"}) EXPECT_EQ(error(good), "");
  EXPECT_EQ(error("   "), "slug is empty.");
  EXPECT_EQ(error(".md"), "slug is empty.");
  // The message names the slug as checked: trimmed, without ".md".
  const std::pair<const char*, const char*> paths[] = {{"a/b", "a/b"},         {"a\\b", "a\\b"},
                                                       {"a..b", "a..b"},       {"..", ".."},
                                                       {".hidden", ".hidden"}, {"../x.md", "../x"}};
  for (const auto& [bad, slug] : paths) {
    EXPECT_EQ(error(bad), "The slug " + std::string(slug) +
                              " may not contain path separators or ..; pass a plain name like "
                              "build-steps.")
        << bad;
  }
  for (const char* bad :
       {"a:b", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "a\tb", "a\177b", "a\u0085b"}) {
    EXPECT_EQ(error(bad), "The slug " + std::string(bad) +
                              " contains characters that are not allowed in a file name.")
        << bad;
  }
}

TEST(MemoryFile, WrittenAndReadBack) {
  Memory m{"Build steps", "How to build", "2024-01-02T03:04:05Z", "2024-02-03T04:05:06Z",
           "Run cmake.\n\nThen ninja."};
  const std::string text = render_memory(m);
  EXPECT_EQ(text,
            "---\ntitle: Build steps\ndescription: How to build\ncreated: 2024-01-02T03:04:05Z\n"
            "updated: 2024-02-03T04:05:06Z\n---\n\nRun cmake.\n\nThen ninja.\n");
  EXPECT_EQ(render_memory(parse_memory(text, "slug")), text);

  // Hand-edited: byte-order mark, CRLF, quoted values, upper-case keys, stray lines.
  const Memory edited = parse_memory(
      "\xEF\xBB\xBF---\r\nTitle:  \"Quoted: title\" \r\nnot a key\r\nDESCRIPTION: 'd'\r\n"
      "other: x\r\n---\r\n\r\n  \tBody line\r\nsecond  \r\n\r\n",
      "slug");
  EXPECT_EQ(edited.title, "Quoted: title");
  EXPECT_EQ(edited.description, "d");
  EXPECT_EQ(edited.created, "");
  EXPECT_EQ(edited.content, "Body line\nsecond");

  EXPECT_EQ(parse_memory("---\ntitle:   \n---\nx", "my-slug").title, "my-slug");
  const Memory plain = parse_memory("Just text\n", "plain");
  EXPECT_EQ(plain.title, "plain");
  EXPECT_EQ(plain.content, "Just text");
  // Without a closing fence nothing is front matter.
  EXPECT_EQ(parse_memory("---\ntitle: x\n", "s").title, "s");

  EXPECT_EQ(utc_time(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(utc_time(1700000000), "2023-11-14T22:13:20Z");
  EXPECT_EQ(utc_time(951782400), "2000-02-29T00:00:00Z");
}

TEST(MemoryIndex, ListsNewestFirstWithEscapedTitlesAndEncodedLinks) {
  EXPECT_EQ(render_index({}), std::string(kHeader) + "No memories yet.\n");

  // Compared as text: "yesterday" sorts above any date.
  std::vector<IndexEntry> entries = {
      {"b", {"B [draft]", "", "", "2024-05-01T10:00:00Z", ""}},
      {"a", {"A", "about a", "", "2024-05-01T10:00:00Z", ""}},
      {"my notes (100%)", {"Notes", "  ", "", "2024-06-01T08:30:59Z", ""}},
      {"old", {"Old", "kept", "", "yesterday", ""}},
      {"never", {"Never", "", "", "", ""}},
  };
  EXPECT_EQ(render_index(entries),
            std::string(kHeader) +
                "- [Old](memory/old.md) - kept (updated yesterday)\n"
                "- [Notes](memory/my%20notes%20%28100%25%29.md) (updated 2024-06-01 08:30 UTC)\n"
                "- [A](memory/a.md) - about a (updated 2024-05-01 10:00 UTC)\n"
                "- [B \\[draft\\]](memory/b.md) (updated 2024-05-01 10:00 UTC)\n"
                "- [Never](memory/never.md)\n");
}

TEST(MemoryCut, CutsOnACharacterBoundaryWithinTheLimit) {
  const std::string marker(kCutMarker);
  EXPECT_EQ(cut_text(std::string(100, 'a'), 100), std::string(100, 'a'));
  EXPECT_EQ(cut_text(std::string(101, 'a'), 100), std::string(58, 'a') + "\n" + marker);
  // The euro sign has three bytes; 100 - 42 = 58 falls inside the twentieth one.
  const std::string euros = repeat("€", 40);
  EXPECT_EQ(cut_text(euros, 100), euros.substr(0, 57) + "\n" + marker);
  // Already ending in a line feed: no second one.
  EXPECT_EQ(cut_text(std::string(57, 'a') + "\n" + std::string(50, 'b'), 100),
            std::string(57, 'a') + "\n" + marker);
  // Broken bytes are replaced, so the text is valid UTF-8 (and may grow past the limit).
  EXPECT_EQ(cut_text("a\377b", 100), "a\uFFFDb");
  EXPECT_EQ(cut_text("ok \xEF\xBF\xBD", 100), "ok \uFFFD");
}

TEST_F(MemoryWorkspace, SavingWritesTheFileAndTheOverview) {
  const Result<Decoded> decoded =
      save("", "Build steps (Windows)", "How to\r\nbuild", "Run cmake.\r\nThen ninja.  \n\n");
  ASSERT_TRUE(decoded.ok()) << refusal(decoded);
  const Decoded& info = decoded.value();
  EXPECT_EQ(info.kind, ToolKind::Write);
  EXPECT_TRUE(info.memory);
  EXPECT_FALSE(info.outside);
  EXPECT_EQ(info.summary, ".kavor-agent/memory/build-steps-windows.md");
  EXPECT_EQ(info.lang, "diff");
  EXPECT_NE(info.detail.find("@@ -0,0 +1,9 @@\n+---\n+title: Build steps (Windows)\n"),
            std::string::npos)
      << info.detail;
  EXPECT_FALSE(fs::exists(ws() / ".kavor-agent")) << "nothing is written before approval";

  EXPECT_EQ(
      run(decoded),
      "Saved .kavor-agent/memory/build-steps-windows.md (1 memory in .kavor-agent/index.md).");
  const fs::path file = ws() / ".kavor-agent/memory/build-steps-windows.md";
  EXPECT_EQ(test::read_file(file),
            "---\ntitle: Build steps (Windows)\ndescription: How to build\n"
            "created: 2023-11-14T22:13:20Z\nupdated: 2023-11-14T22:13:20Z\n---\n\n"
            "Run cmake.\nThen ninja.\n");

  // Saving the same slug again keeps `created`.
  now_ += 3600;
  const Result<Decoded> again = save("build-steps-windows.md", "Build steps", "", "Use ninja.");
  ASSERT_TRUE(again.ok()) << refusal(again);
  const std::string& diff = again.value().detail;
  EXPECT_NE(diff.find("\n-title: Build steps (Windows)\n"), std::string::npos) << diff;
  EXPECT_NE(diff.find("\n+title: Build steps\n"), std::string::npos) << diff;
  EXPECT_EQ(
      run(again),
      "Saved .kavor-agent/memory/build-steps-windows.md (1 memory in .kavor-agent/index.md).");
  EXPECT_EQ(test::read_file(file),
            "---\ntitle: Build steps\ndescription: \ncreated: 2023-11-14T22:13:20Z\n"
            "updated: 2023-11-14T23:13:20Z\n---\n\nUse ninja.\n");

  now_ += 60;
  EXPECT_EQ(run(save("style [web]", "Style [web]", "tabs", "Tabs.")),
            "Saved .kavor-agent/memory/style [web].md (2 memories in .kavor-agent/index.md).");
  EXPECT_EQ(
      test::read_file(ws() / ".kavor-agent/index.md"),
      std::string(kHeader) +
          "- [Style \\[web\\]](memory/style%20[web].md) - tabs (updated 2023-11-14 23:14 UTC)\n"
          "- [Build steps](memory/build-steps-windows.md) (updated 2023-11-14 23:13 UTC)\n");
  // Only the memory files themselves are left behind, no temporary ones.
  EXPECT_EQ(count_entries(ws() / ".kavor-agent/memory"), 2u);
}

TEST_F(MemoryWorkspace, SavingRefusesBadArguments) {
  EXPECT_EQ(refusal(save("", " \r\n ", "", "x")), "title is empty.");
  EXPECT_EQ(refusal(save("", "T", "", " \n\t")), "content is empty.");
  EXPECT_EQ(refusal(save("a:b", "T", "", "x")),
            "The slug a:b contains characters that are not allowed in a file name.");
  fs::create_directories(ws() / ".kavor-agent/memory/dir.md");
  EXPECT_EQ(refusal(save("dir", "T", "", "x")), ".kavor-agent/memory/dir.md is a folder.");
  // A punctuation title without a slug falls back to the time.
  const Result<Decoded> fallback = save("", "???", "", "x");
  ASSERT_TRUE(fallback.ok());
  EXPECT_EQ(fallback.value().summary, ".kavor-agent/memory/memory-1700000000.md");
}

TEST_F(MemoryWorkspace, ForgettingRemovesTheFileAndRewritesTheOverview) {
  EXPECT_EQ(refusal(forget("nope")), ".kavor-agent/memory/nope.md does not exist.");
  EXPECT_EQ(refusal(forget("")), "slug is empty.");
  ASSERT_EQ(run(save("a", "A", "", "alpha")).rfind("Saved", 0), 0u);
  ASSERT_EQ(run(save("b", "B", "", "beta")).rfind("Saved", 0), 0u);

  const Result<Decoded> decoded = forget("a.md");
  ASSERT_TRUE(decoded.ok()) << refusal(decoded);
  const Decoded& info = decoded.value();
  EXPECT_EQ(info.kind, ToolKind::Write);
  EXPECT_TRUE(info.memory);
  EXPECT_EQ(info.summary, "forget a");
  EXPECT_EQ(info.lang, "markdown");
  EXPECT_EQ(info.detail, test::read_file(ws() / ".kavor-agent/memory/a.md"));
  EXPECT_EQ(run(decoded),
            "Forgot .kavor-agent/memory/a.md (1 memory left in .kavor-agent/index.md).");
  EXPECT_FALSE(fs::exists(ws() / ".kavor-agent/memory/a.md"));

  const Result<Decoded> last = forget("b");
  fs::remove(ws() / ".kavor-agent/memory/b.md");  // gone between approval and run
  EXPECT_EQ(run(last), "error: .kavor-agent/memory/b.md does not exist.");
  test::write_file(ws() / ".kavor-agent/memory/b.md", "b");
  test::write_file(ws() / ".kavor-agent/memory/notes.txt", "not a memory");
  EXPECT_EQ(run(forget("b")),
            "Forgot .kavor-agent/memory/b.md (0 memories left in .kavor-agent/index.md).");
  EXPECT_EQ(test::read_file(ws() / ".kavor-agent/index.md"),
            std::string(kHeader) + "No memories yet.\n");
}

TEST_F(MemoryWorkspace, LinksOutOfTheWorkspaceAreNeverWrittenThrough) {
  const std::string outside_folder =
      " points outside the workspace, so Kavor Agent will not touch it.";

  // The whole .kavor-agent folder leads elsewhere.
  fs::create_symlink(outside(), ws() / ".kavor-agent");
  EXPECT_EQ(refusal(save("x", "X", "", "x")), ".kavor-agent/memory/x.md" + outside_folder);
  test::write_file(outside() / "memory/x.md", "someone else's file");
  EXPECT_EQ(refusal(forget("x")), ".kavor-agent/memory/x.md" + outside_folder);
  fs::remove(ws() / ".kavor-agent");

  // Only the memory folder leads elsewhere; the overview would still be inside.
  fs::create_directories(ws() / ".kavor-agent");
  fs::create_symlink(outside() / "memory", ws() / ".kavor-agent/memory");
  EXPECT_EQ(refusal(save("x", "X", "", "x")), ".kavor-agent/memory/x.md" + outside_folder);
  EXPECT_EQ(refusal(forget("x")), ".kavor-agent/memory/x.md" + outside_folder);
  fs::remove(ws() / ".kavor-agent/memory");

  // The overview alone leads elsewhere.
  test::write_file(outside() / "index.md", "theirs");
  fs::create_symlink(outside() / "index.md", ws() / ".kavor-agent/index.md");
  EXPECT_EQ(refusal(save("x", "X", "", "x")), ".kavor-agent/index.md" + outside_folder);
  fs::remove(ws() / ".kavor-agent/index.md");

  // Approved while everything was inside, then the folder is swapped for a link before the run.
  const Result<Decoded> approved = save("x", "X", "", "mine");
  ASSERT_TRUE(approved.ok()) << refusal(approved);
  fs::remove_all(ws() / ".kavor-agent");
  fs::create_symlink(outside(), ws() / ".kavor-agent");
  EXPECT_EQ(run(approved), "error: .kavor-agent/memory/x.md" + outside_folder);
  fs::remove(ws() / ".kavor-agent");

  ASSERT_EQ(run(save("x", "X", "", "mine")).rfind("Saved", 0), 0u);
  const Result<Decoded> forgetting = forget("x");
  ASSERT_TRUE(forgetting.ok());
  fs::rename(ws() / ".kavor-agent", ws() / "moved");
  fs::create_symlink(outside(), ws() / ".kavor-agent");
  EXPECT_EQ(run(forgetting), "error: .kavor-agent/memory/x.md" + outside_folder);

  EXPECT_EQ(test::read_file(outside() / "memory/x.md"), "someone else's file");
  EXPECT_EQ(test::read_file(outside() / "index.md"), "theirs");
  EXPECT_EQ(count_entries(outside()), 3u);  // memory/, memory/x.md, index.md
}

TEST_F(MemoryWorkspace, LinkedMemoryFilesStayInsideTheScope) {
  // A memory file linking out of the workspace is neither shown nor listed.
  test::write_file(outside() / "secret.md", "---\ntitle: Secret\n---\n\nsecret");
  fs::create_directories(ws() / ".kavor-agent/memory");
  fs::create_symlink(outside() / "secret.md", ws() / ".kavor-agent/memory/leak.md");
  EXPECT_EQ(refusal(forget("leak")),
            ".kavor-agent/memory/leak.md points outside the workspace, so Kavor Agent will not "
            "touch it.");
  EXPECT_EQ(run(save("a", "A", "", "alpha")),
            "Saved .kavor-agent/memory/a.md (1 memory in .kavor-agent/index.md).");
  EXPECT_EQ(test::read_file(ws() / ".kavor-agent/index.md").find("Secret"), std::string::npos);

  // Forgetting a memory that links to a project file removes the link, not the project file.
  test::write_file(ws() / "notes.md", "project notes");
  fs::create_symlink(ws() / "notes.md", ws() / ".kavor-agent/memory/notes.md");
  EXPECT_EQ(run(forget("notes")),
            "Forgot .kavor-agent/memory/notes.md (1 memory left in .kavor-agent/index.md).");
  EXPECT_EQ(test::read_file(ws() / "notes.md"), "project notes");
}

TEST_F(MemoryWorkspace, PlantedLinksNeverMakeAMemorySaveReplaceAnotherFile) {
  // Memory saves run without asking and replace their files whole: a link shipped with the
  // project must not turn one into the replacement of a source file or of the repository data.
  test::write_file(ws() / "src/main.c", "int main;");
  test::write_file(ws() / ".git/config", "[core]");
  const struct {
    const char* link;
    const char* target;
    const char* slug;
  } cases[] = {{".kavor-agent/memory/notes.md", "../../src/main.c", "notes"},
               {".kavor-agent/memory/cfg.md", "../../.git/config", "cfg"},
               {".kavor-agent/index.md", "../src/main.c", "other"},
               {".kavor-agent", ".git", "x"}};
  for (const auto& c : cases) {
    fs::remove_all(ws() / ".kavor-agent");
    fs::create_directories((ws() / c.link).parent_path());
    fs::create_symlink(c.target, ws() / c.link);
    EXPECT_NE(refusal(save(c.slug, "T", "", "text")), "<decoded>") << c.link;
  }
  EXPECT_EQ(test::read_file(ws() / "src/main.c"), "int main;");
  EXPECT_EQ(test::read_file(ws() / ".git/config"), "[core]");
  // A linked memory folder inside the workspace still serves.
  fs::remove_all(ws() / ".kavor-agent");
  fs::create_directories(ws() / "shared");
  fs::create_symlink("shared", ws() / ".kavor-agent");
  EXPECT_EQ(run(save("kept", "K", "", "yes")),
            "Saved .kavor-agent/memory/kept.md (1 memory in .kavor-agent/index.md).");
  // Only what lies below the workspace is judged: a workspace kept inside a folder named .git
  // keeps its memory.
  scope_ = Scope{base_ / ".git" / "ws", {}};
  fs::create_directories(scope_.root);
  EXPECT_EQ(run(save("kept", "K", "", "yes")),
            "Saved .kavor-agent/memory/kept.md (1 memory in .kavor-agent/index.md).");
}

TEST_F(MemoryWorkspace, ProjectContextReportsInstructionsOverviewAndCount) {
  EXPECT_EQ(project_context("  ").message(), "No workspace folder is selected.");
  EXPECT_EQ(
      project_context((base_ / "gone").string()).message(),
      "The workspace folder " + (base_ / "gone").string() + " does not exist on this computer.");

  const Result<Json> empty = project_context(ws().string());
  ASSERT_EQ(empty.message(), "");
  EXPECT_EQ(empty->dump(),
            R"({"instructions_file":"","instructions":"","memory_index":null,"memories":0})");

  test::write_file(ws() / "AGENT.md", "agent");
  EXPECT_EQ(project_context(ws().string()).value()["instructions_file"], "AGENT.md");
  test::write_file(ws() / "AGENTS.md", std::string(32725, 'x') + "\n" + std::string(100, 'y'));
  ASSERT_EQ(run(save("a", "A", "", "alpha")).rfind("Saved", 0), 0u);
  ASSERT_EQ(run(save("b", "B", "", "beta")).rfind("Saved", 0), 0u);
  const Result<Json> found = project_context(ws().string() + "/");
  ASSERT_EQ(found.message(), "");
  const Json& context = found.value();
  EXPECT_EQ(context["instructions_file"], "AGENTS.md");
  EXPECT_EQ(context["instructions"], std::string(32725, 'x') + "\n" + std::string(kCutMarker));
  EXPECT_EQ(context["memory_index"], test::read_file(ws() / ".kavor-agent/index.md"));
  EXPECT_EQ(context["memories"], 2);

  // The overview is cut at 16,384 bytes: exactly that many stays whole.
  const std::string index = repeat("ж", kIndexLimit / 2);
  test::write_file(ws() / ".kavor-agent/index.md", index);
  EXPECT_EQ(project_context(ws().string()).value()["memory_index"], index);
  test::write_file(ws() / ".kavor-agent/index.md", index + "z");
  const auto cut = project_context(ws().string()).value()["memory_index"].get<std::string>();
  EXPECT_EQ(cut, index.substr(0, kIndexLimit - 42) + "\n" + std::string(kCutMarker));
  EXPECT_EQ(cut.size(), 16'384u);
}

// Memory changes run without asking in every mode but read-only, so they must never reach a
// file of the project. A link to a project file at the memory file's own name is refused, but a
// link planted at the memory folder is followed to any folder of the workspace: a save then
// replaces, and a forget deletes, the project's own Markdown files (README.md, docs/...), and a
// linked home has its overview replace whatever index.md the folder it leads to holds.
TEST_F(MemoryWorkspace, APlantedMemoryFolderLinkNeverReachesTheProjectsFiles) {
  test::write_file(ws() / "docs/README.md", "project readme");
  test::write_file(ws() / "docs/guide.md", "project guide");
  test::write_file(ws() / "site/index.md", "site home page");
  fs::create_directories(ws() / ".kavor-agent");
  fs::create_symlink("../docs", ws() / ".kavor-agent/memory");

  const std::string saved = run(note("README", "planted"));
  EXPECT_EQ(saved,
            "decode: .kavor-agent/memory is a link to another folder, so Kavor Agent will not "
            "write through it.");
  EXPECT_EQ(test::read_file(ws() / "docs/README.md"), "project readme") << saved;
  const std::string forgot = run(forget("guide"));
  EXPECT_TRUE(fs::exists(ws() / "docs/guide.md")) << forgot;

  fs::remove_all(ws() / ".kavor-agent");
  fs::create_symlink("site", ws() / ".kavor-agent");
  const std::string home = run(note("note", "planted"));
  EXPECT_EQ(home,
            "decode: .kavor-agent/index.md is not a memory overview, so Kavor Agent will not "
            "replace it.");
  EXPECT_EQ(test::read_file(ws() / "site/index.md"), "site home page") << home;

  // An extra folder that a workspace link carries out of the workspace gets no unasked write
  // from a command; a memory home linked there gets one from every memory save.
  fs::remove(ws() / ".kavor-agent");
  test::write_file(base_ / "lib/index.md", "library index");
  fs::create_symlink(base_ / "lib", ws() / "vendor");
  scope_.extras = {base_ / "lib"};
  scope_.linked_out = {base_ / "lib"};
  fs::create_symlink("vendor", ws() / ".kavor-agent");
  const std::string out = run(note("note", "planted"));
  EXPECT_EQ(out,
            "decode: .kavor-agent leads out of the workspace through a link, so Kavor Agent "
            "will not touch it.");
  EXPECT_EQ(test::read_file(base_ / "lib/index.md"), "library index") << out;
  EXPECT_FALSE(fs::exists(base_ / "lib/memory")) << out;
}

// Every change rewrites the overview from the folder's listing under one turn: however many
// saves and forgets of one project run at once, the overview ends listing exactly the memories
// left, and no temporary file stays behind.
TEST_F(MemoryWorkspace, ConcurrentSavesAndForgetsLeaveAnOverviewOfExactlyWhatIsLeft) {
  constexpr int kSaves = 12;
  constexpr int kForgets = 6;
  for (int i = 0; i < kForgets; ++i) {
    ASSERT_EQ(run(note("old-" + std::to_string(i), "old")).rfind("Saved", 0), 0u);
  }
  std::vector<Result<Decoded>> calls;
  for (int i = 0; i < kSaves; ++i) calls.push_back(note("new-" + std::to_string(i), "new"));
  for (int i = 0; i < kForgets; ++i) calls.push_back(forget("old-" + std::to_string(i)));

  std::atomic<int> ready{0};
  std::vector<std::string> outputs(calls.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < static_cast<int>(calls.size())) std::this_thread::yield();
      outputs[i] = run(calls[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& output : outputs) {
    EXPECT_TRUE(output.rfind("Saved", 0) == 0 || output.rfind("Forgot", 0) == 0) << output;
  }

  const std::string index = test::read_file(ws() / ".kavor-agent/index.md");
  for (int i = 0; i < kSaves; ++i) {
    EXPECT_NE(index.find("(memory/new-" + std::to_string(i) + ".md)"), std::string::npos) << index;
  }
  EXPECT_EQ(index.find("memory/old-"), std::string::npos) << index;
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(ws() / ".kavor-agent/memory")) {
    ++entries;
  }
  EXPECT_EQ(entries, static_cast<std::size_t>(kSaves));
}

}  // namespace
}  // namespace memory_test
}  // namespace kavor::tools
