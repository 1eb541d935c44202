// Checking runs eight bytes at a time while the text is plain ASCII, which is the common case
// for source files and command output; only from the first byte with the high bit set on does
// the decoder look at single sequences.
#include "common/utf8.h"

#include <cstdint>
#include <cstring>

namespace kavor::common {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the ASCII run of `bytes` starting at `pos`.
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
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
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

std::size_t utf8_sequence_length(std::string_view bytes, std::size_t pos) {
  std::size_t bad = 0;
  return sequence_at(bytes, pos, bad);
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

std::size_t utf8_unfinished_tail(std::string_view bytes) {
  // A sequence is at most four bytes long, so an unfinished one starts in the last three.
  const std::size_t first = bytes.size() > 3 ? bytes.size() - 3 : 0;
  for (std::size_t pos = bytes.size(); pos-- > first;) {
    const auto c = static_cast<unsigned char>(bytes[pos]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: the lead is further back
    if (c < 0xC2 || c > 0xF4) return 0;
    std::size_t bad = 0;
    // The lead and what follows it could still become a character only when nothing but the
    // end of the bytes stopped it.
    return sequence_at(bytes, pos, bad) == 0 && bad == bytes.size() - pos ? bad : 0;
  }
  return 0;
}

char32_t next_code_point(std::string_view bytes, std::size_t& pos) {
  std::size_t bad = 0;
  const std::size_t len = sequence_at(bytes, pos, bad);
  if (len == 0) {
    pos += bad;
    return kReplacementChar;
  }
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  char32_t cp = len == 1 ? lead : lead & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < len; ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(bytes[pos + i]) & 0x3F);
  }
  pos += len;
  return cp;
}

void append_code_point(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::size_t utf8_prefix_bytes(std::string_view text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t chars = 0; chars < count && pos < text.size(); ++chars) {
    ++pos;
    while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
  }
  return pos;
}

std::string_view utf8_cut_bytes(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t at = max_bytes;
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  return text.substr(0, at);
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_end_unicode(std::string_view text) {
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    const char32_t c = next_code_point(text, pos);
    if (!is_unicode_space(c)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

std::string_view trim_unicode(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = pos;
    if (!is_unicode_space(next_code_point(text, next))) break;
    pos = next;
  }
  return trim_end_unicode(text.substr(pos));
}

namespace {

// Whether visible_controls shows `c` escaped (a line feed only in a one-line text).
bool hides_in_text(char32_t c) {
  if (c < 0x20) return c != '\t' && c != '\n';
  return (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 ||
         c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string visible_controls(std::string_view text, LineBreaks breaks) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t c = next_code_point(text, pos);
    // A carriage return that ends a line (CR LF) hides nothing where lines are kept: a diff of a
    // file with Windows line ends stays readable. Alone it would overwrite the line's start.
    const bool line_end =
        breaks == LineBreaks::Keep && c == '\r' && pos < text.size() && text[pos] == '\n';
    if (line_end || (!hides_in_text(c) && (c != '\n' || breaks == LineBreaks::Keep))) {
      append_code_point(c, out);
      continue;
    }
    out += "<U+";
    int digits = 4;
    while (digits < 6 && (c >> (4 * digits)) != 0) ++digits;
    for (int d = digits - 1; d >= 0; --d) out += kHex[(c >> (4 * d)) & 0xF];
    out += '>';
  }
  return out;
}

}  // namespace kavor::common
