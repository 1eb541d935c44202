#include "tools/file_tools.h"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_tree.h"
#include "tools/file_text.h"
#include "tools/paths.h"

namespace kavor::tools {
namespace file_tools_test {
namespace {

class FileTools : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(ws());
    fs::create_directories(base_ / "elsewhere");
  }
  fs::path ws() const { return base_ / "ws"; }
  Scope scope() const { return Scope{ws(), {}}; }

  void put(const fs::path& relative, const std::string& bytes) const {
    test::write_file(relative.is_absolute() ? relative : ws() / relative, bytes);
  }
  std::string contents(const fs::path& relative) const { return test::read_file(ws() / relative); }

  Decoded decoded(const Decoder& tool, const common::Json& args) const {
    Result<Decoded> result = tool(args, scope());
    if (!result.ok()) {
      ADD_FAILURE() << "decoding failed: " << result.message();
      return {};
    }
    return std::move(result).value();
  }
  // The output of a call that must succeed.
  std::string ok(const Decoder& tool, const common::Json& args) const {
    const Decoded call = decoded(tool, args);
    if (!call.run) return {};
    const ToolResult result = call.run(nullptr);
    EXPECT_TRUE(result.ok()) << result.message();
    return result.value().output;
  }
  // The message of a call that must fail, at decoding or at running.
  std::string failure(const Decoder& tool, const common::Json& args) const {
    Result<Decoded> result = tool(args, scope());
    if (!result.ok()) return result.message();
    const ToolResult ran = result.value().run(nullptr);
    EXPECT_FALSE(ran.ok()) << ran.value().output;
    return ran.message();
  }

  const test::TempTree tree_{"kavor-files"};
  const fs::path base_ = tree_.path();
};

std::string numbered(int number, const std::string& line) {
  char field[16];
  std::snprintf(field, sizeof field, "%6d\t", number);
  return field + line + "\n";
}

TEST_F(FileTools, ReadFileRefusesWhatItCannotReadWhole) {
  const std::string w = ws().string();
  put("exact.txt", std::string(kReadWholeLimit, 'a'));
  put("over.txt", std::string(kReadWholeLimit + 1, 'a'));
  EXPECT_EQ(ok(read_file_tool(), {{"path", "exact.txt"}}),
            numbered(1, std::string(kReadLineChars, 'a')));
  EXPECT_EQ(failure(read_file_tool(), {{"path", "over.txt"}}),
            w + "/over.txt is 10485761 bytes, too big to read whole; use grep or a shell command.");

  std::string text(9000, 'x');
  text[8000] = '\0';  // the 8001st byte: past the probe
  put("late-nul.txt", text);
  EXPECT_EQ(ok(read_file_tool(), {{"path", "late-nul.txt"}}),
            numbered(1, std::string(kReadLineChars, 'x')));
  text[7999] = '\0';
  put("early-nul.bin", text);
  EXPECT_EQ(failure(read_file_tool(), {{"path", "early-nul.bin"}}),
            w + "/early-nul.bin is a binary file of 9000 bytes.");

  EXPECT_EQ(failure(read_file_tool(), {{"path", "missing.txt"}}),
            w + "/missing.txt does not exist.");
  // Arguments that are not an object read as absent: the root itself, a folder.
  EXPECT_EQ(failure(read_file_tool(), common::Json()), w + " is a folder; use list_dir.");
  put("empty.txt", "");
  EXPECT_EQ(ok(read_file_tool(), {{"path", "empty.txt"}}), "(empty file)");
}

TEST_F(FileTools, ReadFileWindowsAndNumbersLines) {
  put("three.txt", "one\r\ntwo\nthree");
  EXPECT_EQ(ok(read_file_tool(), {{"path", "three.txt"}, {"offset", 0}, {"limit", 0}}),
            numbered(1, "one") + numbered(2, "two") + numbered(3, "three"));
  EXPECT_EQ(ok(read_file_tool(), {{"path", "three.txt"}, {"offset", 5}}), "[the file has 3 lines]");
  EXPECT_EQ(ok(read_file_tool(), {{"path", "three.txt"}, {"offset", "2"}, {"limit", 1}}),
            numbered(2, "two") + "[lines 2 to 2 of 3; pass offset to read more]\n");

  std::string many;
  for (int i = 1; i <= 2500; ++i) many += "line " + std::to_string(i) + "\n";
  put("many.txt", many);
  const std::string first = ok(read_file_tool(), {{"path", "many.txt"}, {"limit", 5000}});
  EXPECT_TRUE(first.ends_with(numbered(2000, "line 2000") +
                              "[lines 1 to 2000 of 2500; pass offset to read more]\n"));
  const std::string rest = ok(read_file_tool(), {{"path", "many.txt"}, {"offset", 2001}});
  EXPECT_TRUE(rest.starts_with(numbered(2001, "line 2001")));
  EXPECT_TRUE(rest.ends_with(numbered(2500, "line 2500")));
  EXPECT_EQ(ok(read_file_tool(), {{"path", "many.txt"}, {"offset", 2501}}),
            "[the file has 2500 lines]");

  // Characters, not bytes, are counted; broken UTF-8 is replaced, a final CR stays.
  std::string wide;
  for (int i = 0; i < 2100; ++i) wide += "\xC3\xA9";
  put("wide.txt", wide + "\nbad \xFF\xE2\x82 end\r");
  std::string cut;
  for (int i = 0; i < 2000; ++i) cut += "\xC3\xA9";
  EXPECT_EQ(ok(read_file_tool(), {{"path", "wide.txt"}}),
            numbered(1, cut) + numbered(2, "bad \xEF\xBF\xBD\xEF\xBF\xBD end\r"));
}

TEST_F(FileTools, ListDirPutsFoldersFirstAndSortsByLowercaseName) {
  put("B.txt", "");
  put("a.txt", "");
  put("docs/x", "");
  put("Zeta/x", "");
  fs::create_symlink(ws() / "docs", ws() / "c-link");
  EXPECT_EQ(ok(list_dir_tool(), {{"path", "."}}),
            ". (5 entries)\ndocs/\nZeta/\na.txt\nB.txt\nc-link");
  const Decoded call = decoded(list_dir_tool(), {{"path", "docs"}});
  EXPECT_EQ(call.summary, "docs");
  EXPECT_EQ(call.kind, ToolKind::Read);
  EXPECT_EQ(failure(list_dir_tool(), {{"path", "a.txt"}}),
            ws().string() + "/a.txt is not a readable folder.");

  for (int i = 0; i < 1002; ++i) put("big/f" + std::to_string(10000 + i), "");
  const std::string listing = ok(list_dir_tool(), {{"path", "big"}});
  EXPECT_TRUE(listing.starts_with("big (1002 entries)\nf10000\n"));
  EXPECT_TRUE(listing.ends_with("\nf10999\n[2 more not shown]"));
}

TEST_F(FileTools, GlobMatchesRelativePathsWithinTheWalk) {
  put("top.txt", "");
  put("sub/deep.txt", "");
  put("sub/skip.txt", "");
  put("sub/.gitignore", "skip.txt\n");
  put(".hidden.txt", "");
  put("node_modules/m.txt", "");
  put(".git/g.txt", "");
  EXPECT_EQ(ok(glob_tool(), {{"pattern", "*.txt"}}), ".hidden.txt\ntop.txt");
  EXPECT_EQ(ok(glob_tool(), {{"pattern", " ./**/*.txt "}}), ".hidden.txt\nsub/deep.txt\ntop.txt");
  EXPECT_EQ(ok(glob_tool(), {{"pattern", "*.txt"}, {"path", "sub"}}), "sub/deep.txt");
  EXPECT_EQ(decoded(glob_tool(), {{"pattern", "*.txt"}, {"path", "sub"}}).summary, "*.txt in sub");
  EXPECT_EQ(ok(glob_tool(), {{"pattern", "*.rs"}}), "No files match.");
  EXPECT_EQ(failure(glob_tool(), {{"pattern", "[abc"}}),
            "Bad glob pattern: unclosed character class");
  EXPECT_EQ(failure(glob_tool(), {{"pattern", "  "}}), "pattern is empty.");
  EXPECT_EQ(failure(glob_tool(), {{"pattern", "*"}, {"path", "nowhere"}}),
            ws().string() + "/nowhere does not exist.");

  for (int i = 0; i < 502; ++i) put("many/" + std::to_string(1000 + i) + ".c", "");
  const std::string listing = ok(glob_tool(), {{"pattern", "**/*.c"}});
  EXPECT_TRUE(listing.starts_with("many/1000.c\nmany/1001.c\n"));
  EXPECT_TRUE(listing.ends_with("\nmany/1499.c\n[2 more not shown; narrow the pattern]"));
}

TEST_F(FileTools, GrepFindsMatchingLinesAndFiltersFiles) {
  put("src/main.rs", "fn main() {\n    let Needle = 1;   \n}\n");
  put("src/lib/util.rs", "// needle in a comment\n");
  put("notes.md", "needle\n");
  put("ignored/x.rs", "needle\n");
  put(".gitignore", "ignored/\n");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}}),
            "notes.md:1: needle\nsrc/lib/util.rs:1: // needle in a comment");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}, {"ignore_case", true}, {"glob", "*.rs"}}),
            "src/lib/util.rs:1: // needle in a comment\nsrc/main.rs:2:     let Needle = 1;");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}, {"glob", "src/*.rs"}, {"ignore_case", true}}),
            "src/main.rs:2:     let Needle = 1;");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}, {"glob", " ./notes.md"}}),
            "notes.md:1: needle");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}, {"glob", "./util.rs"}}), "No matches.");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}, {"path", "src/lib/util.rs"}, {"glob", "*.md"}}),
            "No matches.");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}, {"path", "src/lib/util.rs"}}),
            "src/lib/util.rs:1: // needle in a comment");
  EXPECT_EQ(decoded(grep_tool(), {{"pattern", "a+"}, {"path", "src"}}).summary, "a+ in src");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "absent"}}), "No matches.");
  EXPECT_TRUE(failure(grep_tool(), {{"pattern", "(open"}}).starts_with("Bad regular expression: "));
  EXPECT_EQ(failure(grep_tool(), {{"pattern", "x"}, {"glob", "[x"}}),
            "Bad glob pattern: unclosed character class");
  EXPECT_EQ(failure(grep_tool(), common::Json::object()), "pattern is empty.");
}

TEST_F(FileTools, GrepSeesTheSameLinesAsReadFile) {
  // Line ends, anchors and broken UTF-8 behave as on the decoded lines one by one.
  put("crlf.txt", "alpha\r\nbeta  \r\ngamma\r\n");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "a$"}}), "crlf.txt:1: alpha\ncrlf.txt:3: gamma");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "^beta"}}), "crlf.txt:2: beta");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "\\Agam"}}), "crlf.txt:3: gamma");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "alpha\\s+beta"}}), "No matches.");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "^$"}, {"path", "crlf.txt"}}), "No matches.");
  put("bytes.txt", "caf\xE9!\nlast");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "caf.!"}, {"glob", "bytes.txt"}}),
            "bytes.txt:1: caf\xEF\xBF\xBD!");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "t$"}, {"glob", "bytes.txt"}}), "bytes.txt:2: last");
  EXPECT_EQ(failure(grep_tool(), {{"pattern", "a\\s+b|^x"}, {"path", "multi.txt"}}),
            ws().string() + "/multi.txt does not exist.");
  put("multi.txt", "a\nb\nxa b\n\nx");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "a\\s+b|^x"}, {"path", "multi.txt"}}),
            "multi.txt:3: xa b\nmulti.txt:5: x");
}

// The whole-file search with its shortcuts must report exactly the lines a plain search of one
// decoded line after another reports.
TEST_F(FileTools, GrepAgreesWithASearchLineByLine) {
  const std::vector<std::string> texts = {
      "foo bar\nbaz\r\nfoo\n\nb\nAbcQz1 x\nend",
      "a\r\nb\r\n",
      "caf\xE9\nfoo\xFF bar",
      "\n\n",
      "no newline at the end foo",
      "x \xE2\x84\xAA"
      "elvin\n",  // the Kelvin sign
      "KELVIN kelvin\n\xC5\xBF"
      "truct zebra\n",  // a long s
      "struct Zebra {}\n  STRUCT   zebra;\t \nzebraquokka\n",
  };
  for (std::size_t i = 0; i < texts.size(); ++i) put("t" + std::to_string(i) + ".txt", texts[i]);
  const std::vector<std::string> patterns = {
      "a$",         "^b",      "\\bfoo\\b", "o\\s+b",   "FOO",       "[A-Z]\\w+Qz\\d",
      "x*",         "^$",      "\\Afoo",    "bar\\z",   "(?-m)^b",   "kelvin",
      "foo|bar",    "\\d+",    "(?s)a.b",   "\xC3\xA9", "caf.$",     "struct\\s+zebra",
      "\\w+quokka", "ar\\s*$", "(?i)k",     "\\n",      "[^a-z ]+$",
  };
  for (const std::string& pattern : patterns) {
    for (const bool ignore_case : {false, true}) {
      RE2::Options options;
      options.set_case_sensitive(!ignore_case);
      const RE2 regex(pattern, options);
      ASSERT_TRUE(regex.ok()) << pattern;
      std::string expected;
      for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string text = common::utf8_lossy(texts[i]);
        std::size_t pos = 0;
        for (int number = 1; pos < text.size(); ++number) {
          std::size_t end = text.find('\n', pos);
          const bool last = end == std::string::npos;
          if (last) end = text.size();
          std::string_view line(text.data() + pos, end - pos);
          if (!last && line.ends_with('\r')) line.remove_suffix(1);
          if (RE2::PartialMatch(line, regex)) {
            if (!expected.empty()) expected += "\n";
            expected += "t" + std::to_string(i) + ".txt:" + std::to_string(number) + ": " +
                        std::string(common::trim_end_unicode(line));
          }
          pos = end + 1;
        }
      }
      if (expected.empty()) expected = "No matches.";
      EXPECT_EQ(ok(grep_tool(), {{"pattern", pattern}, {"ignore_case", ignore_case}}), expected)
          << pattern << (ignore_case ? " ignoring case" : "");
    }
  }
}

// A long file is searched in segments of lines, with the same lines found as a search of one
// line after another, including around the segments' edges; a pattern that makes the matcher
// slow still stops soon after the user asks.
TEST_F(FileTools, GrepOfALongFileFindsEveryLineAndStopsWhenAsked) {
  std::string text;
  for (int i = 1; i <= 4000; ++i) text += "line " + std::to_string(i) + " of the filler text\n";
  put("long.txt", text);
  std::string expected;
  for (int i = 99; i <= 4000; i += 100) {
    expected += (expected.empty() ? "" : "\n") + ("long.txt:" + std::to_string(i) + ": line ") +
                std::to_string(i) + " of the filler text";
  }
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "^line \\d*99 of"}}), expected);
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "text\\nline|\\bline 3999\\b"}}),
            "long.txt:3999: line 3999 of the filler text");

  std::string prose;
  while (prose.size() + 64 < kGrepFileLimit)
    prose += "Lorem ipsum dolor sit amet consectetur adipiscing\n";
  put("slow.txt", prose);
  const Decoded slow =
      decoded(grep_tool(), {{"pattern", "(\\pL|\\s){1000}X"}, {"path", "slow.txt"}});
  const auto stop = std::make_shared<std::atomic<bool>>(false);
  std::thread stopper([stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop->store(true);
  });
  const ToolResult stopped = slow.run(stop);
  stopper.join();
  // A search that ignored the stop would end, after minutes, with its matches (none). The stop
  // is looked at before every segment of the file; the time it takes to land includes the
  // expression's compile (seconds, tens of them in the sanitizer build on a busy machine), so
  // it is not timed here.
  EXPECT_EQ(stopped.message(), std::string(kStoppedByUser));
}

TEST_F(FileTools, GrepLimitsFilesMatchesAndLineLength) {
  std::string big(kGrepFileLimit, 'x');
  big.replace(0, 7, "needle\n");
  put("exact.txt", big);
  put("over.txt", big + "x");
  std::string binary = "needle\n" + std::string(7993, 'x');
  binary[7999] = '\0';
  put("binary.txt", binary);
  put("long.txt", std::string(400, 'y') + "needle\n");
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "needle"}}),
            "exact.txt:1: needle\nlong.txt:1: " + std::string(300, 'y'));

  std::string lines;
  for (int i = 0; i < 300; ++i) lines += "hit\n";
  put("hits/a.txt", lines);
  std::string out = ok(grep_tool(), {{"pattern", "hit"}, {"path", "hits"}});
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 299);
  EXPECT_TRUE(out.ends_with("hits/a.txt:300: hit"));
  put("hits/b.txt", "hit\n");
  out = ok(grep_tool(), {{"pattern", "hit"}, {"path", "hits"}});
  EXPECT_TRUE(out.ends_with("hits/a.txt:300: hit\n[stopped at 300 matches; narrow the search]"));
}

TEST_F(FileTools, WriteFileCreatesOrUpdatesAndShowsTheChange) {
  const Decoded create =
      decoded(write_file_tool(), {{"path", "new/deep/f.txt"}, {"content", "a\n"}});
  EXPECT_EQ(create.kind, ToolKind::Write);
  EXPECT_EQ(create.summary, "new/deep/f.txt");
  EXPECT_EQ(create.lang, "diff");
  EXPECT_EQ(create.detail, "@@ -0,0 +1 @@\n+a\n");
  EXPECT_FALSE(create.outside);
  EXPECT_EQ(create.run(nullptr).value().output, "Created new/deep/f.txt (2 bytes).");
  EXPECT_EQ(contents("new/deep/f.txt"), "a\n");
  EXPECT_EQ(ok(write_file_tool(), {{"path", "new/deep/f.txt"}, {"content", "\xC3\xA9"}}),
            "Updated new/deep/f.txt (2 bytes).");

  EXPECT_EQ(failure(write_file_tool(), {{"path", " "}}), "path is empty.");
  EXPECT_EQ(failure(write_file_tool(), {{"path", "new"}, {"content", "x"}}),
            ws().string() + "/new is a folder.");
  for (const char* path : {".git/config", "sub/.git/hooks/x", ".git"}) {
    EXPECT_EQ(failure(write_file_tool(), {{"path", path}, {"content", "x"}}),
              "Writing inside .git is not allowed; use git commands.")
        << path;
    EXPECT_EQ(failure(edit_file_tool(), {{"path", path}, {"old_text", "x"}}),
              "Writing inside .git is not allowed; use git commands.")
        << path;
  }
  // ".gitignore" is an ordinary name, and a link cannot smuggle a write into ".git".
  EXPECT_EQ(ok(write_file_tool(), {{"path", ".gitignore"}, {"content", ""}}),
            "Created .gitignore (0 bytes).");
  fs::create_directories(ws() / ".git");
  fs::create_symlink(ws() / ".git", ws() / "innocent");
  EXPECT_EQ(failure(write_file_tool(), {{"path", "innocent/config"}, {"content", "x"}}),
            "Writing inside .git is not allowed; use git commands.");
}

TEST_F(FileTools, EditFileReplacesExactlyWhatWasApproved) {
  put("crlf.txt", "one\r\ntwo\r\nthree\r\n");
  const Decoded crlf = decoded(
      edit_file_tool(), {{"path", "crlf.txt"}, {"old_text", "one\ntwo"}, {"new_text", "1\r\n2\n"}});
  EXPECT_EQ(crlf.run(nullptr).value().output, "Edited crlf.txt (1 replacement).");
  EXPECT_EQ(contents("crlf.txt"), "1\r\n2\r\n\r\nthree\r\n");

  put("twice.txt", "x = 1;\nx = 1;\n");
  EXPECT_EQ(failure(edit_file_tool(), {{"path", "twice.txt"}, {"old_text", "x = 1"}}),
            "old_text appears 2 times. Add more surrounding lines to make it unique, or set "
            "replace_all.");
  const Decoded both = decoded(
      edit_file_tool(),
      {{"path", "twice.txt"}, {"old_text", "x = 1"}, {"new_text", "y = 2"}, {"replace_all", true}});
  EXPECT_EQ(both.detail, "@@ -1,2 +1,2 @@\n-x = 1;\n-x = 1;\n+y = 2;\n+y = 2;\n");
  EXPECT_EQ(both.run(nullptr).value().output, "Edited twice.txt (2 replacements).");
  EXPECT_EQ(contents("twice.txt"), "y = 2;\ny = 2;\n");
  put("overlap.txt", "aaaa");
  EXPECT_EQ(
      ok(edit_file_tool(),
         {{"path", "overlap.txt"}, {"old_text", "aaa"}, {"new_text", "b"}, {"replace_all", true}}),
      "Edited overlap.txt (1 replacement).");

  EXPECT_EQ(failure(edit_file_tool(), {{"path", "twice.txt"}, {"old_text", "zzz"}}),
            "old_text was not found in the file. Read the file again and copy the text exactly.");
  EXPECT_EQ(failure(edit_file_tool(), {{"path", "twice.txt"}}),
            "old_text is empty; use write_file to create a file.");
  EXPECT_EQ(failure(edit_file_tool(), {{"path", "gone/x.txt"}, {"old_text", "a"}}),
            "gone/x.txt does not exist; use write_file to create it.");

  // Bytes that are not UTF-8 survive an edit elsewhere in the file.
  put("latin1.txt", "caf\xE9\nold\n");
  EXPECT_EQ(
      ok(edit_file_tool(), {{"path", "latin1.txt"}, {"old_text", "old"}, {"new_text", "new"}}),
      "Edited latin1.txt (1 replacement).");
  EXPECT_EQ(contents("latin1.txt"), "caf\xE9\nnew\n");
}

TEST_F(FileTools, EditFileRefusesWhenTheFileChangedBeforeApproval) {
  put("f.txt", "before\n");
  const Decoded edit =
      decoded(edit_file_tool(), {{"path", "f.txt"}, {"old_text", "before"}, {"new_text", "after"}});
  put("f.txt", "before\nand more\n");
  const ToolResult result = edit.run(nullptr);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.message(), "The file changed while waiting for approval. Read it again.");
  EXPECT_EQ(contents("f.txt"), "before\nand more\n");
  fs::remove(ws() / "f.txt");
  EXPECT_EQ(edit.run(nullptr).message(), ws().string() + "/f.txt does not exist.");
}

TEST_F(FileTools, LinksAreFollowedWhenDecodedAndNotRedirectedAfterwards) {
  const fs::path outside_file = base_ / "elsewhere" / "secret.txt";
  put(outside_file, "secret\n");
  fs::create_symlink(outside_file, ws() / "inside.txt");
  EXPECT_TRUE(decoded(read_file_tool(), {{"path", "inside.txt"}}).outside);
  EXPECT_TRUE(decoded(grep_tool(), {{"pattern", "s"}, {"path", "inside.txt"}}).outside);
  EXPECT_FALSE(decoded(read_file_tool(), {{"path", "other.txt"}}).outside);
  // The walk does not follow the link out of the workspace.
  EXPECT_EQ(ok(grep_tool(), {{"pattern", "secret"}}), "No matches.");

  const Decoded write =
      decoded(write_file_tool(), {{"path", "inside.txt"}, {"content", "changed\n"}});
  EXPECT_TRUE(write.outside);
  EXPECT_EQ(write.summary, outside_file.string());

  // Approved as a plain file inside; a link put there while waiting must not be written through.
  put("plain.txt", "x\n");
  const Decoded plain = decoded(write_file_tool(), {{"path", "plain.txt"}, {"content", "y\n"}});
  EXPECT_FALSE(plain.outside);
  fs::remove(ws() / "plain.txt");
  fs::create_symlink(outside_file, ws() / "plain.txt");
  const ToolResult result = plain.run(nullptr);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.message(),
            ws().string() + "/plain.txt changed while waiting for approval. Read it again.");
  std::ifstream in(outside_file);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "secret");
}

// A path argument is checked as a whole string but opened as a C string, which ends at the
// first NUL: ".git\0x/hooks/pre-commit" passes the refusal of writes inside .git (its first
// component is not ".git") and then lands in .git/hooks, a hook git runs on the next commit.
// A NUL in a path argument names no file the system can open, so it must be refused.
TEST_F(FileTools, APathWithNulNeverWritesInsideGit) {
  put(".git/config", "[core]");
  fs::create_directories(ws() / ".git/hooks");
  const std::string hook = std::string(".git") + '\0' + "x/hooks/pre-commit";
  const std::string config = std::string(".git") + '\0' + "x/config";
  for (const std::string& path : {hook, config}) {
    EXPECT_EQ(failure(write_file_tool(), {{"path", path}, {"content", "planted"}}),
              "path contains a NUL character, which no file name can hold.");
  }
  EXPECT_THROW(read_file_tool()({{"path", config}}, scope()), PathError);
  EXPECT_EQ(contents(".git/config"), "[core]");
  // The hook lands in .git itself or in .git/hooks, depending on how the folders are opened.
  EXPECT_FALSE(fs::exists(ws() / ".git/pre-commit"));
  EXPECT_FALSE(fs::exists(ws() / ".git/hooks/pre-commit"));
}

}  // namespace
}  // namespace file_tools_test
}  // namespace kavor::tools
