// The text of project memory: a memory file is front matter (title, description, created,
// updated) and Markdown content; the overview lists every memory, newest first. This file
// knows only texts, never the disk (memory_store.h places them in a workspace).
//
//   ---
//   title: Build steps
//   description: how the project is built
//   created: 2026-01-02T03:04:05Z
//   updated: 2026-01-02T03:04:05Z
//   ---
//
//   Run cmake, then ninja.
//
// Reading is lenient, since the user edits these files by hand: a byte-order mark and CR LF
// line ends are accepted, keys are matched ignoring case and may be quoted, unknown keys and
// lines without a colon are ignored, and a file without a closing fence is all content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace kavor::tools {

// The current time as Unix seconds; tests substitute a fixed one.
using Clock = std::function<std::int64_t()>;
std::int64_t system_seconds();

// "YYYY-MM-DDTHH:MM:SSZ" in UTC.
std::string utc_time(std::int64_t unix_seconds);

// A slug as given, trimmed and without a trailing ".md"; or the sentence that refuses it (empty,
// a path separator or "..", a leading ".", or a character a file name cannot hold).
Result<std::string> check_slug(const std::string& given);

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

// A title or description as kept: every line break (CR LF, CR or LF) becomes a single space.
std::string one_line(std::string_view text);
// Content as kept: CR LF becomes LF, white space at the end is dropped.
std::string tidy_content(std::string_view text);

struct IndexEntry {
  std::string slug;
  Memory memory;
};

// The first line of every overview: an index.md that does not begin with it is not ours.
inline constexpr std::string_view kIndexHeading = "# Kavor Agent memory\n";

// The overview text for these memories (in any order; they are sorted here).
std::string render_index(std::vector<IndexEntry> entries);

inline constexpr std::string_view kCutMarker = "[... cut, read the file for the rest ...]";

// `bytes` decoded as UTF-8 (invalid sequences replaced); when longer than `limit` bytes, cut on
// a character boundary and followed by the cut marker so that the whole stays within `limit`.
std::string cut_text(std::string_view bytes, std::size_t limit);

}  // namespace kavor::tools
