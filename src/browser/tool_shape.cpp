#include "browser/tool_shape.h"

#include "browser/args.h"

namespace kavor::browser {

namespace {

tools::ToolShape make_shape() {
  using T = tools::ArgType;
  const std::string pixels =
      "In pixels, " + std::to_string(kMinViewport) + " to " + std::to_string(kMaxViewport) + ".";
  return {
      "browser",
      "Use the private browser",
      "Drives a private browser with a profile of its own that ends with the agent: open a page, "
      "read it, take a screenshot, click, type, press keys, scroll, run a script, and more.",
      {{"action", T::String, true,
        "open, screenshot, click, type, press, scroll, eval, text, console, network, hover, "
        "select, wait, reload, back or close."},
       {"session", T::String, false,
        "The browser session's name, at most " + std::to_string(kSessionChars) +
            " characters; each name has its own tabs. The default session when absent."},
       {"url", T::String, false,
        "open: the address, or a file path relative to the workspace folder."},
       {"selector", T::String, false, "click, hover, type, select, wait: a CSS selector."},
       {"text", T::String, false,
        "type: the text to type; select: the option; wait: text to wait for."},
       {"key", T::String, false, "press: the key, for example Enter or Control+A."},
       {"script", T::String, false, "eval: the JavaScript to run in the page."},
       {"x", T::Number, false, "click, hover, scroll: the horizontal position in pixels."},
       {"y", T::Number, false, "click, hover, scroll: the vertical position in pixels."},
       {"full_page", T::Boolean, false, "screenshot: the whole page rather than what shows."},
       {"width", T::Integer, false, "The viewport's width. " + pixels},
       {"height", T::Integer, false, "The viewport's height. " + pixels},
       {"wait_ms", T::Integer, false,
        "wait: how long to wait, at most " + std::to_string(kMaxWaitMs) +
            " ms; other actions: how long the page may take to settle, at most " +
            std::to_string(kMaxSettleMs) + " ms."},
       {"timeout", T::Integer, false,
        "Seconds the action may take, " + std::to_string(kMinTimeout) + " to " +
            std::to_string(kMaxTimeout) + "; " + std::to_string(kDefaultTimeout) +
            " when absent."}},
      false,
      false,
      true};
}

}  // namespace

const tools::ToolShape& browser_tool_shape() {
  static const tools::ToolShape shape = make_shape();
  return shape;
}

}  // namespace kavor::browser
