#include "common/json.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/utf8.h"

namespace kavor::common {

namespace {

// Which bytes a JSON string cannot hold as they are: control characters, the quote and the
// backslash. Bytes from 0x80 up are looked at as UTF-8 by the caller.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

// The letter of the two-character escape of a byte that has one, 0 for those written \u00XX.
constexpr std::array<char, 256> kShortEscape = [] {
  std::array<char, 256> table{};
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  return table;
}();

// Whether one of the eight bytes of `word` needs an escape. The usual tests for a zero byte
// and for a byte below a bound, done on all eight at once: they may mark the wrong byte of a
// word that has one, never a word that has none, so a marked word is then read byte by byte.
// Command output is long runs between line ends: this looks at a run eight bytes a step,
// where a byte at a time took half of turning an output event into text.
bool word_needs_escape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const auto has_zero = [](std::uint64_t w) { return (w - kOnes) & ~w & kHighBits; };
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word & kHighBits;
  return (below_space | has_zero(word ^ (kOnes * '"')) | has_zero(word ^ (kOnes * '\\'))) != 0;
}

// The position of the first byte of `text` from `pos` on that needs an escape, or its size.
std::size_t next_escape(std::string_view text, std::size_t pos) {
  while (pos + 8 <= text.size()) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + pos, 8);
    if (word_needs_escape(word)) break;
    pos += 8;
  }
  while (pos < text.size() && !kNeedsEscape[static_cast<unsigned char>(text[pos])]) ++pos;
  return pos;
}

void append_escaped(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Room for the text and an escape every few dozen characters (a line's end, in output), so
  // that the appends below do not grow the string piece by piece.
  out.reserve(out.size() + text.size() + text.size() / 16 + 2);
  std::size_t run = 0;  // start of the bytes copied as they are
  for (std::size_t i = next_escape(text, 0); i < text.size(); i = next_escape(text, run)) {
    out.append(text.substr(run, i - run));
    run = i + 1;
    const auto c = static_cast<unsigned char>(text[i]);
    if (const char letter = kShortEscape[c]) {
      const char escape[2] = {'\\', letter};
      out.append(escape, 2);
    } else {
      const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(escape, 6);
    }
  }
  out.append(text.substr(run));
}

void append_string(const std::string& text, std::string& out) {
  out += '"';
  if (valid_utf8(text)) {
    append_escaped(text, out);
  } else {
    append_escaped(utf8_lossy(text), out);
  }
  out += '"';
}

void append_value(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ',';
        first = false;
        append_string(it.key(), out);
        out += ':';
        append_value(it.value(), out);
      }
      out += '}';
      break;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : value) {
        if (!first) out += ',';
        first = false;
        append_value(item, out);
      }
      out += ']';
      break;
    }
    case Json::value_t::string:
      append_string(value.get_ref<const std::string&>(), out);
      break;
    default:  // numbers, booleans, null, binary: the library's own forms
      out += value.dump();
  }
}

}  // namespace

std::string json_text(const Json& value) {
  std::string out;
  append_value(value, out);
  return out;
}

std::optional<Json> parse_json_strict(std::string_view text) {
  // The parser reports every key as it is read; one set of seen keys per open object
  // (a stack, since objects nest) finds a repeated key.
  std::vector<std::set<std::string>> open_objects;
  bool duplicate = false;
  auto callback = [&](int /*depth*/, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        open_objects.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!open_objects.empty()) open_objects.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!open_objects.empty() &&
            !open_objects.back().insert(parsed.get<std::string>()).second) {
          duplicate = true;
        }
        break;
      default:
        break;
    }
    return true;
  };
  Json value = Json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/false);
  if (value.is_discarded() || duplicate) return std::nullopt;
  return value;
}

std::optional<Json> parse_json(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace kavor::common
