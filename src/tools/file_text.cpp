// UTF-8 is checked eight bytes at a time while the text is plain ASCII, which is the common
// case for source files; only from the first byte with the high bit set on does the decoder
// look at single sequences. A sequence is accepted when it is one of the well-formed shapes of
// the Unicode standard (no overlong forms, no surrogates, nothing above U+10FFFF); a broken one
// is replaced by one U+FFFD for its longest prefix that could still have become well-formed,
// and decoding resumes right after that prefix.
#include "tools/file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace kavor::tools {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the leading ASCII run of `bytes` starting at `pos`.
std::size_t ascii_run(std::string_view bytes, std::size_t pos) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const std::size_t start = pos;
  while (pos + 8 <= bytes.size()) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + pos, 8);
    if (word & kHighBits) break;
    pos += 8;
  }
  while (pos < bytes.size() && static_cast<unsigned char>(bytes[pos]) < 0x80) ++pos;
  return pos - start;
}

// Length of the well-formed sequence at `pos` (1 to 4), or 0 when it is ill-formed; then
// `bad` is the length of the longest prefix that could have been well-formed (at least 1).
std::size_t sequence_at(std::string_view bytes, std::size_t pos, std::size_t& bad) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[pos + i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  std::size_t need;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i < need && pos + i < bytes.size(); ++i) {
    const unsigned char c = b(i);
    const unsigned char lo = i == 1 ? low : 0x80;
    const unsigned char hi = i == 1 ? high : 0xBF;
    if (c < lo || c > hi) break;
  }
  if (i == need) return need;
  bad = i;
  return 0;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string errno_text(int error) {
  return std::system_category().message(error);
}

}  // namespace

Utf8Form classify_utf8(std::string_view bytes) {
  Utf8Form form = Utf8Form::Ascii;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    pos += ascii_run(bytes, pos);
    if (pos >= bytes.size()) break;
    std::size_t bad = 0;
    const std::size_t len = sequence_at(bytes, pos, bad);
    if (len == 0) return Utf8Form::Invalid;
    form = Utf8Form::Valid;
    pos += len;
  }
  return form;
}

void append_utf8_lossy(std::string_view bytes, std::string& out) {
  out.reserve(out.size() + bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t run = ascii_run(bytes, pos);
    out.append(bytes.substr(pos, run));
    pos += run;
    if (pos >= bytes.size()) break;
    std::size_t bad = 0;
    const std::size_t len = sequence_at(bytes, pos, bad);
    if (len > 0) {
      out.append(bytes.substr(pos, len));
      pos += len;
    } else {
      out.append(kReplacement);
      pos += bad;
    }
  }
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  append_utf8_lossy(bytes, out);
  return out;
}

std::size_t utf8_prefix_bytes(std::string_view text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t chars = 0; chars < count && pos < text.size(); ++chars) {
    ++pos;
    while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
  }
  return pos;
}

std::string_view trim_end_unicode(std::string_view text) {
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const auto lead = static_cast<unsigned char>(text[start]);
    char32_t c;
    if (lead < 0x80) {
      c = lead;
    } else {
      const std::size_t len = text.size() - start;
      c = lead & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
      for (std::size_t i = start + 1; i < text.size(); ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    if (!is_unicode_space(c)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

bool looks_binary(std::string_view bytes) {
  const std::size_t probe = bytes.size() < kBinaryProbeBytes ? bytes.size() : kBinaryProbeBytes;
  return probe > 0 && std::memchr(bytes.data(), 0, probe) != nullptr;
}

std::optional<std::string> read_bytes(const fs::path& path, std::uint64_t limit, std::string& out) {
  out.clear();
  // Non-blocking: a pipe in place of a file must not hold the worker forever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno_text(errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    out.reserve(static_cast<std::size_t>((size < limit ? size : limit) + 1));
  }
  std::optional<std::string> error;
  char chunk[65536];
  while (out.size() <= limit) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = errno_text(errno);
      break;
    }
    if (got == 0) break;
    out.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return error;
}

std::optional<TextFile> read_text_file(const fs::path& path, std::string& error) {
  const std::string name = utf8_lossy(path.string());
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = name + " does not exist.";
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) {
    error = name + " is a folder; use list_dir.";
    return std::nullopt;
  }
  auto too_big = [&](std::uint64_t size) {
    error = name + " is " + std::to_string(size) +
            " bytes, too big to read whole; use grep or a shell command.";
  };
  if (static_cast<std::uint64_t>(st.st_size) > kReadWholeLimit) {
    too_big(static_cast<std::uint64_t>(st.st_size));
    return std::nullopt;
  }
  TextFile file;
  if (auto failure = read_bytes(path, kReadWholeLimit, file.bytes)) {
    error = std::move(*failure);
    return std::nullopt;
  }
  // The file grew after its size was taken, or is not a regular file at all.
  if (file.bytes.size() > kReadWholeLimit) {
    too_big(file.bytes.size());
    return std::nullopt;
  }
  if (looks_binary(file.bytes)) {
    error = name + " is a binary file of " + std::to_string(file.bytes.size()) + " bytes.";
    return std::nullopt;
  }
  if (valid_utf8(file.bytes)) {
    file.text = file.bytes;
  } else {
    append_utf8_lossy(file.bytes, file.text);
  }
  return file;
}

std::string old_text_of(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  std::string bytes;
  // Not limited by size: the whole old text is what the shown change is computed from.
  if (read_bytes(path, UINT64_MAX - 1, bytes) || looks_binary(bytes)) return {};
  return valid_utf8(bytes) ? bytes : utf8_lossy(bytes);
}

}  // namespace kavor::tools
