// The sixteen actions of the `browser` tool on a ready page (close is the registry's own). Each
// one runs its protocol commands and page scripts, waits the way its kind of change needs, and
// returns the action text with the screenshot it takes, or the failure message. A failure
// leaves the page as it is.
#pragma once

#include <optional>
#include <string>

#include <qcorotask.h>

#include "browser/args.h"
#include "browser/page_ops.h"

namespace kavor::browser {

// Settle limits, each replaced by the call's `wait_ms` when given.
inline constexpr milliseconds kOpenLoadLimit{20'000};
inline constexpr milliseconds kSettleAfterLoad{1'500};
inline constexpr milliseconds kSettleAfterClick{1'000};
inline constexpr milliseconds kSettleAfterHover{300};
inline constexpr milliseconds kSettleAfterKeys{600};
inline constexpr milliseconds kSettleAfterScroll{400};
inline constexpr milliseconds kSettleAfterBack{1'500};
inline constexpr milliseconds kWaitDefault{10'000};
inline constexpr milliseconds kWaitPoll{200};
inline constexpr std::size_t kTypedValueChars = 200;
inline constexpr std::size_t kWaitLabelChars = 100;

struct ActionDone {
  std::string text;
  std::optional<Shot> shot;
};

QCoro::Task<Result<ActionDone>> run_action(BrowserInstance& browser, const BrowserArgs& args,
                                           Interrupt* interrupt);

}  // namespace kavor::browser
