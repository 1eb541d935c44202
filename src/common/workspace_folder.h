// The folder a workspace text names: the one reading of the folder the page sends, whether a
// tool call or a mention command carries it.
//
// 1. The text is trimmed of white space in the Unicode sense (a pasted path brings a no-break
//    space as easily as a blank).
// 2. A blank text names no folder; a text holding NUL is refused (the system would read the
//    path only up to it, and another folder would be checked); a relative text is refused too,
//    because it would be looked up from wherever the program happened to start.
// 3. The rest is resolved through its links to the canonical folder, which must exist and be a
//    folder.
//
// The failure is worded for its reader: the assistant is told which folder it named, the page
// shows the sentence beside the folder the user picked. A folder that is not there (blank,
// relative, NUL or missing) fails with ErrorKind::NotFound, so a caller that words that case
// its own way branches on the kind.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace kavor::common {

enum class WorkspaceReader {
  Assistant,  // "The workspace folder /x does not exist on this computer."
  Page,       // "Cannot open the workspace folder: No such file or directory"
};

// The page's sentences (the mention commands answer with them).
inline constexpr std::string_view kNoWorkspace = "No workspace folder is selected.";
inline constexpr std::string_view kCannotOpenPrefix = "Cannot open the workspace folder: ";
inline constexpr std::string_view kNotAFolder = "The workspace is not a folder.";

// The canonical, absolute folder named by `text`.
Result<std::string> resolve_workspace_folder(std::string_view text, WorkspaceReader reader);

}  // namespace kavor::common
