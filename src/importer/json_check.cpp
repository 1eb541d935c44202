// One state per place in the grammar. The places come in three kinds, each with a step of its
// own (between values, inside a string, inside a number), and literals, which need one line; a
// byte that ends a number is looked at again in the state after the number. Plain string bytes,
// by far the most common, skip the state switch.
#include "importer/json_check.h"

#include <cmath>
#include <cstdlib>

namespace kavor::importer {

namespace {

// Significant digits kept of a number. A decimal number needs at most 767 of them to round to
// the nearest double, and only numbers near the largest double are ever rounded here.
constexpr std::size_t kKeptDigits = 800;
// Exponents beyond this are all the same: overflow or zero.
constexpr std::int64_t kExponentCap = 1'000'000'000'000'000;
constexpr std::size_t kMaxWatchedKey = 32;

// A double holds numbers below 10^309 at most; 0.D x 10^309 lies on the edge and is rounded.
constexpr std::int64_t kEdgeMagnitude = 309;

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes that need no thought inside a string: printable ASCII other than the quote and the
// backslash.
bool plain_string_byte(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

}  // namespace

JsonCheck::JsonCheck(std::vector<std::string> watched)
    : watched_(std::move(watched)), members_(watched_.size(), Kind::Absent) {}

void JsonCheck::reset() {
  mode_ = Mode::Bom1;
  depth_ = 0;
  in_key_ = false;
  utf8_left_ = 0;
  hex_left_ = 0;
  want_low_ = false;
  watching_key_ = false;
  current_slot_ = -1;
  string_slot_ = -1;
  members_.assign(watched_.size(), Kind::Absent);
}

void JsonCheck::push(bool object) {
  const std::uint64_t word = depth_ / 64;
  if (word == stack_.size()) stack_.push_back(0);
  const std::uint64_t bit = std::uint64_t{1} << (depth_ % 64);
  if (object) {
    stack_[word] |= bit;
  } else {
    stack_[word] &= ~bit;
  }
  ++depth_;
}

bool JsonCheck::top_is_object() const {
  const std::uint64_t at = depth_ - 1;
  return (stack_[at / 64] >> (at % 64)) & 1u;
}

void JsonCheck::value_done() {
  mode_ = Mode::After;
}

void JsonCheck::string_byte_seen() {
  if (string_slot_ >= 0) {
    members_[static_cast<std::size_t>(string_slot_)] = Kind::String;
    string_slot_ = -1;
  }
}

void JsonCheck::key_char(std::uint32_t code_point) {
  if (key_too_long_) return;
  // The watched keys are ASCII; any other character makes the key one nobody watches.
  if (code_point >= 0x80 || key_.size() == kMaxWatchedKey) {
    key_too_long_ = true;
    return;
  }
  key_.push_back(static_cast<char>(code_point));
}

void JsonCheck::number_digit(unsigned char c) {
  const bool fraction = mode_ == Mode::Dot || mode_ == Mode::Frac;
  if (digits_.empty() && c == '0') {
    // Leading zeros of a fraction move the point; the integer part has at most one zero.
    if (fraction) --point_;
    return;
  }
  if (digits_.size() < kKeptDigits) {
    digits_.push_back(static_cast<char>(c));
  } else if (c != '0') {
    sticky_ = true;
  }
  if (!fraction) ++point_;
}

bool JsonCheck::number_fits() const {
  if (digits_.empty()) return true;  // zero
  const std::int64_t magnitude = point_ + (exponent_negative_ ? -exponent_ : exponent_);
  if (magnitude < kEdgeMagnitude) return true;
  if (magnitude > kEdgeMagnitude) return false;
  // On the edge: let the C library round it. No decimal point, so no locale is involved.
  std::string text = digits_;
  if (sticky_) text.push_back('1');
  const auto exponent = kEdgeMagnitude - static_cast<std::int64_t>(text.size());
  text.push_back('e');
  text += std::to_string(exponent);
  return std::isfinite(std::strtod(text.c_str(), nullptr));
}

void JsonCheck::start_number() {
  digits_.clear();
  sticky_ = false;
  point_ = exponent_ = 0;
  exponent_negative_ = false;
  mode_ = Mode::Minus;
}

bool JsonCheck::end_number() {
  if (!number_fits()) {
    mark_invalid();
    return false;
  }
  value_done();
  return true;
}

void JsonCheck::feed(std::string_view piece) {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* end = p + piece.size();
  while (p < end) {
    if (mode_ == Mode::String && !watching_key_ && string_slot_ < 0) {
      while (p < end && plain_string_byte(*p)) ++p;
      if (p == end) break;
    } else if (mode_ == Mode::Failed) {
      return;
    }
    step(*p++);
  }
}

void JsonCheck::step(unsigned char c) {
  switch (mode_) {
    case Mode::Bom1:
    case Mode::Bom2:
    case Mode::Bom3:
    case Mode::Value:
    case Mode::ArrayFirst:
    case Mode::ObjectFirst:
    case Mode::Key:
    case Mode::Colon:
    case Mode::After:
      return structure_step(c);
    case Mode::String:
    case Mode::Utf8:
    case Mode::Escape:
    case Mode::Hex:
    case Mode::LowBackslash:
    case Mode::LowU:
      return string_step(c);
    case Mode::Minus:
    case Mode::Zero:
    case Mode::Int:
    case Mode::Dot:
    case Mode::Frac:
    case Mode::Exp:
    case Mode::ExpSign:
    case Mode::ExpDigits:
      return number_step(c);
    case Mode::Literal:
      if (c != static_cast<unsigned char>(*literal_)) return mark_invalid();
      if (*++literal_ == '\0') value_done();
      return;
    case Mode::Failed:
      return;
  }
}

// Between values: the byte order mark, the start of a value, keys, colons, commas and brackets.
void JsonCheck::structure_step(unsigned char c) {
  switch (mode_) {
    case Mode::Bom1:
      if (c == 0xEF) {
        mode_ = Mode::Bom2;
        return;
      }
      mode_ = Mode::Value;
      return step(c);
    case Mode::Bom2:
      if (c == 0xBB) {
        mode_ = Mode::Bom3;
      } else {
        mark_invalid();
      }
      return;
    case Mode::Bom3:
      if (c == 0xBF) {
        mode_ = Mode::Value;
      } else {
        mark_invalid();
      }
      return;

    case Mode::ArrayFirst:
      if (is_space(c)) return;
      if (c == ']') {
        --depth_;
        return value_done();
      }
      mode_ = Mode::Value;
      [[fallthrough]];
    case Mode::Value: {
      if (is_space(c)) return;
      // A value of a top-level object member: note its kind for a watched key.
      const int slot = (depth_ == 1 && top_is_object()) ? current_slot_ : -1;
      auto note = [&](Kind kind) {
        if (slot >= 0) members_[static_cast<std::size_t>(slot)] = kind;
      };
      switch (c) {
        case '{':
          note(Kind::Object);
          push(true);
          mode_ = Mode::ObjectFirst;
          return;
        case '[':
          note(Kind::Other);
          push(false);
          mode_ = Mode::ArrayFirst;
          return;
        case '"':
          note(Kind::EmptyString);
          string_slot_ = slot;
          in_key_ = false;
          mode_ = Mode::String;
          return;
        case 't':
        case 'f':
        case 'n':
          note(Kind::Other);
          literal_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
          mode_ = Mode::Literal;
          return;
        case '-':
          note(Kind::Other);
          return start_number();
        default:
          if (!is_digit(c)) return mark_invalid();
          note(Kind::Other);
          start_number();
          return step(c);
      }
    }

    case Mode::ObjectFirst:
      if (is_space(c)) return;
      if (c == '}') {
        --depth_;
        return value_done();
      }
      [[fallthrough]];
    case Mode::Key:
      if (is_space(c)) return;
      if (c != '"') return mark_invalid();
      in_key_ = true;
      watching_key_ = depth_ == 1 && !watched_.empty();
      key_.clear();
      key_too_long_ = false;
      mode_ = Mode::String;
      return;

    case Mode::Colon:
      if (is_space(c)) return;
      if (c != ':') return mark_invalid();
      mode_ = Mode::Value;
      return;

    case Mode::After:
      if (is_space(c)) return;
      if (depth_ == 0) return mark_invalid();  // something after the whole value
      if (c == ',') {
        mode_ = top_is_object() ? Mode::Key : Mode::Value;
        return;
      }
      if (c == (top_is_object() ? '}' : ']')) {
        --depth_;
        return;
      }
      return mark_invalid();

    default:  // modes of the other steps
      return;
  }
}

// Inside a string or a key: plain bytes, UTF-8 sequences, escapes and surrogate pairs.
void JsonCheck::string_step(unsigned char c) {
  switch (mode_) {
    case Mode::String:
      if (c == '"') {
        if (in_key_) {
          if (watching_key_) {
            current_slot_ = -1;
            for (std::size_t i = 0; i < watched_.size() && !key_too_long_; ++i) {
              if (watched_[i] == key_) current_slot_ = static_cast<int>(i);
            }
            watching_key_ = false;
          }
          mode_ = Mode::Colon;
        } else {
          string_slot_ = -1;
          value_done();
        }
        return;
      }
      string_byte_seen();
      if (c == '\\') {
        mode_ = Mode::Escape;
        return;
      }
      if (c < 0x20) return mark_invalid();
      if (c < 0x80) {
        if (watching_key_) key_char(c);
        return;
      }
      // The lead byte decides how many continuation bytes follow and the range of the first
      // (excluding overlong forms, surrogates and anything above U+10FFFF).
      if (watching_key_) key_char(c);
      utf8_lo_ = 0x80;
      utf8_hi_ = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) {
        utf8_left_ = 1;
      } else if (c == 0xE0) {
        utf8_left_ = 2;
        utf8_lo_ = 0xA0;
      } else if (c == 0xED) {
        utf8_left_ = 2;
        utf8_hi_ = 0x9F;
      } else if (c >= 0xE1 && c <= 0xEF) {
        utf8_left_ = 2;
      } else if (c == 0xF0) {
        utf8_left_ = 3;
        utf8_lo_ = 0x90;
      } else if (c >= 0xF1 && c <= 0xF3) {
        utf8_left_ = 3;
      } else if (c == 0xF4) {
        utf8_left_ = 3;
        utf8_hi_ = 0x8F;
      } else {
        return mark_invalid();
      }
      mode_ = Mode::Utf8;
      return;

    case Mode::Utf8:
      if (c < utf8_lo_ || c > utf8_hi_) return mark_invalid();
      utf8_lo_ = 0x80;
      utf8_hi_ = 0xBF;
      if (--utf8_left_ == 0) mode_ = Mode::String;
      return;

    case Mode::Escape:
      switch (c) {
        case '"':
        case '\\':
        case '/':
          if (watching_key_) key_char(c);
          mode_ = Mode::String;
          return;
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
          if (watching_key_)
            key_char(c == 'b' ? '\b' : c == 'f' ? '\f' : c == 'n' ? '\n' : c == 'r' ? '\r' : '\t');
          mode_ = Mode::String;
          return;
        case 'u':
          hex_left_ = 4;
          hex_value_ = 0;
          mode_ = Mode::Hex;
          return;
        default:
          return mark_invalid();
      }

    case Mode::Hex: {
      const int digit = hex_digit(c);
      if (digit < 0) return mark_invalid();
      hex_value_ = hex_value_ * 16 + static_cast<std::uint32_t>(digit);
      if (--hex_left_ > 0) return;
      const bool high = hex_value_ >= 0xD800 && hex_value_ <= 0xDBFF;
      const bool low = hex_value_ >= 0xDC00 && hex_value_ <= 0xDFFF;
      if (want_low_ != low) return mark_invalid();  // a lone low surrogate, or a high one unpaired
      if (want_low_) {
        want_low_ = false;
        if (watching_key_) key_char(0x10000);  // any non-ASCII character
        mode_ = Mode::String;
      } else if (high) {
        want_low_ = true;
        mode_ = Mode::LowBackslash;
      } else {
        if (watching_key_) key_char(hex_value_);
        mode_ = Mode::String;
      }
      return;
    }
    case Mode::LowBackslash:
      if (c != '\\') return mark_invalid();
      mode_ = Mode::LowU;
      return;
    case Mode::LowU:
      if (c != 'u') return mark_invalid();
      hex_left_ = 4;
      hex_value_ = 0;
      mode_ = Mode::Hex;
      return;

    default:  // modes of the other steps
      return;
  }
}

// Inside a number: sign, integer part, fraction and exponent. The byte that ends a number is
// read again in the mode after it.
void JsonCheck::number_step(unsigned char c) {
  switch (mode_) {
    case Mode::Minus:  // also the first digit of a number without a sign
      if (c == '0') {
        mode_ = Mode::Zero;
        return;
      }
      if (c < '1' || c > '9') return mark_invalid();
      mode_ = Mode::Int;
      return number_digit(c);
    case Mode::Dot:
      if (!is_digit(c)) return mark_invalid();
      number_digit(c);
      mode_ = Mode::Frac;
      return;
    case Mode::Zero:
    case Mode::Int:
    case Mode::Frac:
      // More digits (none after a lone leading zero), a point (not in the fraction), an
      // exponent, or a byte that ends the number and is read again after it.
      if (is_digit(c) && mode_ != Mode::Zero) return number_digit(c);
      if (c == '.' && mode_ != Mode::Frac) {
        mode_ = Mode::Dot;
        return;
      }
      if (c == 'e' || c == 'E') {
        mode_ = Mode::Exp;
        return;
      }
      if (end_number()) step(c);
      return;
    case Mode::Exp:
      if (c == '+' || c == '-') {
        exponent_negative_ = c == '-';
        mode_ = Mode::ExpSign;
        return;
      }
      [[fallthrough]];
    case Mode::ExpSign:
      if (!is_digit(c)) return mark_invalid();
      mode_ = Mode::ExpDigits;
      [[fallthrough]];
    case Mode::ExpDigits:
      if (is_digit(c)) {
        if (exponent_ < kExponentCap) exponent_ = exponent_ * 10 + (c - '0');
        return;
      }
      if (end_number()) step(c);
      return;

    default:  // modes of the other steps
      return;
  }
}

bool JsonCheck::finish() {
  switch (mode_) {
    case Mode::Zero:
    case Mode::Int:
    case Mode::Frac:
    case Mode::ExpDigits:
      if (depth_ == 0 && !end_number()) return false;
      break;
    default:
      break;
  }
  return mode_ == Mode::After && depth_ == 0;
}

}  // namespace kavor::importer
