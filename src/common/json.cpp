#include "common/json.h"

#include <array>
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

void append_escaped(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Room for the text and an escape every few dozen characters (a line's end, in output), so
  // that the appends below do not grow the string piece by piece.
  out.reserve(out.size() + text.size() + text.size() / 16 + 2);
  std::size_t run = 0;  // start of the bytes copied as they are
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!kNeedsEscape[c]) continue;
    out.append(text.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
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
