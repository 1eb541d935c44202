// What the actions do to a page, below the actions themselves: evaluate a script and tell its
// value from its exception, find an element, move and click the mouse, press a key, wait for
// the page to load or go quiet, take the screenshot, and compose the result text. Every wait
// ends early when the call's interrupt fires.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include <qcorotask.h>

#include "browser/instance.h"
#include "browser/keys.h"
#include "tools/call_info.h"

namespace kavor::browser {

using std::chrono::milliseconds;

inline constexpr milliseconds kLoadPoll{50};
inline constexpr milliseconds kQuietPoll{100};
// The network counts as quiet once nothing is in flight and nothing happened for this long...
inline constexpr milliseconds kQuietAfterActivity{500};
// ...but a settle always lasts at least this long, so late-starting requests are seen.
inline constexpr milliseconds kQuietAtLeast{300};
// After input: a moment for a navigation to start, and how long its load may take.
inline constexpr milliseconds kInputReaction{250};
inline constexpr milliseconds kLoadAfterInput{10'000};
inline constexpr milliseconds kWhereAmILimit{3'000};

inline constexpr std::size_t kMaxScreenshotChars = 1'500'000;  // base64
inline constexpr std::uint32_t kMaxShotWidth = 4000;
inline constexpr std::uint32_t kMaxShotHeight = 8000;

// A script's outcome: its value, an exception it threw, or a protocol failure.
struct Evaluated {
  enum class Kind { Value, Thrown, Failed } kind = Kind::Failed;
  common::Json value;   // the `result` remote object (Value)
  std::string message;  // the exception text (Thrown) or the failure (Failed)
};

QCoro::Task<Evaluated> evaluate_script(BrowserInstance& browser, std::string expression,
                                       bool repl_mode, Interrupt* interrupt,
                                       milliseconds limit = kCommandLimit);

// `function` applied to `arguments` (each written as a JSON literal).
std::string apply_script(const char* function, std::initializer_list<common::Json> arguments);

struct Located {
  double x = 0;  // viewport centre
  double y = 0;
  double left = 0;  // page position
  double top = 0;
  double width = 0;
  double height = 0;
  std::string label;
};

// The element for `selector`, scrolled into view; or "No element matches the selector ...",
// "The element ... is not visible (it has no size).", "The selector ... did not work: ...".
QCoro::Task<Result<Located>> locate(BrowserInstance& browser, std::string selector,
                                    Interrupt* interrupt);

QCoro::Task<Result<void>> mouse_at(BrowserInstance& browser, double x, double y, bool click,
                                   Interrupt* interrupt);
QCoro::Task<Result<void>> press_key(BrowserInstance& browser, KeyPress key, Interrupt* interrupt);

QCoro::Task<> wait_for_load(BrowserInstance& browser, milliseconds limit, Interrupt* interrupt);
QCoro::Task<> settle_quiet(BrowserInstance& browser, milliseconds limit, Interrupt* interrupt);
QCoro::Task<> settle_after_input(BrowserInstance& browser, milliseconds limit,
                                 std::uint64_t navigations_before, Interrupt* interrupt);

struct Shot {
  std::string data;  // base64 JPEG
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// A JPEG of the element, the whole page, or the viewport, at the best quality of the ladder
// that stays under 1,500,000 base64 characters.
QCoro::Task<Result<Shot>> screenshot(BrowserInstance& browser, std::string selector, bool full_page,
                                     Interrupt* interrupt);

// The result for the assistant: the page line, the action text, the screenshot (also attached
// as the image) and the problems seen since the last call.
QCoro::Task<tools::ToolOutput> compose(BrowserInstance& browser, std::string action_text,
                                       std::optional<Shot> shot, Interrupt* interrupt);

}  // namespace kavor::browser
