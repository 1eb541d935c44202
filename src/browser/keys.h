// Key names as the assistant writes them ("Enter", "Control+a", "Shift+Tab", "F5", "esc") and
// the key events they become.
//
// The text is split at "+": the last piece is the key, the pieces before it are modifiers
// ("Control++" is Control with the "+" key). Modifiers: alt/option, ctrl/control,
// meta/cmd/command/super, shift, in any case. The key is, in this order: a short name (up, down,
// left, right, esc, del, space), a name of the key table (Enter, Tab, ... Insert), F1 to F12,
// or a single character. A letter or digit gets its key code; a character typed with Shift is
// upper-cased; Alt, Control or Meta held means no text is typed, only the key is pressed.
#pragma once

#include <string>

#include "platform/result.h"

namespace kavor::browser {

// Modifier bits as the DevTools input events take them.
inline constexpr int kAlt = 1;
inline constexpr int kControl = 2;
inline constexpr int kMeta = 4;
inline constexpr int kShift = 8;

struct KeyPress {
  int modifiers = 0;
  std::string key;   // DevTools `key`
  std::string code;  // DevTools `code`; may be empty
  int virtual_key = 0;
  std::string text;  // typed text; empty for a key that types nothing
};

// The key press, or the message naming the bad modifier or key.
Result<KeyPress> parse_key(const std::string& written);

}  // namespace kavor::browser
