// The browser tool's pure parts: arguments, keys, page URLs, the launch's command line and
// endpoint file, finding the program.
#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "browser/args.h"
#include "browser/keys.h"
#include "browser/launch.h"
#include "browser/urls.h"

namespace kavor::browser {
namespace decode_test {
namespace {

namespace fs = std::filesystem;

Result<DecodedBrowserCall> decode(const common::Json& args, const fs::path& root = "/") {
  return decode_browser_args(args, root);
}
std::string message_of(const common::Json& args) {
  const auto d = decode(args);
  return d.ok() ? "(decoded)" : d.message();
}
BrowserArgs args_of(const common::Json& args) {
  const auto d = decode(args);
  EXPECT_TRUE(d.ok()) << args.dump() << ": " << d.message();
  return d.ok() ? d->args : BrowserArgs{};
}

Environment env_of(std::map<std::string, std::string> values) {
  return [values](const std::string& name) -> std::optional<std::string> {
    const auto it = values.find(name);
    return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
}

TEST(BrowserArgs, ActionsMatchInAnyCaseByAnyOfTheirNames) {
  const std::pair<const char*, Action> cases[] = {
      {"NAVIGATE", Action::Open},  {"goto", Action::Open},     {"Screenshot", Action::Screenshot},
      {"FILL", Action::Type},      {"evaluate", Action::Eval}, {"Requests", Action::Network},
      {"refresh", Action::Reload}, {"close", Action::Close},   {"text", Action::Text},
  };
  for (const auto& [name, action] : cases) {
    common::Json args = {{"action", name}, {"url", "https://example.test/"},
                         {"text", "t"},    {"key", "a"},
                         {"script", "1"},  {"selector", "#s"}};
    EXPECT_EQ(args_of(args).action, action) << name;
  }
  for (const char* bad : {"scroll_down", "", "opem", "open ", "clickk"}) {
    EXPECT_EQ(message_of({{"action", bad}}),
              std::string("Unknown browser action ") + bad +
                  "; use open, screenshot, click, type, press, scroll, eval, text, console, "
                  "network, hover, select, wait, reload, back or close.");
  }
  EXPECT_EQ(message_of(common::Json::array()).rfind("Unknown browser action ;", 0), 0u);
}

TEST(BrowserArgs, LimitsAreClampedAndSizesChecked) {
  EXPECT_EQ(args_of({{"action", "text"}, {"timeout", 1}}).limit(), std::chrono::seconds(5));
  EXPECT_EQ(args_of({{"action", "text"}, {"timeout", 500}}).limit(), std::chrono::seconds(120));
  EXPECT_EQ(args_of({{"action", "text"}, {"timeout", 30}, {"wait_ms", 2500}}).limit(),
            std::chrono::milliseconds(32'500));
  EXPECT_EQ(args_of({{"action", "text"}}).limit(), std::chrono::seconds(30));
  EXPECT_EQ(args_of({{"action", "text"}, {"timeout", "-3"}}).limit(), std::chrono::seconds(30));
  EXPECT_EQ(args_of({{"action", "wait"}, {"text", "x"}, {"wait_ms", 60000}}).wait_ms, 30000u);
  EXPECT_EQ(args_of({{"action", "click"}, {"selector", "a"}, {"wait_ms", 60000}}).wait_ms, 15000u);
  EXPECT_EQ(args_of({{"action", "text"}, {"width", 390}}).width, 390u);
  EXPECT_EQ(args_of({{"action", "text"}, {"height", "4000"}}).height, 4000u);
  EXPECT_EQ(message_of({{"action", "text"}, {"width", 99}}),
            "width 99 is out of range; use 100 to 4000 pixels.");
  EXPECT_EQ(message_of({{"action", "text"}, {"width", 4001}}),
            "width 4001 is out of range; use 100 to 4000 pixels.");
  EXPECT_EQ(message_of({{"action", "text"}, {"height", -5}}),
            "height -5 is out of range; use 100 to 4000 pixels.");
  EXPECT_EQ(message_of({{"action", "text"}, {"height", "tall"}}),
            "height tall is out of range; use 100 to 4000 pixels.");
}

TEST(BrowserArgs, EachActionNamesWhatItIsMissing) {
  const std::pair<common::Json, const char*> cases[] = {
      {{{"action", "open"}}, "url is empty."},
      {{{"action", "open"}, {"url", "  "}}, "url is empty."},
      {{{"action", "click"}}, "click needs a selector, or both x and y."},
      {{{"action", "hover"}, {"x", 3}}, "hover needs a selector, or both x and y."},
      {{{"action", "click"}, {"x", "1e999"}, {"y", 2}}, "click needs a selector, or both x and y."},
      {{{"action", "type"}}, "type needs text."},
      {{{"action", "press"}}, "press needs key, for example Enter."},
      {{{"action", "eval"}, {"script", " \n "}}, "eval needs script."},
      {{{"action", "select"}, {"text", "a"}}, "select needs the selector of a <select> element."},
      {{{"action", "select"}, {"selector", "#s"}},
       "select needs text: the option's value or visible text."},
      {{{"action", "wait"}}, "wait needs a selector, or text to look for on the page."},
      {{{"action", "screenshot"}, {"key", "Hyper+X"}},
       "Unknown modifier Hyper in key Hyper+X; use Alt, Control, Meta or Shift."},
  };
  for (const auto& [args, message] : cases) EXPECT_EQ(message_of(args), message) << args.dump();
  EXPECT_TRUE(args_of({{"action", "click"}, {"x", "10"}, {"y", 20.5}}).x.has_value());
}

TEST(BrowserArgs, SummariesDetailsAndKinds) {
  const auto decoded = [](const common::Json& args) { return decode(args).value(); };
  EXPECT_EQ(decoded({{"action", "open"}, {"url", "example.test/a"}}).summary,
            "browser open https://example.test/a");
  EXPECT_EQ(decoded({{"action", "screenshot"}, {"full_page", true}}).summary,
            "browser screenshot (full page)");
  EXPECT_EQ(decoded({{"action", "click"}, {"x", 10}, {"y", "20.5"}}).summary,
            "browser click at 10, 20.5");
  EXPECT_EQ(decoded({{"action", "wait"}, {"text", "Done"}}).summary,
            "browser wait for text \"Done\"");
  EXPECT_EQ(decoded({{"action", "select"}, {"selector", "#c"}, {"text", "Red"}}).summary,
            "browser select Red in #c");
  EXPECT_EQ(decoded({{"action", "REQUESTS"}}).summary, "browser network");
  const DecodedBrowserCall typed = decoded({{"action", "type"}, {"text", "secret words"}});
  EXPECT_EQ(typed.summary, "browser type");
  EXPECT_EQ(typed.detail, "secret words");
  EXPECT_EQ(typed.kind, tools::ToolKind::Read);
  const DecodedBrowserCall script = decoded({{"action", "eval"}, {"script", "  a = 1;\nreturn a"}});
  EXPECT_EQ(script.kind, tools::ToolKind::Exec);
  EXPECT_EQ(script.summary, "browser eval a = 1; \u2026");
  EXPECT_EQ(script.detail, "  a = 1;\nreturn a");
  EXPECT_EQ(script.lang, "javascript");
  const std::string long_script(400, 'x');
  EXPECT_EQ(decoded({{"action", "eval"}, {"script", long_script}}).summary,
            "browser eval " + std::string(147, 'x') + " \u2026");
  EXPECT_EQ(
      decoded({{"action", "text"}, {"session", "  " + std::string(80, 's') + " "}}).args.session,
      std::string(64, 's'));
}

TEST(BrowserKeys, NamesModifiersAndCharactersBecomeKeyEvents) {
  struct Case {
    const char* written;
    int modifiers;
    const char* key;
    const char* code;
    int vk;
    const char* text;
  };
  const Case cases[] = {
      {"Control+a", 2, "a", "KeyA", 65, ""},
      {"Shift+a", 8, "A", "KeyA", 65, "A"},
      {"Ctrl+Shift+Tab", 10, "Tab", "Tab", 9, ""},
      {"enter", 0, "Enter", "Enter", 13, "\r"},
      {"ESC", 0, "Escape", "Escape", 27, ""},
      {"up", 0, "ArrowUp", "ArrowUp", 38, ""},
      {"space", 0, " ", "Space", 32, " "},
      {" ", 0, " ", "Space", 32, " "},
      {"f12", 0, "F12", "F12", 123, ""},
      {"Alt+F4", 1, "F4", "F4", 115, ""},
      {"7", 0, "7", "Digit7", 55, "7"},
      {"Control++", 2, "+", "", 0, ""},
      {"+", 0, "+", "", 0, "+"},
      {"cmd+option+z", 5, "z", "KeyZ", 90, ""},
      {"é", 0, "é", "", 0, "é"},
      {"Meta+Del", 4, "Delete", "Delete", 46, ""},
  };
  for (const Case& c : cases) {
    const Result<KeyPress> parsed = parse_key(c.written);
    ASSERT_TRUE(parsed.ok()) << c.written << ": " << parsed.message();
    const KeyPress& k = parsed.value();
    EXPECT_EQ(k.modifiers, c.modifiers) << c.written;
    EXPECT_EQ(k.key, c.key) << c.written;
    EXPECT_EQ(k.code, c.code) << c.written;
    EXPECT_EQ(k.virtual_key, c.vk) << c.written;
    EXPECT_EQ(k.text, c.text) << c.written;
  }
  for (const char* bad : {"F13", "F0", "ab", "Enterr", "Shift+"}) {
    const Result<KeyPress> parsed = parse_key(bad);
    ASSERT_FALSE(parsed.ok()) << bad;
    EXPECT_EQ(parsed.message().rfind("Unknown key ", 0), 0u) << bad;
  }
  EXPECT_EQ(parse_key("Hyper+X").message(),
            "Unknown modifier Hyper in key Hyper+X; use Alt, Control, Meta or Shift.");
}

TEST(BrowserUrls, PagesAreNormalizedOrRefusedByScheme) {
  QTemporaryDir dir;
  const fs::path root = fs::canonical(dir.path().toStdString());
  std::ofstream(root / "index.html") << "<p>hi</p>";
  fs::create_directory(root / "site");
  const auto url = [&](const std::string& text) {
    const auto r = normalize_url(text, root);
    return r.ok() ? r.value() : "ERROR " + r.message();
  };
  const std::pair<std::string, std::string> cases[] = {
      {"example.test/docs?q=1", "https://example.test/docs?q=1"},
      {"localhost:5173/app", "http://localhost:5173/app"},
      {"127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"0.0.0.0:3000/x", "http://0.0.0.0:3000/x"},
      {"[::1]:9000/", "http://[::1]:9000/"},
      {"  HTTPS://Example.TEST/a/../b  ", "https://example.test/b"},
      {"about:blank", "about:blank"},
      {"ABOUT:BLANK", "ABOUT:BLANK"},
      {"data:text/html,<b>x</b>", "data:text/html,<b>x</b>"},
      {"index.html", "file://" + (root / "index.html").string()},
      {(root / "index.html").string(), "file://" + (root / "index.html").string()},
      {"javascript:alert(1)",
       "ERROR Only http, https and file pages can be opened, not javascript: links."},
      {"JavaScript:alert(1)",
       "ERROR Only http, https and file pages can be opened, not javascript: links."},
      {"chrome://settings",
       "ERROR Only http, https and file pages can be opened, not chrome: links."},
      {"view-source:https://a.test",
       "ERROR Only http, https and file pages can be opened, not view-source: links."},
      {"about:config", "ERROR Only http, https and file pages can be opened, not about: links."},
      {"blob:https://a.test/x",
       "ERROR Only http, https and file pages can be opened, not blob: links."},
      {"ftp://a.test/", "ERROR Only http, https and file pages can be opened, not ftp: links."},
      {"site", "ERROR " + (root / "site").string() + " cannot be opened as a page."},
      {"/no/such/file.html", "ERROR /no/such/file.html does not exist."},
      {"", "ERROR url is empty."},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(url(text), expected) << text;
}

TEST(BrowserLaunch, CommandLine) {
  const std::vector<std::string> base = browser_arguments("/tmp/p", env_of({}));
  for (const char* wanted : {"--headless=new", "--remote-debugging-pipe", "--user-data-dir=/tmp/p",
                             "--crash-dumps-dir=/tmp/p/crashes", "--no-startup-window"}) {
    EXPECT_NE(std::find(base.begin(), base.end(), wanted), base.end()) << wanted;
  }
  // Only switches: no page of its own to start with, nothing a profile path could turn into one.
  for (const std::string& arg : base) EXPECT_EQ(arg.rfind("--", 0), 0u) << arg;
  EXPECT_EQ(std::find(base.begin(), base.end(), "--no-sandbox"), base.end());
  for (const char* value : {"true", "yes", " 1", "0", ""}) {
    EXPECT_EQ(browser_arguments("/tmp/p", env_of({{"KAVOR_AGENT_BROWSER_NO_SANDBOX", value}})),
              base)
        << value;
  }
  std::vector<std::string> unsandboxed = base;
  unsandboxed.emplace_back("--no-sandbox");
  EXPECT_EQ(browser_arguments("/tmp/p", env_of({{"KAVOR_AGENT_BROWSER_NO_SANDBOX", "1"}})),
            unsandboxed);
}

TEST(BrowserLaunch, FindsTheProgramFromTheVariableOrThePath) {
  QTemporaryDir dir;
  const fs::path bin = dir.path().toStdString();
  for (const char* name : {"msedge.exe", "msedge", "chromium", "brave-browser"}) {
    std::ofstream(bin / name) << "#!/bin/sh\n";
  }
  const std::string path = "/nonexistent:" + bin.string();
  const auto found_path = [](const Result<std::string>& r) {
    return r.ok() ? r.value() : "ERROR " + r.message();
  };
  EXPECT_EQ(found_path(find_browser(env_of({{"KAVOR_AGENT_BROWSER", "msedge"}, {"PATH", path}}))),
            (bin / "msedge.exe").string());
  EXPECT_EQ(
      found_path(find_browser(env_of({{"KAVOR_AGENT_BROWSER", (bin / "brave-browser").string()}}))),
      (bin / "brave-browser").string());
  EXPECT_EQ(found_path(find_browser(env_of({{"KAVOR_AGENT_BROWSER", "   "}, {"PATH", path}}))),
            (bin / "chromium").string());
  EXPECT_EQ(
      found_path(find_browser(env_of({{"KAVOR_AGENT_BROWSER", "nothing-here"}, {"PATH", path}}))),
      "ERROR KAVOR_AGENT_BROWSER is set to nothing-here, but no browser program was found there.");
  EXPECT_EQ(found_path(find_browser(env_of({{"PATH", "/nonexistent"}}))),
            "ERROR No Chrome-family browser was found on this computer. Install Google Chrome or "
            "Microsoft Edge, or set KAVOR_AGENT_BROWSER to the path of a Chrome, Chromium, Edge or "
            "Brave program.");

  // Windows: the program is the outer loop, so Chrome under LOCALAPPDATA beats Edge anywhere.
  const std::vector<std::string> candidates = windows_browser_candidates(env_of(
      {{"PROGRAMFILES", "C:\\Program Files"}, {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local\\"}}));
  const std::vector<std::string> expected = {
      "C:\\Program Files\\Google\\Chrome\\Application\\chrome.exe",
      "C:\\Users\\u\\AppData\\Local\\Google\\Chrome\\Application\\chrome.exe",
      "C:\\Program Files\\Chromium\\Application\\chrome.exe",
      "C:\\Users\\u\\AppData\\Local\\Chromium\\Application\\chrome.exe",
      "C:\\Program Files\\Microsoft\\Edge\\Application\\msedge.exe",
      "C:\\Users\\u\\AppData\\Local\\Microsoft\\Edge\\Application\\msedge.exe",
      "C:\\Program Files\\BraveSoftware\\Brave-Browser\\Application\\brave.exe",
      "C:\\Users\\u\\AppData\\Local\\BraveSoftware\\Brave-Browser\\Application\\brave.exe",
  };
  EXPECT_EQ(candidates, expected);
}

}  // namespace
}  // namespace decode_test
}  // namespace kavor::browser
