// Where project memory lives in a workspace, and the two changes made to it. One Markdown file
// per memory under `.kavor-agent/memory/`, and the overview `.kavor-agent/index.md`, rewritten
// from the folder's listing after every change (memory_format.h holds the texts).
//
// Memory files are written only inside the call's scope. Every place is located through links
// first, and a change that would land outside the scope is refused, both when the call is
// decoded and again just before it runs; then every open follows no link on the way
// (walk/no_follow.h), so a folder swapped for a link between the check and the change makes the
// change fail instead of landing outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "tools/call_info.h"
#include "tools/scope.h"

namespace kavor::tools {

namespace fs = std::filesystem;

inline constexpr const char* kMemoryHome = ".kavor-agent";
inline constexpr const char* kMemoryFolder = ".kavor-agent/memory";
inline constexpr const char* kMemoryIndexFile = ".kavor-agent/index.md";

// ".kavor-agent/memory/{slug}.md".
std::string memory_relative(const std::string& slug);

// The places a change of one memory touches, each resolved through links.
struct MemoryPlaces {
  fs::path folder;
  fs::path file;
  fs::path index;
};

// What a memory change does to the memory file: a save replaces it, a forget removes the entry.
enum class MemoryChange { Save, Forget };

// The places of `slug`'s change, or the sentence that refuses it (a place outside the scope,
// inside .git or inside an extra folder a workspace link leads to; a memory folder, overview or
// saved memory file that is a link; an index.md that is not an overview). Throws PathError as
// path resolution does.
Result<MemoryPlaces> locate_memory(const Scope& scope, const std::string& slug,
                                   MemoryChange change);

// One memory file: its slug and the link-free path its text is read from.
struct MemoryFile {
  std::string slug;
  fs::path text;
};

// The memory files of `folder`: regular files whose extension is exactly "md". A link counts
// when it leads to a regular file inside the scope, so the overview never quotes a file from
// elsewhere. A missing folder holds none.
Result<std::vector<MemoryFile>> list_memories(const fs::path& folder, const Scope& scope);

// A memory file as found before a change. Of a file larger than the whole-read limit only the
// beginning is read (nothing more is, before the user decides), enough for its front matter;
// `too_big` then holds its size.
struct ExistingMemory {
  bool exists = false;
  std::string text;
  std::optional<std::uint64_t> too_big;
};
// Fails with the sentence that refuses a change (a folder, not a regular file, unreadable).
Result<ExistingMemory> read_existing_memory(const fs::path& file, const std::string& relative);

// The beginning of a regular file, cut as cut_text does; nothing when it is not a file or
// cannot be read.
std::optional<std::string> read_with_cut(const fs::path& file, std::size_t limit);

// The changes themselves, each located again first and made in the overview's turn.
ToolResult save_memory(const Scope& scope, const std::string& slug, const std::string& document,
                       const common::StopFlag& stop);
ToolResult forget_memory(const Scope& scope, const std::string& slug, const common::StopFlag& stop);

}  // namespace kavor::tools
