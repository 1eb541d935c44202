// The texts the assistant reads back: the console and network listings, the page summary of
// `text`, an evaluated value, and the result every action ends with (where the page is, what
// the action did, the screenshot line, the problems the page showed meanwhile).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "browser/page_state.h"
#include "common/json.h"

namespace kavor::browser {

inline constexpr std::size_t kListedEntries = 200;     // console and network listings
inline constexpr std::size_t kConsoleTextChars = 500;  // per console line
inline constexpr std::size_t kListedUrlChars = 200;    // per network line
inline constexpr std::size_t kProblemsShown = 30;      // under a result
inline constexpr std::size_t kValueChars = 20'000;     // eval results
inline constexpr std::size_t kStructureChars = 8'000;  // summary: headings, links, ...
inline constexpr std::size_t kSummaryTextChars = 20'000;
inline constexpr std::size_t kMinVisibleTextChars = 4'000;
inline constexpr std::size_t kResultUrlChars = 300;
inline constexpr std::size_t kTitleChars = 120;

// Console lines, the newest `limit` of them, after a "[... n earlier entries ...]" line when
// some were left out (or pushed out of the buffer); each line starts with `prefix`.
std::string console_lines(const Drained<ConsoleEntry>& drained, std::size_t limit,
                          const std::string& prefix);

// The `console` action's text.
std::string console_report(const Drained<ConsoleEntry>& drained);

// The `network` action's text.
std::string network_report(const Drained<NetworkEntry>& drained);

// The `text` action's text, from what the page summary script returned.
std::string summary_report(const common::Json& summary);

// An evaluation's value (the Runtime.evaluate `result` object) as text, cut to 20000 characters.
std::string value_report(const common::Json& remote);

struct PageFacts {
  std::string url;
  std::string title;
  std::optional<std::string> document_error;
  std::optional<int> document_status;
  bool loaded = true;
};

struct ShotFacts {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The result text: the page line, the action text, the screenshot line, the problems.
std::string result_text(const PageFacts& page, const std::string& action_text,
                        const std::optional<ShotFacts>& shot,
                        const Drained<ConsoleEntry>& problems);

}  // namespace kavor::browser
