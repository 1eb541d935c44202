// The shared records of a tool call: what kind of work it is, what the user and the service
// are shown about it, and what it returns (scope.h holds the folders it may touch).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/stop_flag.h"
#include "platform/result.h"

namespace kavor::tools {

enum class ToolKind { Read = 0, Write = 1, Exec = 2 };

const char* kind_name(ToolKind kind);

struct CallInfo {
  std::string call_id;
  std::string chat;
  std::string tool;
  ToolKind kind = ToolKind::Read;
  std::string summary;
  std::string detail;
  std::string lang;  // "bash", "batch", "powershell", "diff", "markdown" or ""
  bool outside = false;
  std::string cwd = ".";
  bool memory = false;
  // The command runs where the workspace fence does not reach (the docker daemon, a virtual
  // machine), so no check of its text can keep it inside the workspace: an unfenced call
  // asks the user unless they always allow its tool in that chat.
  bool unfenced = false;
  // Why the call is outside, in one sentence for the user ("'cd ~' leaves the workspace."); empty
  // when it is inside or the tool gives no reason. Shown on the approval card and in the pending
  // list after the summary; the service's record does not carry it.
  std::string reason;
};

// Adds what the user is shown of a call, the same keys in the same order wherever a call is
// described (an approval card, a call event, the result record for the service): tool, kind,
// summary, detail, lang, outside, cwd.
void add_description(common::Json& record, const CallInfo& info);

// Keys in the order call_id, chat, the description above, memory, unfenced, and reason when
// there is one.
common::Json to_json(const CallInfo& info);

struct ToolImage {
  std::string data;  // base64
  std::string mime;
};

struct ToolOutput {
  std::string output;
  std::optional<ToolImage> image;
};

// A tool's answer: its output, or the message of its failure.
using ToolResult = Result<ToolOutput>;

// The answer of a tool that produced text only.
inline ToolResult text_result(std::string text) {
  return ToolOutput{std::move(text), std::nullopt};
}

// Set by agent_stop; long-running tools watch it.
using kavor::common::StopFlag;

// What a run the user stopped ends with (after any output it had so far).
inline constexpr std::string_view kStoppedByUser = "[stopped by the user]";

using kavor::common::stopped;

// The failure of a run the user stopped before it changed anything.
inline ToolResult stopped_before_start() {
  return fail(std::string(kStoppedByUser));
}

}  // namespace kavor::tools
