// Checks that a text is one JSON value, fed in pieces of any size, without building the value.
//
// The export's conversations are checked here while they stream by: a conversation of a few
// gigabytes costs no more than one bit per open bracket, where a parsed document would cost
// many times its text. The verdict is the JSON library's own (RFC 8259 as it reads it): a
// leading UTF-8 byte order mark is skipped; strings must be well-formed UTF-8 without raw
// control characters, and a \u escape of a high surrogate must be followed by one of a low
// surrogate; numbers follow the grammar and must not overflow a double (1e400 is refused);
// nothing but white space may follow the value. Every byte is looked at once, so a check is
// linear in the text whatever its shape.
//
// Of a top-level object it also reports the kind of the last value given to a few named keys
// (keys are compared after their escapes are decoded, so "conversation\u005fid" is the key
// conversation_id), which is all the reader needs to tell a conversation from anything else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kavor::importer {

class JsonCheck {
 public:
  enum class Kind : std::uint8_t { Absent, EmptyString, String, Object, Other };

  // `watched`: top-level keys whose value kinds are reported by member(); at most 8, each at
  // most 32 bytes.
  explicit JsonCheck(std::vector<std::string> watched = {});

  // Starts over on a new text, watching the same keys; keeps what it allocated.
  void reset();

  // Takes the next piece of the text. Once the text cannot be JSON, later pieces are ignored.
  void feed(std::string_view piece);

  // Ends the text: true when it held exactly one JSON value.
  bool finish();

  // False as soon as the text read so far cannot start a JSON value.
  bool ok() const { return mode_ != Mode::Failed; }

  // The kind of the last value of the i-th watched key in the top-level object.
  Kind member(std::size_t i) const { return members_[i]; }

 private:
  enum class Mode : std::uint8_t {
    Bom1,
    Bom2,
    Bom3,         // before anything: an optional byte order mark
    Value,        // a value must come
    ArrayFirst,   // after "[": a value or "]"
    ObjectFirst,  // after "{": a key or "}"
    Key,          // after ",": a key
    Colon,
    After,  // after a value: "," or a closing bracket, or only white space at the end
    String,
    Utf8,  // inside a multi-byte sequence
    Escape,
    Hex,           // the four digits of \u
    LowBackslash,  // a high surrogate was read: "\" must follow
    LowU,          //   and then "u"
    Minus,
    Zero,
    Int,
    Dot,
    Frac,
    Exp,
    ExpSign,
    ExpDigits,
    Literal,
    Failed,
  };

  // One byte in the current mode; each kind of place in the grammar has its own step.
  void step(unsigned char c);
  void structure_step(unsigned char c);
  void string_step(unsigned char c);
  void number_step(unsigned char c);
  void mark_invalid() { mode_ = Mode::Failed; }
  void push(bool object);
  bool top_is_object() const;
  void value_done();
  void string_byte_seen();
  void number_digit(unsigned char c);
  bool number_fits() const;
  void start_number();
  bool end_number();
  void key_char(std::uint32_t code_point);

  Mode mode_ = Mode::Bom1;
  std::vector<std::uint64_t> stack_;  // one bit per open container: 1 for an object
  std::uint64_t depth_ = 0;

  // Strings.
  bool in_key_ = false;
  std::uint8_t utf8_left_ = 0;
  unsigned char utf8_lo_ = 0x80, utf8_hi_ = 0xBF;  // range of the next continuation byte
  std::uint8_t hex_left_ = 0;
  std::uint32_t hex_value_ = 0;
  bool want_low_ = false;

  // Literals.
  const char* literal_ = nullptr;

  // Numbers: value = 0.DIGITS x 10^point_, with at most kKeptDigits significant digits kept
  // and `sticky_` telling whether a dropped digit was non-zero (enough for exact rounding).
  std::string digits_;
  bool sticky_ = false;
  std::int64_t point_ = 0;
  std::int64_t exponent_ = 0;
  bool exponent_negative_ = false;

  // Watched keys.
  std::vector<std::string> watched_;
  std::vector<Kind> members_;
  bool watching_key_ = false;  // reading a key of the top-level object
  std::string key_;            // decoded so far; cleared past 32 bytes
  bool key_too_long_ = false;
  int current_slot_ = -1;  // watched key whose value comes next
  int string_slot_ = -1;   // watched string value whose first byte decides "empty"
};

}  // namespace kavor::importer
