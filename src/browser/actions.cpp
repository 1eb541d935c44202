#include "browser/actions.h"

#include <QElapsedTimer>

#include <cmath>

#include "browser/display_text.h"
#include "browser/message_fields.h"
#include "browser/readback.h"
#include "browser/scripts.h"
#include "common/timing.h"

namespace kavor::browser {

namespace {

using ActionResult = Result<ActionDone>;

milliseconds settle_limit(const BrowserArgs& args, milliseconds fallback) {
  return args.wait_ms ? milliseconds(*args.wait_ms) : fallback;
}

std::string rounded(double value) {
  return std::to_string(std::llround(value));
}

// The screenshot every visible change ends with.
QCoro::Task<ActionResult> with_screenshot(BrowserInstance& browser, std::string text,
                                          Interrupt* interrupt) {
  QCoro::Task<Result<Shot>> shooting = screenshot(browser, "", false, interrupt);
  Result<Shot> shot = co_await shooting;
  if (!shot.ok()) co_return shot.error();
  co_return ActionDone{std::move(text), std::move(shot).value()};
}

QCoro::Task<ActionResult> open(BrowserInstance& browser, const BrowserArgs& args,
                               Interrupt* interrupt) {
  common::Json params = common::Json::object();
  params["url"] = args.url;
  QCoro::Task<CdpResult> navigating =
      browser.call("Page.navigate", std::move(params), true, interrupt);
  const CdpResult navigated = co_await navigating;
  if (!navigated.ok()) co_return navigated.error();
  const std::string error = str(navigated.value(), "errorText");
  if (!error.empty()) co_return fail("Could not open " + args.url + ": " + error + ".");
  // Without a loader the move stayed inside the document (a fragment): nothing to load.
  if (!str(navigated.value(), "loaderId").empty()) {
    QCoro::Task<> loading = wait_for_load(browser, kOpenLoadLimit, interrupt);
    co_await loading;
  }
  QCoro::Task<> settling = settle_quiet(browser, settle_limit(args, kSettleAfterLoad), interrupt);
  co_await settling;
  QCoro::Task<ActionResult> shooting = with_screenshot(browser, "", interrupt);
  ActionResult result = co_await shooting;
  co_return result;
}

QCoro::Task<ActionResult> point_at(BrowserInstance& browser, const BrowserArgs& args, bool click,
                                   Interrupt* interrupt) {
  double x = args.x.value_or(0);
  double y = args.y.value_or(0);
  std::string text;
  if (!args.selector.empty()) {
    QCoro::Task<Result<Located>> locating = locate(browser, args.selector, interrupt);
    const Result<Located> located = co_await locating;
    if (!located.ok()) co_return located.error();
    const Located& at = located.value();
    x = at.x;
    y = at.y;
    text = std::string(click ? "Clicked " : "Hovered over ") + at.label + " at (" + rounded(x) +
           ", " + rounded(y) + ").";
  } else {
    text = std::string(click ? "Clicked at (" : "Hovered at (") + number_text(x) + ", " +
           number_text(y) + ").";
  }
  const std::uint64_t before = browser.page().navigation_counter();
  QCoro::Task<Result<void>> moving = mouse_at(browser, x, y, click, interrupt);
  const Result<void> moved = co_await moving;
  if (!moved.ok()) co_return moved.error();
  QCoro::Task<> settling =
      settle_after_input(browser, settle_limit(args, click ? kSettleAfterClick : kSettleAfterHover),
                         before, interrupt);
  co_await settling;
  QCoro::Task<ActionResult> shooting = with_screenshot(browser, text, interrupt);
  ActionResult result = co_await shooting;
  co_return result;
}

QCoro::Task<ActionResult> type(BrowserInstance& browser, const BrowserArgs& args,
                               Interrupt* interrupt) {
  if (!args.selector.empty()) {
    QCoro::Task<Evaluated> focusing = evaluate_script(
        browser, apply_script(scripts::kFocus, {common::Json(args.selector)}), false, interrupt);
    const Evaluated focused = co_await focusing;
    if (focused.kind == Evaluated::Kind::Failed) co_return fail(focused.message);
    if (focused.kind == Evaluated::Kind::Thrown) {
      co_return fail("The selector " + args.selector + " did not work: " + focused.message);
    }
    const common::Json& value = member(focused.value, "value");
    if (!value.is_boolean())
      co_return fail("No element matches the selector " + args.selector + ".");
    if (!value.get<bool>()) co_return fail(args.selector + " could not take the keyboard focus.");
  }
  const std::uint64_t before = browser.page().navigation_counter();
  common::Json params = common::Json::object();
  params["text"] = args.text;
  QCoro::Task<CdpResult> inserting =
      browser.call("Input.insertText", std::move(params), true, interrupt);
  const CdpResult inserted = co_await inserting;
  if (!inserted.ok()) co_return inserted.error();

  const std::size_t n = char_count(args.text);
  std::string text = "Typed " + std::to_string(n) + " character" + (n == 1 ? "" : "s");
  if (!args.selector.empty()) text += " into " + args.selector;
  QCoro::Task<Evaluated> reading =
      evaluate_script(browser, scripts::kFocusedValue, false, interrupt);
  const Evaluated now = co_await reading;
  const common::Json& value = member(now.value, "value");
  if (now.kind == Evaluated::Kind::Value && value.is_string()) {
    text += "; its value is now \"" + cut_chars(value.get<std::string>(), kTypedValueChars) + "\"";
  }
  text += ".";
  if (args.key_press) {
    QCoro::Task<Result<void>> pressing = press_key(browser, *args.key_press, interrupt);
    const Result<void> pressed = co_await pressing;
    if (!pressed.ok()) co_return pressed.error();
    text += " Pressed " + args.key + ".";
  }
  QCoro::Task<> settling =
      settle_after_input(browser, settle_limit(args, kSettleAfterKeys), before, interrupt);
  co_await settling;
  QCoro::Task<ActionResult> shooting = with_screenshot(browser, text, interrupt);
  ActionResult result = co_await shooting;
  co_return result;
}

QCoro::Task<ActionResult> press(BrowserInstance& browser, const BrowserArgs& args,
                                Interrupt* interrupt) {
  const std::uint64_t before = browser.page().navigation_counter();
  QCoro::Task<Result<void>> pressing = press_key(browser, *args.key_press, interrupt);
  const Result<void> pressed = co_await pressing;
  if (!pressed.ok()) co_return pressed.error();
  QCoro::Task<> settling =
      settle_after_input(browser, settle_limit(args, kSettleAfterKeys), before, interrupt);
  co_await settling;
  co_return ActionDone{"Pressed " + args.key + ".", std::nullopt};
}

QCoro::Task<ActionResult> scroll(BrowserInstance& browser, const BrowserArgs& args,
                                 Interrupt* interrupt) {
  if (!args.selector.empty()) {
    QCoro::Task<Result<Located>> locating = locate(browser, args.selector, interrupt);
    const Result<Located> located = co_await locating;
    if (!located.ok()) co_return located.error();
  } else {
    const std::string by = "window.scrollBy(" + number_text(args.x.value_or(0)) + ", " +
                           (args.y ? number_text(*args.y) : std::string("innerHeight")) + ")";
    QCoro::Task<Evaluated> scrolling = evaluate_script(browser, by, false, interrupt);
    const Evaluated scrolled = co_await scrolling;
    if (scrolled.kind != Evaluated::Kind::Value) co_return fail(scrolled.message);
  }
  QCoro::Task<> settling = settle_quiet(browser, settle_limit(args, kSettleAfterScroll), interrupt);
  co_await settling;
  QCoro::Task<Evaluated> reading =
      evaluate_script(browser, scripts::kScrollPosition, false, interrupt);
  const Evaluated position = co_await reading;
  if (position.kind != Evaluated::Kind::Value) co_return fail(position.message);
  const common::Json& numbers = member(position.value, "value");
  const auto at = [&](std::size_t i) -> std::string {
    return numbers.is_array() && numbers.size() > i && numbers[i].is_number()
               ? rounded(numbers[i].get<double>())
               : std::string("?");
  };
  QCoro::Task<ActionResult> shooting = with_screenshot(
      browser,
      "Scrolled to y=" + at(0) + " (viewport " + at(1) + " px, page " + at(2) + " px tall).",
      interrupt);
  ActionResult result = co_await shooting;
  co_return result;
}

QCoro::Task<ActionResult> eval(BrowserInstance& browser, const BrowserArgs& args,
                               Interrupt* interrupt) {
  // A script whose top level returns is wrapped in an async function (and may then await); any
  // other runs as a console line would, where top-level await and redeclarations work.
  common::Json compile = common::Json::object();
  compile["expression"] = args.script;
  compile["sourceURL"] = "";
  compile["persistScript"] = false;
  QCoro::Task<CdpResult> compiling =
      browser.call("Runtime.compileScript", std::move(compile), true, interrupt);
  const CdpResult compiled = co_await compiling;
  if (!compiled.ok()) co_return compiled.error();
  const common::Json& details = member(compiled.value(), "exceptionDetails");
  std::string problem = str(member(details, "exception"), "description");
  if (problem.empty()) problem = str(details, "text");
  const bool wrap = problem.find("Illegal return statement") != std::string::npos;
  const std::string expression = wrap ? "(async () => {\n" + args.script + "\n})()" : args.script;

  QCoro::Task<Evaluated> evaluating = evaluate_script(browser, expression, !wrap, interrupt);
  const Evaluated result = co_await evaluating;
  if (result.kind == Evaluated::Kind::Failed) co_return fail(result.message);
  if (result.kind == Evaluated::Kind::Thrown)
    co_return fail("The script failed: " + result.message);
  co_return ActionDone{"Result:\n" + value_report(result.value), std::nullopt};
}

QCoro::Task<ActionResult> text(BrowserInstance& browser, Interrupt* interrupt) {
  QCoro::Task<Evaluated> reading =
      evaluate_script(browser, apply_script(scripts::kSummary, {}), false, interrupt);
  const Evaluated summary = co_await reading;
  if (summary.kind == Evaluated::Kind::Failed) co_return fail(summary.message);
  if (summary.kind == Evaluated::Kind::Thrown) {
    co_return fail("Could not read the page: " + summary.message);
  }
  co_return ActionDone{summary_report(member(summary.value, "value")), std::nullopt};
}

QCoro::Task<ActionResult> select(BrowserInstance& browser, const BrowserArgs& args,
                                 Interrupt* interrupt) {
  const std::uint64_t before = browser.page().navigation_counter();
  QCoro::Task<Evaluated> selecting = evaluate_script(
      browser,
      apply_script(scripts::kSelect, {common::Json(args.selector), common::Json(args.text)}), false,
      interrupt);
  const Evaluated chosen = co_await selecting;
  if (chosen.kind == Evaluated::Kind::Failed) co_return fail(chosen.message);
  if (chosen.kind == Evaluated::Kind::Thrown) {
    co_return fail("The selector " + args.selector + " did not work: " + chosen.message);
  }
  const common::Json& value = member(chosen.value, "value");
  if (!value.is_object()) co_return fail("No element matches the selector " + args.selector + ".");
  if (value.contains("tag")) {
    co_return fail(args.selector + " is a <" + str(value, "tag") + "> element, not a <select>.");
  }
  const common::Json& options = member(value, "options");
  if (options.is_array()) {
    std::string list;
    for (const common::Json& option : options) {
      if (!list.empty()) list += "; ";
      if (option.is_string()) list += option.get<std::string>();
    }
    co_return fail("No option of " + args.selector + " matches \"" + args.text +
                   "\". The options are: " + list + ".");
  }
  QCoro::Task<> settling =
      settle_after_input(browser, settle_limit(args, kSettleAfterKeys), before, interrupt);
  co_await settling;
  QCoro::Task<ActionResult> shooting =
      with_screenshot(browser, "selected " + str(value, "selected"), interrupt);
  ActionResult result = co_await shooting;
  co_return result;
}

QCoro::Task<ActionResult> wait(BrowserInstance& browser, const BrowserArgs& args,
                               Interrupt* interrupt) {
  const std::string check = args.selector.empty()
                                ? apply_script(scripts::kHasText, {common::Json(args.text)})
                                : apply_script(scripts::kShown, {common::Json(args.selector)});
  const std::string label =
      args.selector.empty() ? "\"" + cut_chars(args.text, kWaitLabelChars) + "\"" : args.selector;
  const milliseconds limit = args.wait_ms ? milliseconds(*args.wait_ms) : kWaitDefault;
  QElapsedTimer since;
  since.start();
  while (true) {
    QCoro::Task<Evaluated> checking = evaluate_script(browser, check, false, interrupt);
    const Evaluated seen = co_await checking;
    if (seen.kind == Evaluated::Kind::Thrown &&
        seen.message.find("is not a valid selector") != std::string::npos) {
      co_return fail("The selector " + args.selector + " did not work: " + seen.message);
    }
    const common::Json& value = member(seen.value, "value");
    if (seen.kind == Evaluated::Kind::Value && value.is_boolean() && value.get<bool>()) {
      co_return ActionDone{"Found " + label + " after " + std::to_string(since.elapsed()) + " ms.",
                           std::nullopt};
    }
    // A failed check counts as not found, unless the call was interrupted or the browser is
    // gone: then nothing will show. The check may have answered just before that happened (the
    // page's process killed while its answer was on the way), and then the end gives the reason.
    if ((interrupt != nullptr && interrupt->fired()) || !browser.alive()) {
      if (!seen.message.empty()) co_return fail(seen.message);
      co_return fail(browser.alive() ? std::string("The wait was interrupted.")
                                     : browser.end_reason());
    }
    if (since.elapsed() >= common::timing::io_limit(limit).count()) break;
    const bool waited = co_await pause(kWaitPoll, interrupt);
    if (!waited) co_return fail("The wait was interrupted.");
  }
  QCoro::Task<ActionResult> shooting = with_screenshot(
      browser, "Still not there after " + std::to_string(since.elapsed()) + " ms: " + label + ".",
      interrupt);
  ActionResult result = co_await shooting;
  co_return result;
}

QCoro::Task<ActionResult> reload(BrowserInstance& browser, const BrowserArgs& args,
                                 Interrupt* interrupt) {
  QCoro::Task<CdpResult> reloading =
      browser.call("Page.reload", common::Json::object(), true, interrupt);
  const CdpResult reloaded = co_await reloading;
  if (!reloaded.ok()) co_return reloaded.error();
  QCoro::Task<> loading = wait_for_load(browser, kOpenLoadLimit, interrupt);
  co_await loading;
  QCoro::Task<> settling = settle_quiet(browser, settle_limit(args, kSettleAfterLoad), interrupt);
  co_await settling;
  QCoro::Task<ActionResult> shooting = with_screenshot(browser, "Reloaded.", interrupt);
  ActionResult result = co_await shooting;
  co_return result;
}

QCoro::Task<ActionResult> back(BrowserInstance& browser, const BrowserArgs& args,
                               Interrupt* interrupt) {
  QCoro::Task<CdpResult> reading =
      browser.call("Page.getNavigationHistory", common::Json::object(), true, interrupt);
  const CdpResult history = co_await reading;
  if (!history.ok()) co_return history.error();
  const std::optional<std::int64_t> index = integer(history.value(), "currentIndex");
  const common::Json& entries = member(history.value(), "entries");
  if (!index || *index <= 0 || !entries.is_array() ||
      static_cast<std::size_t>(*index) > entries.size()) {
    co_return fail("There is no earlier page in this tab's history.");
  }
  const common::Json& entry = entries[static_cast<std::size_t>(*index - 1)];
  const std::uint64_t before = browser.page().navigation_counter();
  common::Json params = common::Json::object();
  params["entryId"] = member(entry, "id");
  QCoro::Task<CdpResult> going =
      browser.call("Page.navigateToHistoryEntry", std::move(params), true, interrupt);
  const CdpResult went = co_await going;
  if (!went.ok()) co_return went.error();
  QCoro::Task<> settling =
      settle_after_input(browser, settle_limit(args, kSettleAfterBack), before, interrupt);
  co_await settling;
  co_return ActionDone{"Went back one page.", std::nullopt};
}

}  // namespace

QCoro::Task<Result<ActionDone>> run_action(BrowserInstance& browser, const BrowserArgs& args,
                                           Interrupt* interrupt) {
  std::optional<QCoro::Task<ActionResult>> running;
  switch (args.action) {
    case Action::Open:
      running.emplace(open(browser, args, interrupt));
      break;
    case Action::Screenshot: {
      QCoro::Task<Result<Shot>> shooting =
          screenshot(browser, args.selector, args.full_page, interrupt);
      Result<Shot> shot = co_await shooting;
      if (!shot.ok()) co_return shot.error();
      co_return ActionDone{"", std::move(shot).value()};
    }
    case Action::Click:
      running.emplace(point_at(browser, args, true, interrupt));
      break;
    case Action::Hover:
      running.emplace(point_at(browser, args, false, interrupt));
      break;
    case Action::Type:
      running.emplace(type(browser, args, interrupt));
      break;
    case Action::Press:
      running.emplace(press(browser, args, interrupt));
      break;
    case Action::Scroll:
      running.emplace(scroll(browser, args, interrupt));
      break;
    case Action::Eval:
      running.emplace(eval(browser, args, interrupt));
      break;
    case Action::Text:
      running.emplace(text(browser, interrupt));
      break;
    case Action::Console:
      co_return ActionDone{console_report(browser.page().take_console()), std::nullopt};
    case Action::Network:
      co_return ActionDone{network_report(browser.page().take_network()), std::nullopt};
    case Action::Select:
      running.emplace(select(browser, args, interrupt));
      break;
    case Action::Wait:
      running.emplace(wait(browser, args, interrupt));
      break;
    case Action::Reload:
      running.emplace(reload(browser, args, interrupt));
      break;
    case Action::Back:
      running.emplace(back(browser, args, interrupt));
      break;
    case Action::Close:
      co_return fail("close is not an action on a page.");
  }
  ActionResult result = co_await *running;
  co_return result;
}

}  // namespace kavor::browser
