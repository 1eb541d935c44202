#include "browser/args.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "browser/display_text.h"
#include "browser/urls.h"
#include "common/utf8.h"
#include "tools/args.h"

namespace kavor::browser {

namespace {

struct ActionName {
  const char* name;
  Action action;
};

constexpr ActionName kActionNames[] = {
    {"open", Action::Open},        {"goto", Action::Open},
    {"navigate", Action::Open},    {"screenshot", Action::Screenshot},
    {"click", Action::Click},      {"type", Action::Type},
    {"fill", Action::Type},        {"press", Action::Press},
    {"scroll", Action::Scroll},    {"eval", Action::Eval},
    {"evaluate", Action::Eval},    {"text", Action::Text},
    {"console", Action::Console},  {"network", Action::Network},
    {"requests", Action::Network}, {"hover", Action::Hover},
    {"select", Action::Select},    {"wait", Action::Wait},
    {"reload", Action::Reload},    {"refresh", Action::Reload},
    {"back", Action::Back},        {"close", Action::Close},
};

// A coordinate: a JSON number or a string holding one; anything else (or not finite) is absent.
std::optional<double> coordinate(const common::Json& args, const char* key) {
  const common::Json* it = &common::json::member(args, key);
  if (it->is_null()) return std::nullopt;
  double value = 0;
  if (it->is_number()) {
    value = it->get<double>();
  } else if (it->is_string()) {
    const std::string text = trim(it->get<std::string>());
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
  } else {
    return std::nullopt;
  }
  // Far outside any page; also keeps the numbers printable as plain integers.
  if (!std::isfinite(value) || std::fabs(value) > 1e7) return std::nullopt;
  return value;
}

std::string summary_for(const BrowserArgs& a) {
  const std::string name = action_name(a.action);
  switch (a.action) {
    case Action::Open:
      return "browser open " + a.url;
    case Action::Screenshot:
      if (!a.selector.empty()) return "browser screenshot " + a.selector;
      return a.full_page ? "browser screenshot (full page)" : "browser screenshot";
    case Action::Click:
    case Action::Hover:
      if (!a.selector.empty()) return "browser " + name + " " + a.selector;
      return "browser " + name + " at " + number_text(*a.x) + ", " + number_text(*a.y);
    case Action::Type:
      return a.selector.empty() ? "browser type" : "browser type into " + a.selector;
    case Action::Press:
      return "browser press " + a.key;
    case Action::Scroll:
      return a.selector.empty() ? "browser scroll" : "browser scroll to " + a.selector;
    case Action::Eval:
      return "browser eval " + trim(a.script);
    case Action::Select:
      return "browser select " + a.text + " in " + a.selector;
    case Action::Wait:
      return a.selector.empty() ? "browser wait for text \"" + a.text + "\""
                                : "browser wait for " + a.selector;
    default:
      return "browser " + name;
  }
}

// One line, at most 160 characters, " …" when something was left out (the command summary rule
// with a longer line).
std::string one_line(const std::string& text) {
  const std::size_t newline = text.find_first_of("\r\n");
  std::string line = common::utf8_lossy(text.substr(0, newline));
  std::string cut = cut_chars(line, kSummaryChars);
  if (newline != std::string::npos && cut.size() == line.size()) cut += " \u2026";
  return cut;
}

}  // namespace

const char* action_name(Action action) {
  switch (action) {
    case Action::Open:
      return "open";
    case Action::Screenshot:
      return "screenshot";
    case Action::Click:
      return "click";
    case Action::Type:
      return "type";
    case Action::Press:
      return "press";
    case Action::Scroll:
      return "scroll";
    case Action::Eval:
      return "eval";
    case Action::Text:
      return "text";
    case Action::Console:
      return "console";
    case Action::Network:
      return "network";
    case Action::Hover:
      return "hover";
    case Action::Select:
      return "select";
    case Action::Wait:
      return "wait";
    case Action::Reload:
      return "reload";
    case Action::Back:
      return "back";
    case Action::Close:
      return "close";
  }
  return "";
}

std::chrono::milliseconds BrowserArgs::limit() const {
  return std::chrono::seconds(timeout_s) + std::chrono::milliseconds(wait_ms.value_or(0));
}

Result<DecodedBrowserCall> decode_browser_args(const common::Json& json,
                                               const std::filesystem::path& workspace) {
  DecodedBrowserCall call;
  BrowserArgs& a = call.args;

  // The action, by any of its names, in any case.
  const std::string action = tools::string_arg(json, "action");
  const std::string wanted = ascii_lower(action);
  bool known = false;
  for (const ActionName& entry : kActionNames) {
    if (wanted == entry.name) {
      a.action = entry.action;
      known = true;
    }
  }
  if (!known) {
    return fail("Unknown browser action " + common::utf8_lossy(action) +
                "; use open, screenshot, click, type, press, scroll, eval, text, console, network, "
                "hover, select, wait, reload, back or close.");
  }

  // Sizes and limits.
  for (const char* name : {"width", "height"}) {
    const common::Json& raw = common::json::member(json, name);
    if (raw.is_null()) continue;
    const std::optional<std::uint64_t> value = tools::int_arg(json, name);
    if (!value || *value < kMinViewport || *value > kMaxViewport) {
      const std::string shown =
          raw.is_string() ? common::utf8_lossy(raw.get<std::string>())
                          : raw.dump(-1, ' ', false, common::Json::error_handler_t::replace);
      return fail(std::string(name) + " " + shown + " is out of range; use 100 to 4000 pixels.");
    }
    (std::string(name) == "width" ? a.width : a.height) = static_cast<std::uint32_t>(*value);
  }
  if (const std::optional<std::uint64_t> wait = tools::int_arg(json, "wait_ms")) {
    a.wait_ms =
        std::min<std::uint64_t>(*wait, a.action == Action::Wait ? kMaxWaitMs : kMaxSettleMs);
  }
  if (const std::optional<std::uint64_t> timeout = tools::int_arg(json, "timeout")) {
    a.timeout_s = std::clamp<std::uint64_t>(*timeout, kMinTimeout, kMaxTimeout);
  }

  a.session = trim(common::utf8_lossy(tools::string_arg(json, "session")));
  a.session.resize(common::utf8_prefix_bytes(a.session, kSessionChars));
  a.selector = common::utf8_lossy(tools::string_arg(json, "selector"));
  a.text = common::utf8_lossy(tools::string_arg(json, "text"));
  a.key = common::utf8_lossy(tools::string_arg(json, "key"));
  a.script = common::utf8_lossy(tools::string_arg(json, "script"));
  a.x = coordinate(json, "x");
  a.y = coordinate(json, "y");
  a.full_page = tools::bool_arg(json, "full_page");

  // What each action needs.
  const std::string name = action_name(a.action);
  switch (a.action) {
    case Action::Open: {
      Result<std::string> url = normalize_url(tools::string_arg(json, "url"), workspace);
      if (!url.ok()) return url.error();
      a.url = std::move(url).value();
      break;
    }
    case Action::Click:
    case Action::Hover:
      if (a.selector.empty() && (!a.x || !a.y))
        return fail(name + " needs a selector, or both x and y.");
      break;
    case Action::Type:
      if (a.text.empty()) return fail("type needs text.");
      break;
    case Action::Press:
      if (a.key.empty()) return fail("press needs key, for example Enter.");
      break;
    case Action::Eval:
      if (trim(a.script).empty()) return fail("eval needs script.");
      break;
    case Action::Select:
      if (a.selector.empty()) return fail("select needs the selector of a <select> element.");
      if (a.text.empty()) return fail("select needs text: the option's value or visible text.");
      break;
    case Action::Wait:
      if (a.selector.empty() && a.text.empty()) {
        return fail("wait needs a selector, or text to look for on the page.");
      }
      break;
    default:
      break;
  }
  if (!a.key.empty()) {
    Result<KeyPress> press = parse_key(a.key);
    if (!press.ok()) return press.error();
    a.key_press = std::move(press).value();
  }

  a.local_folders = {workspace};
  call.kind = a.action == Action::Eval ? tools::ToolKind::Exec : tools::ToolKind::Read;
  call.summary = one_line(summary_for(a));
  if (a.action == Action::Type) call.detail = a.text;
  if (a.action == Action::Eval) {
    call.detail = a.script;
    call.lang = "javascript";
  }
  return call;
}

}  // namespace kavor::browser
