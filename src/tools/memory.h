// Project memory: one Markdown file per memory under `.kavor-agent/memory/` of a workspace, and
// an overview `.kavor-agent/index.md` that is rewritten after every change. The assistant
// changes it through the tools save_memory and forget_memory; the web application reads it
// back, together with the project's instruction file, as the project context.
//
// Memory files are written only inside the call's scope: the memory file, the memory folder
// and the overview are located through links first, and a change that would land outside the
// scope is refused, both when the call is decoded and again just before it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "tools/tool_table.h"

namespace kavor::tools {

namespace fs = std::filesystem;

// The current time as Unix seconds; tests substitute a fixed one.
using Clock = std::function<std::int64_t()>;
std::int64_t system_seconds();

inline constexpr std::size_t kInstructionsLimit = 32768;
inline constexpr std::size_t kIndexLimit = 16384;
inline constexpr std::string_view kCutMarker = "[... cut, read the file for the rest ...]";

// "YYYY-MM-DDTHH:MM:SSZ" in UTC.
std::string utc_time(std::int64_t unix_seconds);

// A slug as given: trimmed, without a trailing ".md". `error` is empty when it is acceptable.
struct SlugCheck {
  std::string slug;
  std::string error;
};
SlugCheck check_slug(const std::string& given);

// A slug made from a title: letters of any script lowercased, letters and digits kept, every
// other run of characters one dash, at most 60 characters; "memory-{now}" when nothing is left.
std::string derive_slug(const std::string& title, std::int64_t now);

struct Memory {
  std::string title;
  std::string description;
  std::string created;
  std::string updated;
  std::string content;
};

// The file as written: front matter, an empty line, the content and a final line feed.
std::string render_memory(const Memory& memory);

// Reads a memory file's text; a missing or blank title reads as `slug`.
Memory parse_memory(std::string_view text, const std::string& slug);

struct IndexEntry {
  std::string slug;
  Memory memory;
};

// The overview text for these memories (in any order; they are sorted here).
std::string render_index(std::vector<IndexEntry> entries);

// `bytes` decoded as UTF-8 (invalid sequences replaced); when longer than `limit` bytes, cut on
// a character boundary and followed by the cut marker so that the whole stays within `limit`.
std::string cut_text(std::string_view bytes, std::size_t limit);

// The beginning of a regular file, cut as above; nothing when it is not a file or unreadable.
std::optional<std::string> read_with_cut(const fs::path& file, std::size_t limit);

Decoder save_memory_tool(Clock clock = system_seconds);
Decoder forget_memory_tool();

// The answer of agent_project_context: the object with instructions_file, instructions,
// memory_index and memories, or the message why it cannot be given (`error` not empty).
struct ProjectContext {
  Json value;
  std::string error;
};
ProjectContext project_context(const std::string& workspace);

}  // namespace kavor::tools
