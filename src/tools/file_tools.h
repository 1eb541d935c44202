// The file tools: read_file, list_dir, glob, grep (grep_tool.h), write_file and edit_file.
//
// Decoding resolves the path against the call's scope (a path outside it is not refused, it
// only marks the call `outside` for the approval decision) and, for the two writing tools,
// computes the exact change the user approves. Running returns the text for the assistant or a
// failure message. Both happen on a worker thread.
//
// The writing tools write to the path as resolved at decode time, links already followed. Just
// before writing, the path argument is resolved again; if it now leads somewhere else (a link
// was added or changed while the user was deciding), the write is refused rather than landing
// where nobody approved it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/grep_tool.h"
#include "tools/tool_table.h"

namespace kavor::tools {

inline constexpr std::size_t kReadLineLimit = 2000;   // lines per read_file call
inline constexpr std::size_t kReadLineChars = 2000;   // characters per line read
inline constexpr std::size_t kListEntryLimit = 1000;  // names shown by list_dir
inline constexpr std::size_t kGlobMatchLimit = 500;   // paths shown by glob

Decoder read_file_tool();
Decoder list_dir_tool();
Decoder glob_tool();
Decoder write_file_tool();
Decoder edit_file_tool();

// Adds the six tools above under their names.
void install_file_tools(ToolTable& table);

}  // namespace kavor::tools
