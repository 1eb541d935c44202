#include "browser/keys.h"

#include <cctype>
#include <vector>

#include "browser/display_text.h"
#include "common/utf8.h"

namespace kavor::browser {

namespace {

struct NamedKey {
  const char* name;
  const char* key;
  const char* code;
  int virtual_key;
  const char* text;
};

constexpr NamedKey kKeyTable[] = {
    {"enter", "Enter", "Enter", 13, "\r"},
    {"tab", "Tab", "Tab", 9, ""},
    {"escape", "Escape", "Escape", 27, ""},
    {"backspace", "Backspace", "Backspace", 8, ""},
    {"delete", "Delete", "Delete", 46, ""},
    {"arrowup", "ArrowUp", "ArrowUp", 38, ""},
    {"arrowdown", "ArrowDown", "ArrowDown", 40, ""},
    {"arrowleft", "ArrowLeft", "ArrowLeft", 37, ""},
    {"arrowright", "ArrowRight", "ArrowRight", 39, ""},
    {"home", "Home", "Home", 36, ""},
    {"end", "End", "End", 35, ""},
    {"pageup", "PageUp", "PageUp", 33, ""},
    {"pagedown", "PageDown", "PageDown", 34, ""},
    {"insert", "Insert", "Insert", 45, ""},
    {" ", " ", "Space", 32, " "},
};

constexpr std::pair<const char*, const char*> kShortNames[] = {
    {"up", "arrowup"}, {"down", "arrowdown"}, {"left", "arrowleft"}, {"right", "arrowright"},
    {"esc", "escape"}, {"del", "delete"},     {"space", " "},
};

int modifier_bit(const std::string& name) {
  const std::string n = ascii_lower(name);
  if (n == "alt" || n == "option") return kAlt;
  if (n == "ctrl" || n == "control") return kControl;
  if (n == "meta" || n == "cmd" || n == "command" || n == "super") return kMeta;
  if (n == "shift") return kShift;
  return 0;
}

std::string unknown_key(const std::string& key) {
  return "Unknown key " + common::utf8_lossy(key) +
         "; use a single character or Enter, Tab, Escape, Backspace, Delete, ArrowUp, ArrowDown, "
         "ArrowLeft, ArrowRight, Home, End, PageUp, PageDown, Space or F1 to F12.";
}

}  // namespace

Result<KeyPress> parse_key(const std::string& written) {
  // The pieces: split at "+", where a "+" that ends the text (or stands alone) is the key.
  std::vector<std::string> pieces;
  std::string current;
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (written[i] == '+' && !current.empty()) {
      pieces.push_back(current);
      current.clear();
    } else {
      current += written[i];
    }
  }
  pieces.push_back(current);
  const std::string key_name = pieces.back();
  pieces.pop_back();

  KeyPress press;
  for (const std::string& modifier : pieces) {
    const int bit = modifier_bit(modifier);
    if (bit == 0) {
      return fail("Unknown modifier " + common::utf8_lossy(modifier) + " in key " +
                  common::utf8_lossy(written) + "; use Alt, Control, Meta or Shift.");
    }
    press.modifiers |= bit;
  }
  if (key_name.empty()) return fail(unknown_key(written));

  std::string name = ascii_lower(key_name);
  for (const auto& [short_name, full] : kShortNames) {
    if (name == short_name) name = full;
  }
  bool resolved = false;
  for (const NamedKey& entry : kKeyTable) {
    if (name == entry.name) {
      press.key = entry.key;
      press.code = entry.code;
      press.virtual_key = entry.virtual_key;
      press.text = entry.text;
      resolved = true;
      break;
    }
  }
  if (!resolved && name.size() >= 2 && name.size() <= 3 && name[0] == 'f') {
    const std::string digits = name.substr(1);
    if (digits.find_first_not_of("0123456789") == std::string::npos && digits[0] != '0') {
      const int n = std::stoi(digits);
      if (n >= 1 && n <= 12) {
        press.key = press.code = "F" + std::to_string(n);
        press.virtual_key = 111 + n;
        resolved = true;
      }
    }
  }
  if (!resolved) {
    // One character (in UTF-8, one code point).
    std::size_t pos = 0;
    const std::string_view view(key_name);
    const char32_t cp = common::next_code_point(view, pos);
    if (pos != view.size() || cp == common::kReplacementChar) return fail(unknown_key(key_name));
    std::string character(key_name);
    if (cp < 0x80 && std::isalpha(static_cast<int>(cp))) {
      const char upper = static_cast<char>(std::toupper(static_cast<int>(cp)));
      press.code = std::string("Key") + upper;
      press.virtual_key = upper;
      if (press.modifiers & kShift) character = std::string(1, upper);
    } else if (cp >= '0' && cp <= '9') {
      press.code = std::string("Digit") + static_cast<char>(cp);
      press.virtual_key = static_cast<int>(cp);
    }
    press.key = character;
    press.text = character;
  }
  if (press.modifiers & (kAlt | kControl | kMeta)) press.text.clear();
  return press;
}

}  // namespace kavor::browser
