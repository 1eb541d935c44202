#include "browser/page_ops.h"

#include <QElapsedTimer>

#include <cmath>

#include "browser/message_fields.h"
#include "browser/readback.h"
#include "browser/scripts.h"
#include "common/timing.h"

namespace kavor::browser {

namespace {

struct Rung {
  int quality;
  double scale;
};
// Best first; the last rungs trade sharpness for size on very large pages.
constexpr Rung kQualityLadder[] = {{70, 1.0}, {50, 1.0}, {35, 1.0}, {35, 0.5}, {25, 0.35}};

bool elapsed(const QElapsedTimer& since, milliseconds limit) {
  return since.elapsed() >= common::timing::io_limit(limit).count();
}

std::string json_text(const common::Json& value) {
  return value.dump(-1, ' ', false, common::Json::error_handler_t::replace);
}

}  // namespace

std::string apply_script(const char* function, std::initializer_list<common::Json> arguments) {
  std::string out = "(";
  out += function;
  out += ")(";
  bool first = true;
  for (const common::Json& argument : arguments) {
    if (!first) out += ", ";
    first = false;
    out += json_text(argument);
  }
  out += ")";
  return out;
}

QCoro::Task<Evaluated> evaluate_script(BrowserInstance& browser, std::string expression,
                                       bool repl_mode, Interrupt* interrupt, milliseconds limit) {
  QCoro::Task<CdpResult> evaluating =
      browser.evaluate(std::move(expression), repl_mode, interrupt, limit);
  const CdpResult reply = co_await evaluating;
  Evaluated out;
  if (!reply.ok()) {
    out.message = reply.message();
    co_return out;
  }
  const common::Json& details = member(reply.value(), "exceptionDetails");
  if (details.is_object()) {
    out.kind = Evaluated::Kind::Thrown;
    out.message = exception_text(details);
    co_return out;
  }
  out.kind = Evaluated::Kind::Value;
  out.value = member(reply.value(), "result");
  co_return out;
}

QCoro::Task<Result<Located>> locate(BrowserInstance& browser, std::string selector,
                                    Interrupt* interrupt) {
  QCoro::Task<Evaluated> evaluating = evaluate_script(
      browser, apply_script(scripts::kLocate, {common::Json(selector)}), false, interrupt);
  const Evaluated found = co_await evaluating;
  if (found.kind == Evaluated::Kind::Failed) co_return fail(found.message);
  if (found.kind == Evaluated::Kind::Thrown) {
    co_return fail("The selector " + selector + " did not work: " + found.message);
  }
  const common::Json& box = member(found.value, "value");
  if (!box.is_object()) co_return fail("No element matches the selector " + selector + ".");
  Located at;
  at.x = number(box, "x").value_or(0);
  at.y = number(box, "y").value_or(0);
  at.left = number(box, "left").value_or(0);
  at.top = number(box, "top").value_or(0);
  at.width = number(box, "w").value_or(0);
  at.height = number(box, "h").value_or(0);
  at.label = str(box, "label");
  if (!(at.width > 0) || !(at.height > 0)) {
    co_return fail("The element " + selector + " is not visible (it has no size).");
  }
  co_return at;
}

QCoro::Task<Result<void>> mouse_at(BrowserInstance& browser, double x, double y, bool click,
                                   Interrupt* interrupt) {
  std::vector<common::Json> events;
  events.push_back(common::Json{{"type", "mouseMoved"}, {"x", x}, {"y", y}});
  if (click) {
    events.push_back(common::Json{{"type", "mousePressed"},
                                  {"x", x},
                                  {"y", y},
                                  {"button", "left"},
                                  {"buttons", 1},
                                  {"clickCount", 1}});
    events.push_back(common::Json{{"type", "mouseReleased"},
                                  {"x", x},
                                  {"y", y},
                                  {"button", "left"},
                                  {"buttons", 0},
                                  {"clickCount", 1}});
  }
  for (common::Json& event : events) {
    QCoro::Task<CdpResult> sending =
        browser.call("Input.dispatchMouseEvent", std::move(event), true, interrupt);
    const CdpResult sent = co_await sending;
    if (!sent.ok()) co_return sent.error();
  }
  co_return Result<void>();
}

QCoro::Task<Result<void>> press_key(BrowserInstance& browser, KeyPress key, Interrupt* interrupt) {
  common::Json down = common::Json::object();
  down["type"] = key.text.empty() ? "rawKeyDown" : "keyDown";
  down["modifiers"] = key.modifiers;
  down["key"] = key.key;
  down["code"] = key.code;
  down["windowsVirtualKeyCode"] = key.virtual_key;
  if (!key.text.empty()) {
    down["text"] = key.text;
    down["unmodifiedText"] = key.text;
  }
  common::Json up = common::Json::object();
  up["type"] = "keyUp";
  up["modifiers"] = key.modifiers;
  up["key"] = key.key;
  up["code"] = key.code;
  up["windowsVirtualKeyCode"] = key.virtual_key;
  for (common::Json* event : {&down, &up}) {
    QCoro::Task<CdpResult> sending =
        browser.call("Input.dispatchKeyEvent", std::move(*event), true, interrupt);
    const CdpResult sent = co_await sending;
    if (!sent.ok()) co_return sent.error();
  }
  co_return Result<void>();
}

QCoro::Task<> wait_for_load(BrowserInstance& browser, milliseconds limit, Interrupt* interrupt) {
  QElapsedTimer since;
  since.start();
  // A browser that died will never load anything: no point waiting out the limit.
  while (!browser.page().loaded() && !elapsed(since, limit) && browser.alive()) {
    const bool waited = co_await pause(kLoadPoll, interrupt);
    if (!waited) co_return;
  }
}

QCoro::Task<> settle_quiet(BrowserInstance& browser, milliseconds limit, Interrupt* interrupt) {
  QElapsedTimer since;
  since.start();
  while (!elapsed(since, limit) && browser.alive()) {
    const std::optional<Clock::time_point> activity = browser.page().last_activity();
    const bool busy =
        browser.page().in_flight() > 0 ||
        (activity && Clock::now() - *activity < common::timing::io_limit(kQuietAfterActivity));
    if (!busy && elapsed(since, kQuietAtLeast)) co_return;
    const bool waited = co_await pause(kQuietPoll, interrupt);
    if (!waited) co_return;
  }
}

QCoro::Task<> settle_after_input(BrowserInstance& browser, milliseconds limit,
                                 std::uint64_t navigations_before, Interrupt* interrupt) {
  const bool waited = co_await pause(kInputReaction, interrupt);
  if (!waited) co_return;
  if (browser.page().navigation_counter() != navigations_before) {
    QCoro::Task<> loading = wait_for_load(browser, kLoadAfterInput, interrupt);
    co_await loading;
  }
  QCoro::Task<> settling = settle_quiet(browser, limit, interrupt);
  co_await settling;
}

QCoro::Task<Result<Shot>> screenshot(BrowserInstance& browser, std::string selector, bool full_page,
                                     Interrupt* interrupt) {
  // The region: the element's box, the whole page over the viewport's width, or the viewport.
  std::optional<common::Json> region;
  double width = browser.width();
  double height = browser.height();
  if (!selector.empty()) {
    QCoro::Task<Result<Located>> locating = locate(browser, selector, interrupt);
    const Result<Located> located = co_await locating;
    if (!located.ok()) co_return located.error();
    const Located& at = located.value();
    width = std::min<double>(std::ceil(at.width), kMaxShotWidth);
    height = std::min<double>(std::ceil(at.height), kMaxShotHeight);
    region = common::Json{{"x", at.left}, {"y", at.top}, {"width", width}, {"height", height}};
  } else if (full_page) {
    QCoro::Task<CdpResult> measuring =
        browser.call("Page.getLayoutMetrics", common::Json::object(), true, interrupt);
    const CdpResult metrics = co_await measuring;
    if (!metrics.ok()) co_return metrics.error();
    const common::Json& content = member(metrics.value(), "cssContentSize").is_object()
                                      ? member(metrics.value(), "cssContentSize")
                                      : member(metrics.value(), "contentSize");
    height =
        std::clamp<double>(std::ceil(number(content, "height").value_or(1)), 1, kMaxShotHeight);
    region = common::Json{{"x", 0}, {"y", 0}, {"width", width}, {"height", height}};
  }
  const bool beyond_viewport = region.has_value();
  std::optional<common::Json> viewport_clip;

  for (const Rung& rung : kQualityLadder) {
    common::Json params = common::Json::object();
    params["format"] = "jpeg";
    params["quality"] = rung.quality;
    params["fromSurface"] = true;
    if (!region && rung.scale < 1.0 && !viewport_clip) {
      // A clip is in document coordinates: the visible part of a scrolled page starts at the
      // scroll offset, not at the top, or the shot comes out blank.
      QCoro::Task<CdpResult> measuring =
          browser.call("Page.getLayoutMetrics", common::Json::object(), true, interrupt);
      const CdpResult metrics = co_await measuring;
      if (!metrics.ok()) co_return metrics.error();
      const common::Json& visual = member(metrics.value(), "cssVisualViewport");
      viewport_clip = common::Json{{"x", number(visual, "pageX").value_or(0)},
                                   {"y", number(visual, "pageY").value_or(0)},
                                   {"width", width},
                                   {"height", height}};
    }
    if (region || rung.scale < 1.0) {
      common::Json clip = region ? *region : *viewport_clip;
      clip["scale"] = rung.scale;
      params["clip"] = std::move(clip);
      params["captureBeyondViewport"] = beyond_viewport;
    }
    QCoro::Task<CdpResult> capturing =
        browser.call("Page.captureScreenshot", std::move(params), true, interrupt);
    const CdpResult captured = co_await capturing;
    if (!captured.ok()) co_return captured.error();
    const std::string data = str(captured.value(), "data");
    if (data.empty()) co_return fail("The browser returned an empty screenshot.");
    if (data.size() <= kMaxScreenshotChars) {
      co_return Shot{data, static_cast<std::uint32_t>(std::lround(width * rung.scale)),
                     static_cast<std::uint32_t>(std::lround(height * rung.scale))};
    }
  }
  co_return fail(
      "The screenshot is too large to send even at low quality; try a smaller viewport or a "
      "selector.");
}

QCoro::Task<tools::ToolOutput> compose(BrowserInstance& browser, std::string action_text,
                                       std::optional<Shot> shot, Interrupt* interrupt) {
  // 1. Where the page is, from the page itself when it answers in time.
  QCoro::Task<Evaluated> asking =
      evaluate_script(browser, scripts::kWhereAmI, false, interrupt, kWhereAmILimit);
  const Evaluated where = co_await asking;
  PageFacts facts;
  const common::Json& pair = member(where.value, "value");
  if (where.kind == Evaluated::Kind::Value && pair.is_array() && pair.size() == 2) {
    if (pair[0].is_string()) facts.url = pair[0].get<std::string>();
    if (pair[1].is_string()) facts.title = pair[1].get<std::string>();
  }
  if (facts.url.empty()) facts.url = browser.page().url();
  if (facts.url.empty()) facts.url = "about:blank";
  facts.document_error = browser.page().document_error();
  facts.document_status = browser.page().document_status();
  facts.loaded = browser.page().loaded();

  // 2-5. The text, with the screenshot attached and the problems drained.
  std::optional<ShotFacts> shot_facts;
  if (shot) shot_facts = ShotFacts{shot->width, shot->height};
  tools::ToolOutput output;
  output.output = result_text(facts, action_text, shot_facts, browser.page().take_problems());
  if (shot) output.image = tools::ToolImage{std::move(shot->data), "image/jpeg"};
  co_return output;
}

}  // namespace kavor::browser
