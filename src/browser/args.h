// The `browser` tool's arguments: the action (with its aliases, in any case), what it needs,
// and what the user is shown about the call before it runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "browser/keys.h"
#include "common/json.h"
#include "tools/call_info.h"

namespace kavor::browser {

enum class Action {
  Open,
  Screenshot,
  Click,
  Type,
  Press,
  Scroll,
  Eval,
  Text,
  Console,
  Network,
  Hover,
  Select,
  Wait,
  Reload,
  Back,
  Close,
};

const char* action_name(Action action);

inline constexpr std::uint32_t kMinViewport = 100;
inline constexpr std::uint32_t kMaxViewport = 4000;
inline constexpr std::size_t kSessionChars = 64;
inline constexpr std::size_t kSummaryChars = 160;
// `timeout` is clamped to this range, in seconds; 30 when absent.
inline constexpr std::uint64_t kMinTimeout = 5;
inline constexpr std::uint64_t kMaxTimeout = 120;
inline constexpr std::uint64_t kDefaultTimeout = 30;
// `wait_ms`: the longest wait of `wait`, the settle limit of every other action.
inline constexpr std::uint64_t kMaxWaitMs = 30'000;
inline constexpr std::uint64_t kMaxSettleMs = 15'000;

struct BrowserArgs {
  Action action = Action::Screenshot;
  std::string session;  // trimmed, at most 64 characters
  std::string url;      // open: normalized
  std::string selector;
  std::string text;
  std::string key;  // as written
  std::optional<KeyPress> key_press;
  std::string script;
  std::optional<double> x;
  std::optional<double> y;
  bool full_page = false;
  std::optional<std::uint32_t> width;
  std::optional<std::uint32_t> height;
  std::optional<std::uint64_t> wait_ms;  // clamped
  std::uint64_t timeout_s = kDefaultTimeout;
  // Where the page may load local files from (see instance.h): the chat's folders, and a file
  // outside them that this call opens, which the user let it open.
  std::vector<std::filesystem::path> local_folders;
  std::vector<std::filesystem::path> local_files;

  // The call's whole limit: `timeout` plus `wait_ms` when given.
  std::chrono::milliseconds limit() const;
};

struct DecodedBrowserCall {
  BrowserArgs args;
  tools::ToolKind kind = tools::ToolKind::Read;
  std::string summary;
  std::string detail;
  std::string lang;
};

// The decoded call, or the message for the assistant. `workspace` resolves file pages.
Result<DecodedBrowserCall> decode_browser_args(const common::Json& args,
                                               const std::filesystem::path& workspace);

}  // namespace kavor::browser
