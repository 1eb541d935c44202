// Text helpers shared by the file tools: UTF-8 decoding with replacement, character counts,
// trimming, and reading a whole file by the rules every text-reading tool follows.
//
// Everything a tool returns ends up in a JSON document, which must be valid UTF-8, so file
// contents and file names are decoded before they are shown: each ill-formed piece of a byte
// sequence becomes one U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kavor::tools {

namespace fs = std::filesystem;

// Largest file read whole for read_file and edit_file, in bytes.
inline constexpr std::uint64_t kReadWholeLimit = 10 * 1024 * 1024;
// A NUL byte among this many leading bytes marks a file as binary.
inline constexpr std::size_t kBinaryProbeBytes = 8000;

enum class Utf8Form { Ascii, Valid, Invalid };

// Whether `bytes` is plain ASCII, other well-formed UTF-8, or not well-formed.
Utf8Form classify_utf8(std::string_view bytes);
inline bool valid_utf8(std::string_view bytes) {
  return classify_utf8(bytes) != Utf8Form::Invalid;
}

// Appends `bytes` to `out`, every maximal ill-formed subsequence replaced by one U+FFFD (the
// replacement practice the Unicode standard recommends, which most decoders follow).
void append_utf8_lossy(std::string_view bytes, std::string& out);
std::string utf8_lossy(std::string_view bytes);

// Byte length of the first `count` characters of well-formed UTF-8 `text` (all of it when it
// has fewer).
std::size_t utf8_prefix_bytes(std::string_view text, std::size_t count);

// `text` (well-formed UTF-8) without trailing white space in the Unicode sense.
std::string_view trim_end_unicode(std::string_view text);

// Whether the first kBinaryProbeBytes of `bytes` hold a NUL byte.
bool looks_binary(std::string_view bytes);

// A file read as text: its bytes as stored and their decoded form.
struct TextFile {
  std::string bytes;
  std::string text;
};

// Reads `path` whole as text. On failure returns nothing and puts the message in `error`:
// "{path} does not exist." when its metadata cannot be read, "{path} is a folder; use list_dir.",
// "{path} is {size} bytes, too big to read whole; use grep or a shell command." above
// kReadWholeLimit bytes, the error's own text when reading fails, and
// "{path} is a binary file of {size} bytes." for binary content.
std::optional<TextFile> read_text_file(const fs::path& path, std::string& error);

// The text a write replaces, for showing the change: the file decoded as above; "" when it
// cannot be read or is binary.
std::string old_text_of(const fs::path& path);

// Reads at most `limit` bytes of the file into `out` (more would be refused by the caller; the
// read stops after limit + 1). Never blocks on pipes. Returns the error's text on failure.
std::optional<std::string> read_bytes(const fs::path& path, std::uint64_t limit, std::string& out);

}  // namespace kavor::tools
