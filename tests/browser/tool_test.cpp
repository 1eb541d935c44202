// The browser tool against the real browser: pages served on loopback, one browser for most of
// the file (a few cases need a fresh one and use a session of their own).
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <fstream>
#include <string>
#include <vector>

#include "app/tools.h"
#include "browser/registry.h"
#include "browser_support.h"

namespace kavor::browser {
namespace tool_test {
namespace {

using test::call;
using test::html;
using test::text_of;

constexpr const char* kKeysPage = R"(<title>Keys</title><input id="box" autofocus>
<script>
window.seen = [];
document.addEventListener('keydown', (e) => seen.push(
    [e.key, e.code, e.keyCode, e.ctrlKey, e.shiftKey, e.altKey, e.metaKey].join(' ')));
</script>)";

constexpr const char* kFormPage = R"(<title>Form</title>
<label for="name">Your name</label><input id="name" name="name" placeholder="Ada">
<select id="color"><option value="red">Red</option><option value="green">Green</option>
<option value="blue">Blue sky</option></select>
<p id="picked"></p><div id="hidden" style="display:none">secret</div>
<script>document.getElementById('color').addEventListener('change',
  (e) => { document.getElementById('picked').textContent = 'picked ' + e.target.value; });</script>)";

class ToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new service::TestService();
    registry_ = new BrowserRegistry();
    dir_ = new QTemporaryDir();
    service_->set_default("GET", "/favicon.ico", service::Reply::text(204, ""));
    service_->set_default("GET", "/hello", html("<title>Hello</title><h1>Hi there</h1>"));
    service_->set_default("GET", "/untitled", html("<p>no title here</p>"));
    service_->set_default("GET", "/keys", html(kKeysPage));
    service_->set_default("GET", "/form", html(kFormPage));
    service_->set_default("GET", "/tall",
                          html("<title>Tall</title><div style='height:5000px'>top</div>"));
    service_->set_default("GET", "/hang", service::Reply::held());
    std::string chatty = "<title>Chatty</title><script>";
    for (int i = 0; i < 250; ++i) chatty += "console.log('line " + std::to_string(i) + "');";
    service_->set_default("GET", "/chatty", html(chatty + "</script>"));
  }
  static void TearDownTestSuite() {
    delete registry_;
    service_->release_held();
    delete service_;
    delete dir_;
  }
  std::string url(const std::string& path) const { return service_->base_url() + path; }
  tools::ToolResult run(const common::Json& args, const std::string& chat = "chat-1") {
    return call(*registry_, args, dir_->path().toStdString(), chat);
  }
  // The value an eval answers (the text after the line "Result:").
  std::string eval(const std::string& script, const std::string& chat = "chat-1") {
    const tools::ToolResult r = run({{"action", "eval"}, {"script", script}}, chat);
    if (!r.ok()) return "FAILED: " + r.message();
    const std::size_t at = r.value().output.find("\nResult:\n");
    return at == std::string::npos ? "NO RESULT: " + r.value().output
                                   : r.value().output.substr(at + 9);
  }

  static service::TestService* service_;
  static BrowserRegistry* registry_;
  static QTemporaryDir* dir_;
};

service::TestService* ToolTest::service_ = nullptr;
BrowserRegistry* ToolTest::registry_ = nullptr;
QTemporaryDir* ToolTest::dir_ = nullptr;

TEST_F(ToolTest, OpenAndScreenshotInAnyCaseShowThePageLineAndAttachAJpeg) {
  const tools::ToolResult opened = run({{"action", "NAVIGATE"}, {"url", url("/hello")}});
  ASSERT_TRUE(opened.ok()) << opened.message();
  EXPECT_EQ(opened.value().output,
            url("/hello") + " (200) \"Hello\"\nScreenshot attached (1280x800 px, JPEG).");
  ASSERT_TRUE(opened.value().image);
  EXPECT_EQ(opened.value().image->mime, "image/jpeg");
  EXPECT_EQ(opened.value().image->data.rfind("/9j/", 0), 0u);  // base64 of a JPEG's first bytes

  const tools::ToolResult shot = run({{"action", "Screenshot"}, {"full_page", true}});
  ASSERT_TRUE(shot.ok()) << shot.message();
  EXPECT_NE(shot.value().output.find("Screenshot attached (1280x"), std::string::npos);
  const tools::ToolResult element = run({{"action", "screenshot"}, {"selector", "h1"}});
  ASSERT_TRUE(element.ok()) << element.message();
  EXPECT_NE(element.value().output.find("Screenshot attached ("), std::string::npos);
  const tools::ToolResult missing = run({{"action", "screenshot"}, {"selector", "#nothing"}});
  EXPECT_EQ(text_of(missing), "FAILED: No element matches the selector #nothing.");
  EXPECT_EQ(text_of(run({{"action", "scroll_down"}}))
                .rfind("FAILED: Unknown browser action scroll_down;", 0),
            0u);
}

// The text each action hands back is read by the assistant and by the page: every action's, on
// one page, in a browser of its own. Times and the server's address are masked.
TEST_F(ToolTest, EachActionAnswersWithItsOwnText) {
  service_->set_default("GET", "/actions", html(R"html(<title>Actions</title>
<link rel="icon" href="data:,"><body style="margin:0">
<button id="go" style="position:absolute;left:100px;top:40px;width:80px;height:20px"
  onclick="console.log('clicked')">Go</button>
<input id="name" style="position:absolute;left:100px;top:100px">
<select id="color" style="position:absolute;left:100px;top:140px">
<option value="red">Red</option><option value="blue">Blue sky</option></select>
<h1 style="position:absolute;left:100px;top:200px;margin:0">Ready</h1>
<div style="height:3000px"></div></body>)html"));
  struct Case {
    common::Json args;
    const char* text;  // what follows the page line, before the screenshot's line
    bool shot;
  };
  const Case cases[] = {
      {{{"action", "open"}, {"url", url("/actions")}}, "", true},
      {{{"action", "screenshot"}}, "", true},
      {{{"action", "click"}, {"selector", "#go"}}, "Clicked button \"Go\" at (140, 50).", true},
      {{{"action", "click"}, {"x", 10}, {"y", 20}}, "Clicked at (10, 20).", true},
      {{{"action", "hover"}, {"selector", "#go"}},
       "Hovered over button \"Go\" at (140, 50).",
       true},
      {{{"action", "hover"}, {"x", 5.5}, {"y", 6}}, "Hovered at (5.5, 6).", true},
      {{{"action", "type"}, {"selector", "#name"}, {"text", "hi"}},
       "Typed 2 characters into #name; its value is now \"hi\".",
       true},
      {{{"action", "press"}, {"key", "Tab"}}, "Pressed Tab.", false},
      {{{"action", "select"}, {"selector", "#color"}, {"text", "blue"}}, "selected Blue sky", true},
      {{{"action", "eval"}, {"script", "1 + 1"}}, "Result:\n2", false},
      {{{"action", "wait"}, {"text", "Ready"}}, "Found \"Ready\" after {n} ms.", false},
      {{{"action", "scroll"}}, "Scrolled to y=800 (viewport 800 px, page 3000 px tall).", true},
      {{{"action", "console"}},
       "Console since the last check (every level):\nlog: clicked ({base}/actions:4)",
       false},
      {{{"action", "network"}},
       "Requests since the last check (method, status, type, url, time):\nGET 200 Document "
       "{base}/actions {n}ms",
       false},
      {{{"action", "reload"}}, "Reloaded.", true},
      {{{"action", "text"}},
       "Visible text:\nGo\nRed\nBlue sky\nReady\n\nHeadings:\n  h1 Ready\nButtons:\n  Go\nInputs:\n"
       "  input name=\"name\"\n  select name=\"color\"",
       false},
      {{{"action", "back"}}, "Went back one page.", false},
  };
  // The server's address becomes "{base}", and a number of milliseconds "{n}".
  const auto masked = [this](std::string text) {
    for (std::size_t at; (at = text.find(url(""))) != std::string::npos;)
      text.replace(at, url("").size(), "{base}");
    const char* digits = "0123456789";
    for (std::size_t at = 0; (at = text.find_first_of(digits, at)) != std::string::npos;) {
      const std::size_t end = std::min(text.find_first_not_of(digits, at), text.size());
      const bool ms = text.compare(end, 2, "ms") == 0 || text.compare(end, 3, " ms") == 0;
      if (ms) text.replace(at, end - at, "{n}");
      at = ms ? at + 3 : end;
    }
    return text;
  };
  for (const Case& c : cases) {
    const tools::ToolResult r = run(c.args, "chat-texts");
    ASSERT_TRUE(r.ok()) << c.args.dump() << ": " << r.message();
    const std::string& out = r.value().output;
    const std::size_t line = out.find('\n');
    std::string expected = c.text;
    if (c.shot)
      expected +=
          std::string(expected.empty() ? "" : "\n") + "Screenshot attached (1280x800 px, JPEG).";
    EXPECT_EQ(masked(line == std::string::npos ? "" : out.substr(line + 1)), expected)
        << c.args.dump();
    EXPECT_EQ(r.value().image.has_value(), c.shot) << c.args.dump();
  }
  EXPECT_TRUE(run({{"action", "close"}}, "chat-texts").ok());
}

TEST_F(ToolTest, AnEmptyTitleEndsTheFirstLineWithTwoQuotes) {
  const tools::ToolResult r = run({{"action", "open"}, {"url", url("/untitled")}});
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_EQ(r.value().output.substr(0, r.value().output.find('\n')),
            url("/untitled") + " (200) \"\"");
}

TEST_F(ToolTest, PressSendsTheKeyEventsThePageSees) {
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/keys")}}).ok());
  struct Case {
    const char* key;
    const char* seen;  // key code keyCode ctrl shift alt meta
  };
  const Case cases[] = {
      {"Control+a", "a KeyA 65 true false false false"},
      {"Shift+a", "A KeyA 65 false true false false"},
      {"Ctrl+Shift+Tab", "Tab Tab 9 true true false false"},
      {"Enter", "Enter Enter 13 false false false false"},
      {"esc", "Escape Escape 27 false false false false"},
      {"F5", "F5 F5 116 false false false false"},
      {"Control++", "+  0 true false false false"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(eval("seen.length = 0"), "0");
    const tools::ToolResult r = run({{"action", "press"}, {"key", c.key}});
    ASSERT_TRUE(r.ok()) << c.key << ": " << r.message();
    EXPECT_NE(r.value().output.find(std::string("\nPressed ") + c.key + "."), std::string::npos);
    EXPECT_FALSE(r.value().image);
    // Shift+a typed into the focused box; the keys with Control typed nothing.
    EXPECT_EQ(eval("seen.filter((s) => !s.startsWith('Shift ') && !s.startsWith('Control '))[0]"),
              std::string("\"") + c.seen + "\"")
        << c.key;
  }
  EXPECT_EQ(eval("document.getElementById('box').value"), "\"A\"");
  EXPECT_EQ(text_of(run({{"action", "press"}, {"key", "Hyper+X"}})),
            "FAILED: Unknown modifier Hyper in key Hyper+X; use Alt, Control, Meta or Shift.");
  EXPECT_EQ(
      text_of(run({{"action", "press"}, {"key", "F13"}})).rfind("FAILED: Unknown key F13;", 0), 0u);
}

TEST_F(ToolTest, TypeCountsCharactersAndReportsTheValue) {
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/form")}}).ok());
  const tools::ToolResult one = run({{"action", "type"}, {"selector", "#name"}, {"text", "A"}});
  ASSERT_TRUE(one.ok()) << one.message();
  EXPECT_NE(one.value().output.find("\nTyped 1 character into #name; its value is now \"A\".\n"),
            std::string::npos)
      << one.value().output;
  const tools::ToolResult two =
      run({{"action", "fill"}, {"selector", "#name"}, {"text", "da"}, {"key", "Enter"}});
  ASSERT_TRUE(two.ok()) << two.message();
  EXPECT_NE(two.value().output.find(
                "\nTyped 2 characters into #name; its value is now \"Ada\". Pressed Enter.\n"),
            std::string::npos)
      << two.value().output;
  EXPECT_EQ(text_of(run({{"action", "type"}, {"selector", "#hidden"}, {"text", "x"}})),
            "FAILED: #hidden could not take the keyboard focus.");
  EXPECT_EQ(text_of(run({{"action", "type"}, {"selector", "#none"}, {"text", "x"}})),
            "FAILED: No element matches the selector #none.");
  EXPECT_EQ(
      text_of(run({{"action", "type"}, {"selector", "[[["}, {"text", "x"}}))
          .rfind("FAILED: The selector [[[ did not work: Uncaught SyntaxError: Failed to execute "
                 "'querySelector' on 'Document': '[[[' is not a valid selector.",
                 0),
      0u);
}

TEST_F(ToolTest, SelectChoosesByValueOrLabelAndListsTheOptionsWhenNoneMatches) {
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/form")}}).ok());
  const tools::ToolResult chosen =
      run({{"action", "select"}, {"selector", "#color"}, {"text", "blue sky"}});
  ASSERT_TRUE(chosen.ok()) << chosen.message();
  EXPECT_NE(chosen.value().output.find("\nselected Blue sky\n"), std::string::npos)
      << chosen.value().output;
  EXPECT_EQ(eval("document.getElementById('picked').textContent"), "\"picked blue\"");
  EXPECT_EQ(text_of(run({{"action", "select"}, {"selector", "#color"}, {"text", "purple"}})),
            "FAILED: No option of #color matches \"purple\". The options are: Red (red); Green "
            "(green); Blue sky (blue).");
  EXPECT_EQ(text_of(run({{"action", "select"}, {"selector", "#name"}, {"text", "x"}})),
            "FAILED: #name is a <input> element, not a <select>.");
}

TEST_F(ToolTest, TextSummarizesWhatIsVisible) {
  service_->set_default("GET", "/summary", html(R"(<title>Summary</title>
<h1>Welcome   home</h1><p>First paragraph.</p><p>Second</p>
<a href="/docs">Docs</a><a href="/x" aria-label="Close"></a>
<button disabled>Send</button><input type="email" name="mail" placeholder="you@example.test">
<img src="/missing.png" alt="gone"><img src="/favicon.ico">
<div style="display:none"><h2>Hidden heading</h2></div>)"));
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/summary")}}).ok());
  const tools::ToolResult r = run({{"action", "text"}});
  ASSERT_TRUE(r.ok()) << r.message();
  const std::string& out = r.value().output;
  EXPECT_NE(out.find("\nVisible text:\nWelcome home\n\nFirst paragraph.\n\nSecond\n\nDocs"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n\nHeadings:\n  h1 Welcome home\nLinks (1):\n  Docs -> " + url("/docs") +
                     "\nButtons:\n  Send (disabled)\nInputs:\n  input type=\"email\" name=\"mail\" "
                     "placeholder=\"you@example.test\"\nImages with problems:\n  " +
                     url("/missing.png") + " (failed to load)\n  " + url("/favicon.ico") +
                     " (failed to load, no alt text)"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Hidden heading"), std::string::npos);
  EXPECT_FALSE(r.value().image);
}

TEST_F(ToolTest, ScrollWithoutArgumentsMovesOneScreenDown) {
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/tall")}}).ok());
  const tools::ToolResult r = run({{"action", "scroll"}});
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_NE(r.value().output.find("\nScrolled to y=800 (viewport 800 px, page 5016 px tall).\n"),
            std::string::npos)
      << r.value().output;
  EXPECT_TRUE(r.value().image);
}

TEST_F(ToolTest, EvalRunsReturnStatementsAndExpressions) {
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/hello")}}).ok());
  EXPECT_EQ(eval("return 1 + 1"), "2");
  EXPECT_EQ(eval("document.title"), "\"Hello\"");
  EXPECT_EQ(eval("await new Promise((r) => setTimeout(() => r('late'), 10))"), "\"late\"");
  EXPECT_EQ(eval("undefined"), "undefined");
  EXPECT_EQ(eval("NaN"), "NaN");
  EXPECT_EQ(eval("({a: 1, b: [true, 'x']})"), "{\"a\":1,\"b\":[true,\"x\"]}");
  EXPECT_EQ(
      eval("throw new Error('boom')").rfind("FAILED: The script failed: Uncaught Error: boom", 0),
      0u);
}

TEST_F(ToolTest, WaitFindsWhatShowsUpAndReportsWhatNeverDoes) {
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/form")}}).ok());
  const tools::ToolResult found = run({{"action", "wait"}, {"text", "Blue sky"}});
  ASSERT_TRUE(found.ok()) << found.message();
  EXPECT_NE(found.value().output.find("\nFound \"Blue sky\" after "), std::string::npos);
  EXPECT_FALSE(found.value().image);

  QElapsedTimer timer;
  timer.start();
  const tools::ToolResult missing =
      run({{"action", "wait"}, {"selector", "#hidden"}, {"wait_ms", 1200}});
  ASSERT_TRUE(missing.ok()) << missing.message();
  EXPECT_GE(timer.elapsed(), 1200);
  EXPECT_NE(missing.value().output.find("\nStill not there after 1"), std::string::npos);
  EXPECT_NE(missing.value().output.find(" ms: #hidden.\nScreenshot attached"), std::string::npos);
  EXPECT_TRUE(missing.value().image);
  EXPECT_EQ(text_of(run({{"action", "wait"}, {"selector", "a:::b"}}))
                .rfind("FAILED: The selector a:::b did not work: ", 0),
            0u);
}

TEST_F(ToolTest, ConsoleListsTheNewest200AfterTheCountOfEarlierOnes) {
  // A browser of its own, whose console holds nothing from earlier pages.
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/chatty")}}, "chat-c").ok());
  const tools::ToolResult r = run({{"action", "console"}}, "chat-c");
  ASSERT_TRUE(r.ok()) << r.message();
  const std::string& out = r.value().output;
  EXPECT_NE(out.find("\nConsole since the last check (every level):\n[... 50 earlier entries "
                     "...]\nlog: line 50 ("),
            std::string::npos)
      << out.substr(0, 400);
  EXPECT_NE(out.find("\nlog: line 249 ("), std::string::npos);
  EXPECT_EQ(out.find("line 49 "), std::string::npos);
  EXPECT_NE(run({{"action", "console"}}, "chat-c")
                .value()
                .output.find("\nNo console messages since the last check."),
            std::string::npos);
  const tools::ToolResult requests = run({{"action", "requests"}}, "chat-c");
  ASSERT_TRUE(requests.ok());
  EXPECT_NE(requests.value().output.find(
                "\nRequests since the last check (method, status, type, url, time):\n"),
            std::string::npos);
  EXPECT_NE(requests.value().output.find("\nGET 200 Document " + url("/chatty") + " "),
            std::string::npos)
      << requests.value().output;
  EXPECT_NE(run({{"action", "network"}}, "chat-c")
                .value()
                .output.find("\nNo requests since the last check."),
            std::string::npos);
  EXPECT_TRUE(run({{"action", "close"}}, "chat-c").ok());
}

TEST_F(ToolTest, SessionsNamesShareOrSeparateBrowsersAndCloseTwiceIsHarmless) {
  ASSERT_TRUE(
      run({{"action", "open"}, {"url", url("/hello")}, {"session", "research"}}, "chat-s").ok());
  ASSERT_TRUE(run({{"action", "screenshot"}, {"session", "  research "}}, "chat-s").ok());
  BrowserInstance* research = registry_->browser_of("chat-s", "research");
  ASSERT_NE(research, nullptr);
  EXPECT_NE(
      run({{"action", "eval"}, {"script", "location.pathname"}, {"session", "research"}}, "chat-s")
          .value()
          .output.find("\nResult:\n\"/hello\""),
      std::string::npos);
  const tools::ToolResult other = run({{"action", "screenshot"}, {"session", "other"}}, "chat-s");
  ASSERT_TRUE(other.ok());
  BrowserInstance* second = registry_->browser_of("chat-s", "other");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->pid(), research->pid());
  EXPECT_EQ(other.value().output.substr(0, other.value().output.find('\n')), "about:blank \"\"");

  const std::string profile = research->profile();
  EXPECT_EQ(text_of(run({{"action", "close"}, {"session", "research"}}, "chat-s")),
            "Closed the browser for this chat.");
  EXPECT_EQ(text_of(run({{"action", "close"}, {"session", "research"}}, "chat-s")),
            "No browser was open for this chat.");
  EXPECT_EQ(text_of(run({{"action", "close"}}, "chat-never")),
            "No browser was open for this chat.");
  EXPECT_TRUE(kavor::test::wait_until([&] { return !std::filesystem::exists(profile); }));
  EXPECT_NE(registry_->browser_of("chat-s", "other"), nullptr);
  EXPECT_EQ(text_of(run({{"action", "close"}, {"session", "other"}}, "chat-s")),
            "Closed the browser for this chat.");
}

TEST_F(ToolTest, BackOnAFreshTabHasNothingToGoBackTo) {
  EXPECT_EQ(text_of(run({{"action", "back"}}, "chat-fresh")),
            "FAILED: There is no earlier page in this tab's history.");
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/hello")}}, "chat-fresh").ok());
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/form")}}, "chat-fresh").ok());
  const tools::ToolResult back = run({{"action", "back"}}, "chat-fresh");
  ASSERT_TRUE(back.ok()) << back.message();
  EXPECT_EQ(back.value().output, url("/hello") + " (200) \"Hello\"\nWent back one page.");
  EXPECT_TRUE(run({{"action", "close"}}, "chat-fresh").ok());
}

TEST_F(ToolTest, AnOverrunClosesTheBrowserAndTheNextCallStartsAfresh) {
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/hello")}}, "chat-slow").ok());
  const std::int64_t first = registry_->browser_of("chat-slow", "")->pid();
  const tools::ToolResult r =
      run({{"action", "open"}, {"url", url("/hang")}, {"timeout", 1}}, "chat-slow");
  EXPECT_EQ(text_of(r),
            "FAILED: The browser did not finish within 5 seconds, so Kavor Agent closed it; the "
            "next browser call starts a fresh one.");
  EXPECT_EQ(registry_->browser_of("chat-slow", ""), nullptr);
  const tools::ToolResult next = run({{"action", "screenshot"}}, "chat-slow");
  ASSERT_TRUE(next.ok()) << next.message();
  EXPECT_EQ(next.value().output.substr(0, next.value().output.find('\n')), "about:blank \"\"");
  EXPECT_NE(registry_->browser_of("chat-slow", "")->pid(), first);
  EXPECT_TRUE(run({{"action", "close"}}, "chat-slow").ok());
}

TEST_F(ToolTest, LargeShotsStepDownTheQualityLadderAndKeepShowingTheScrolledView) {
  // White above, noise below: a shot of the scrolled view must be the noise (large even as a
  // JPEG), not the white top of the document (a few kilobytes).
  service_->set_default("GET", "/noise", html(R"(<title>Noise</title>
<body style="margin:0"><div style="height:4000px;background:#fff"></div><canvas id="c"></canvas>
<script>
const c = document.getElementById('c');
c.width = 4000; c.height = 4000;
const g = c.getContext('2d');
const image = g.createImageData(4000, 4000);
for (let i = 0; i < image.data.length; ++i) image.data[i] = (i % 4 === 3) ? 255 : Math.random() * 256;
g.putImageData(image, 0, 0);
</script></body>)"));
  // Filling and encoding 4000-pixel images several times over is slow on a busy machine under
  // the sanitizers: these calls get the longest limit a call may ask for, since what is checked
  // here is the ladder, not the time.
  ASSERT_TRUE(run({{"action", "open"}, {"url", url("/noise")}, {"timeout", 120}}, "chat-n").ok());
  EXPECT_EQ(eval("scrollTo(0, 4000); scrollY", "chat-n"), "4000");
  const tools::ToolResult shot = run(
      {{"action", "screenshot"}, {"width", 4000}, {"height", 4000}, {"timeout", 120}}, "chat-n");
  ASSERT_TRUE(shot.ok()) << shot.message();
  ASSERT_TRUE(shot.value().image);
  EXPECT_LE(shot.value().image->data.size(), 1'500'000u);
  EXPECT_GT(shot.value().image->data.size(), 200'000u);
  EXPECT_TRUE(
      shot.value().output.find("Screenshot attached (2000x2000 px, JPEG).") != std::string::npos ||
      shot.value().output.find("Screenshot attached (1400x1400 px, JPEG).") != std::string::npos)
      << shot.value().output;
  EXPECT_TRUE(run({{"action", "close"}}, "chat-n").ok());
}

TEST_F(ToolTest, HostilePagesCannotStallOrFloodTheTool) {
  // Half a surrogate pair in the title, the console and a value; a dialog storm; a megabyte log.
  service_->set_default("GET", "/hostile", html(R"(<title>x</title><script>
document.title = 'bad \uD800 title';
console.log('lone \uDC00 half');
for (let i = 0; i < 20; ++i) alert('storm ' + i);
console.log('y'.repeat(1 << 20));
window.open('/hello');
</script>)"));
  QElapsedTimer timer;
  timer.start();
  const tools::ToolResult opened = run({{"action", "open"}, {"url", url("/hostile")}}, "chat-h");
  ASSERT_TRUE(opened.ok()) << opened.message();
  EXPECT_EQ(opened.value().output.substr(0, opened.value().output.find('\n')),
            url("/hello") + " (200) \"Hello\"");
  EXPECT_LT(timer.elapsed(), 15000);
  timer.restart();
  const std::string value = eval(R"('half \uD800 of a pair')", "chat-h");
  EXPECT_LT(timer.elapsed(), 5000);
  EXPECT_EQ(value, "\"half \uFFFD of a pair\"");
  EXPECT_EQ(eval("'y'.repeat(1 << 20).length", "chat-h"), "1048576");
  const tools::ToolResult console = run({{"action", "console"}}, "chat-h");
  ASSERT_TRUE(console.ok());
  EXPECT_NE(console.value().output.find("alert dialog \"storm 19\" was accepted"),
            std::string::npos);
  EXPECT_LT(console.value().output.size(), 20000u);
  EXPECT_NE(console.value().output.find("\nlog: lone \uFFFD half ("), std::string::npos);
  EXPECT_NE(console.value().output.find("\nlog: " + std::string(500, 'y') + " \u2026"),
            std::string::npos);
  // window.open stayed in the one page.
  EXPECT_EQ(eval("location.pathname", "chat-h"), "\"/hello\"");
  EXPECT_TRUE(run({{"action", "close"}}, "chat-h").ok());
}

TEST_F(ToolTest, TheToolTableDecodesAndRunsBrowserCalls) {
  // A registry of the test's own, whose browsers end with the test.
  BrowserRegistry browsers;
  tools::ToolTable table;
  app::install_tools(table, browsers);
  const tools::Decoder* browser = table.find("browser");
  ASSERT_NE(browser, nullptr);
  const tools::fs::path root = tools::fs::canonical(dir_->path().toStdString());
  std::ofstream(root / "page.html") << "<title>Local</title><p>from the workspace</p>";
  const tools::Scope scope{root, {}};

  Result<tools::Decoded> local = (*browser)({{"action", "open"}, {"url", "page.html"}}, scope);
  ASSERT_TRUE(local.ok()) << local.message();
  tools::Decoded& decoded = local.value();
  EXPECT_EQ(decoded.summary, "browser open file://" + (root / "page.html").string());
  EXPECT_FALSE(decoded.outside);
  ASSERT_TRUE(decoded.run_async);
  const tools::ToolResult r = kavor::test::run(decoded.run_async(tools::RunContext{
      "call-1", "chat-table", std::make_shared<std::atomic<bool>>(false), nullptr}));
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_EQ(r.value().output.substr(0, r.value().output.find('\n')),
            "file://" + (root / "page.html").string() + " (200) \"Local\"");

  Result<tools::Decoded> elsewhere =
      (*browser)({{"action", "open"}, {"url", "/etc/hostname"}}, scope);
  ASSERT_TRUE(elsewhere.ok());
  EXPECT_TRUE(elsewhere.value().outside);
  Result<tools::Decoded> script = (*browser)({{"action", "eval"}, {"script", "1"}}, scope);
  EXPECT_EQ(script.value().kind, tools::ToolKind::Exec);
  EXPECT_EQ((*browser)({{"action", "open"}, {"url", "javascript:x"}}, scope).message(),
            "Only http, https and file pages can be opened, not javascript: links.");
}

// A page of the workspace can reach any other file of the disk: go to it, or frame it, and so
// put it in what the tool reads back (its text, its screenshot), though nobody let the assistant
// read that file. Only the chat's folders load, and an outside file that a call opens with the
// user's leave.
TEST_F(ToolTest, AWorkspacePageCannotBringInFilesFromOutside) {
  // A registry of the test's own, whose browsers end with the test.
  BrowserRegistry browsers;
  tools::ToolTable table;
  app::install_tools(table, browsers);
  const tools::Decoder* browser = table.find("browser");
  const tools::fs::path root = tools::fs::canonical(dir_->path().toStdString());
  const QTemporaryDir other;
  const tools::fs::path secret = tools::fs::canonical(other.path().toStdString()) / "secret.txt";
  std::ofstream(secret) << "TOP SECRET";
  const std::string secret_url = "file://" + secret.string();
  std::ofstream(root / "jump.html") << "<script>location.href = '" << secret_url << "'</script>";
  // A 1x1 PNG beside the secret, for a page that shows it as an image.
  const tools::fs::path image = secret.parent_path() / "secret.png";
  std::ofstream(image, std::ios::binary)
      << QByteArray::fromBase64(
             "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQ"
             "GAhKmMIQAAAABJRU5ErkJggg==")
             .toStdString();
  std::ofstream(root / "image.html")
      << "<img src='file://" << image.string() << "' onload='document.title = \"shown\"'"
      << " onerror='document.title = \"blocked\"'>";
  std::ofstream(root / "next.html") << "<script>location.href = 'page2.html'</script>";
  std::ofstream(root / "page2.html") << "<title>Second</title><p>also inside</p>";
  const auto call = [&](const common::Json& args) {
    Result<tools::Decoded> decoded = (*browser)(args, tools::Scope{root, {}});
    if (!decoded.ok()) return "FAILED: " + decoded.message();
    return text_of(kavor::test::run(decoded.value().run_async(tools::RunContext{
        "call", "chat-files", std::make_shared<std::atomic<bool>>(false), nullptr})));
  };

  call({{"action", "open"}, {"url", "jump.html"}});
  EXPECT_EQ(call({{"action", "text"}}).find("TOP SECRET"), std::string::npos);
  EXPECT_NE(call({{"action", "open"}, {"url", "image.html"}}).find("\"blocked\""),
            std::string::npos);
  EXPECT_NE(call({{"action", "open"}, {"url", "next.html"}}).find("\"Second\""), std::string::npos);
  // Opened by a call of its own, which asks the user first, the file shows.
  call({{"action", "open"}, {"url", secret.string()}});
  EXPECT_NE(call({{"action", "text"}}).find("TOP SECRET"), std::string::npos);
  // The address names the file by its path: a query or a fragment is the same file.
  call({{"action", "open"}, {"url", secret_url + "?again#top"}});
  EXPECT_NE(call({{"action", "text"}}).find("TOP SECRET"), std::string::npos);
}

// Only the path of a file: address counts, and only as the browser reads it: an address that
// spells a file outside the chat's folders another way (a host, "..", "/" encoded, a link in
// the workspace) stays out, while the query and fragment of an allowed file change nothing.
TEST_F(ToolTest, OnlyTheRealPathOfAFileAddressLetsItLoad) {
  const tools::fs::path root = tools::fs::canonical(dir_->path().toStdString());
  const QTemporaryDir other;
  const tools::fs::path outside = tools::fs::canonical(other.path().toStdString());
  ASSERT_EQ(outside.parent_path(), root.parent_path());
  const std::string png =
      QByteArray::fromBase64(
          "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQ"
          "GAhKmMIQAAAABJRU5ErkJggg==")
          .toStdString();
  std::ofstream(root / "in.png", std::ios::binary) << png;
  std::ofstream(outside / "out.png", std::ios::binary) << png;
  tools::fs::create_symlink(outside / "out.png", root / "alias.png");
  const std::string name = outside.filename().string();
  const std::vector<std::string> sources = {
      "in.png?x=1#top",
      "file://" + root.string() + "/in.png?again",
      "file://localhost" + outside.string() + "/out.png",
      "file:/" + outside.string() + "/out.png",  // the first folder read as a host
      "file://" + root.string() + "/sub/%2E%2E/%2E%2E/" + name + "/out.png",
      "file://" + root.string() + "%2F..%2F" + name + "%2Fout.png",
      "alias.png?x",
      "file://" + outside.string() + "/out.png?in.png",
  };
  std::ofstream page(root / "probe.html");
  for (const std::string& source : sources) page << "<img src='" << source << "'>";
  page.close();

  ASSERT_TRUE(run({{"action", "open"}, {"url", "probe.html"}}, "chat-paths").ok());
  EXPECT_EQ(eval("[...document.images].map((i) => i.naturalWidth).join(' ')", "chat-paths"),
            "\"1 1 0 0 0 0 0 0\"");
  EXPECT_TRUE(run({{"action", "close"}}, "chat-paths").ok());
}

}  // namespace
}  // namespace tool_test
}  // namespace kavor::browser
