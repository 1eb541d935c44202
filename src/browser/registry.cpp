#include "browser/registry.h"

#include <QTimer>

#include "browser/actions.h"
#include "common/timing.h"

namespace kavor::browser {

namespace {

// At the end of the program, how long to wait for profile folders to be removed.
constexpr std::chrono::milliseconds kRemovalWaitAtExit{6'000};

std::string overrun_message(std::chrono::milliseconds limit) {
  return "The browser did not finish within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
         " seconds, so Kavor Agent closed it; the next browser call starts a fresh one.";
}

}  // namespace

std::string browser_key(const std::string& chat, const std::string& session) {
  return session.empty() ? chat : chat + "#" + session;
}

BrowserRegistry::BrowserRegistry(Environment env) : env_(std::move(env)) {
  start_reaper();
}

BrowserRegistry::~BrowserRegistry() {
  *alive_ = false;
  close_all();
}

void BrowserRegistry::start_reaper() {
  reaper_ = std::make_unique<QTimer>();
  QObject::connect(reaper_.get(), &QTimer::timeout, [this] { reap_idle(Clock::now()); });
  reaper_->start(common::timing::scaled(kReaperInterval));
}

std::shared_ptr<BrowserRegistry::Slot> BrowserRegistry::slot_for(const std::string& key,
                                                                 bool create) {
  std::lock_guard lock(mutex_);
  const auto it = slots_.find(key);
  if (it != slots_.end()) return it->second;
  if (!create) return nullptr;
  auto slot = std::make_shared<Slot>();
  slots_.emplace(key, slot);
  return slot;
}

tools::ToolResult BrowserRegistry::close(const std::string& key) {
  const std::shared_ptr<Slot> slot = slot_for(key, false);
  if (!slot || !slot->browser) return tools::text_result("No browser was open for this chat.");
  removals_.push_back(slot->browser->shutdown());
  slot->browser.reset();
  return tools::text_result("Closed the browser for this chat.");
}

QCoro::Task<tools::ToolResult> BrowserRegistry::run(BrowserArgs args, std::string chat,
                                                    tools::StopFlag stop) {
  const std::string key = browser_key(chat, args.session);
  Interrupt interrupt(std::move(stop));
  // The program may close the registry while this call is suspended; after every wait the call
  // looks here before touching the registry again.
  const std::shared_ptr<bool> alive = alive_;
  const auto gone = [&alive] { return !*alive; };
  const tools::ToolResult closed = fail(kConnectionClosed);

  // 1. The slot.
  const std::shared_ptr<Slot> slot = slot_for(key, args.action != Action::Close);

  // 2. Its turn. `close` also waits, so it never pulls a browser out from under a running call.
  if (slot) {
    QCoro::Task<bool> locking = slot->lock.lock(&interrupt);
    const bool locked = co_await locking;
    if (!locked) co_return fail(kStoppedByUser);
    if (gone()) {
      slot->lock.unlock();
      co_return closed;
    }
  }
  struct Unlock {
    std::shared_ptr<Slot> slot;
    ~Unlock() {
      if (!slot) return;
      {
        std::lock_guard lock(slot->used_mutex);
        slot->last_used = Clock::now();
      }
      slot->lock.unlock();
    }
  } unlock{slot};  // step 7 on every way out
  if (args.action == Action::Close) co_return close(key);

  // 3. A dead browser is put away.
  if (slot->browser && !slot->browser->alive()) {
    removals_.push_back(slot->browser->shutdown());
    slot->browser.reset();
  }

  // 4. A browser to work with.
  if (!slot->browser) {
    Result<std::unique_ptr<BrowserInstance>> started = start_browser(env_);
    if (!started.ok()) co_return started.error();
    // The slot holds the browser from its first moment, so that closing everything reaches a
    // browser that is still starting: at the end of the program this call never resumes.
    slot->browser = std::move(started).value();
    interrupt.set_time_limit(kLaunchLimit);
    QCoro::Task<Result<void>> preparing = prepare_browser(*slot->browser, &interrupt);
    const Result<void> prepared = co_await preparing;
    if (gone()) co_return closed;
    if (!prepared.ok() || interrupt.fired()) {
      removals_.push_back(slot->browser->shutdown());
      slot->browser.reset();
    }
    if (interrupt.cause() == Interrupt::Cause::Stopped) {
      co_return fail(kStoppedByUser);
    }
    if (interrupt.cause() == Interrupt::Cause::TimeLimit) {
      co_return fail("The browser did not start within 45 seconds.");
    }
    if (!prepared.ok()) co_return prepared.error();
    interrupt.clear_time_limit();
  }
  BrowserInstance& browser = *slot->browser;
  browser.allow_local_files(args.local_folders, args.local_files);

  // 5. The deadline.
  const std::chrono::milliseconds limit = args.limit();
  interrupt.set_time_limit(limit);

  // 6. Viewport, action, result.
  const std::uint32_t width = args.width.value_or(browser.width());
  const std::uint32_t height = args.height.value_or(browser.height());
  QCoro::Task<Result<void>> sizing = browser.apply_viewport(width, height, &interrupt);
  Result<void> failure = co_await sizing;
  if (gone()) co_return closed;
  std::optional<tools::ToolOutput> output;
  if (failure.ok()) {
    QCoro::Task<Result<ActionDone>> acting = run_action(browser, args, &interrupt);
    Result<ActionDone> done = co_await acting;
    if (gone()) co_return closed;
    if (!done.ok()) {
      failure = done.error();
    } else if (!interrupt.fired()) {
      ActionDone& result = done.value();
      QCoro::Task<tools::ToolOutput> composing =
          compose(browser, std::move(result.text), std::move(result.shot), &interrupt);
      output = co_await composing;
      if (gone()) co_return closed;
    }
  }
  if (interrupt.cause() == Interrupt::Cause::Stopped) {
    co_return fail(kStoppedByUser);
  }
  if (interrupt.cause() == Interrupt::Cause::TimeLimit) {
    removals_.push_back(slot->browser->shutdown());
    slot->browser.reset();
    co_return fail(overrun_message(limit));
  }
  if (!failure.ok()) co_return failure.error();
  co_return tools::ToolResult(std::move(*output));
}

std::size_t BrowserRegistry::reap_idle(Clock::time_point now) {
  std::vector<std::shared_ptr<Slot>> snapshot;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, slot] : slots_) snapshot.push_back(slot);
  }
  std::size_t closed = 0;
  for (const std::shared_ptr<Slot>& slot : snapshot) {
    Clock::time_point last_used;
    {
      std::lock_guard lock(slot->used_mutex);
      last_used = slot->last_used;
    }
    if (now - last_used <= kIdleLimit) continue;
    if (!slot->lock.try_lock()) continue;  // busy: next pass
    if (slot->browser) {
      removals_.push_back(slot->browser->shutdown());
      slot->browser.reset();
      ++closed;
    }
    slot->lock.unlock();
  }
  // Removals that have finished need no more watching.
  std::erase_if(removals_, [](const std::shared_future<bool>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  });
  return closed;
}

void BrowserRegistry::close_all() {
  std::vector<std::shared_ptr<Slot>> snapshot;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, slot] : slots_) snapshot.push_back(slot);
  }
  for (const std::shared_ptr<Slot>& slot : snapshot) {
    if (!slot->browser) continue;
    removals_.push_back(slot->browser->shutdown(/*reap_now=*/true));
    // A call still holding the slot keeps its (now closed) browser object until it has
    // unwound; the next call finds it dead and puts it away.
    if (slot->lock.try_lock()) {
      slot->browser.reset();
      slot->lock.unlock();
    }
  }
  reap_ended_browsers();
  const auto until = std::chrono::steady_clock::now() + kRemovalWaitAtExit;
  for (const std::shared_future<bool>& removal : removals_) removal.wait_until(until);
  removals_.clear();
}

BrowserInstance* BrowserRegistry::browser_of(const std::string& chat, const std::string& session) {
  const std::shared_ptr<Slot> slot = slot_for(browser_key(chat, session), false);
  return slot ? slot->browser.get() : nullptr;
}

}  // namespace kavor::browser
