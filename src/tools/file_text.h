// Reading a whole file by the rules every text-reading tool follows. Everything a tool returns
// ends up in a JSON document, so file contents are decoded (common/utf8.h) before they are
// shown.
//
// Paths given here are resolved ones (tools/paths.h), with no link in them. They are opened
// without following links (walk/no_follow.h): a link that appeared since the path was checked
// makes the read fail instead of reading whatever the link leads to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct stat;

#include "common/utf8.h"
#include "platform/result.h"

namespace kavor::tools {

namespace fs = std::filesystem;

// Largest file read whole for read_file and edit_file, in bytes.
inline constexpr std::uint64_t kReadWholeLimit = 10 * 1024 * 1024;
// A NUL byte among this many leading bytes marks a file as binary.
inline constexpr std::size_t kBinaryProbeBytes = 8000;

// Whether the first kBinaryProbeBytes of `bytes` hold a NUL byte.
bool looks_binary(std::string_view bytes);

// A file read as text: its bytes as stored and their decoded form.
struct TextFile {
  std::string bytes;
  std::string text;
};

// Reads `path` whole as text, or says why it cannot:
// "{path} does not exist." when its metadata cannot be read, "{path} is a folder; use list_dir.",
// "{path} is {size} bytes, too big to read whole; use grep or a shell command." above
// kReadWholeLimit bytes, the error's own text when reading fails, and
// "{path} is a binary file of {size} bytes." for binary content.
Result<TextFile> read_text_file(const fs::path& path);

// The text a write replaces, for showing the change: the file decoded as above; "" when it
// cannot be read or is binary. A file of more than kReadWholeLimit bytes is not read, whatever
// its size, before the user decides: the failure is then the sentence shown in place of the
// change, "the file is {size} bytes; its changes are not shown".
Result<std::string> old_text_of(const fs::path& path);

// At most `limit` + 1 bytes of the file (more than `limit` is refused by the caller), or the
// system's reason it cannot be read (walk/small_file.h: no link followed, never blocks on a
// pipe).
Result<std::string> read_bytes(const fs::path& path, std::uint64_t limit);

// The metadata of `path` itself (a link at its end is not followed); false when it cannot be
// read or a link lies on the way.
bool stat_no_follow(const fs::path& path, struct stat& st);

}  // namespace kavor::tools
