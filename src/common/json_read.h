// Reading values out of JSON that someone else wrote: a call's arguments, a page's command, a
// DevTools message, a stored file. The sender decides what arrives, so these readers accept
// anything: a missing key, a value of another type, or a value that is not an object reads as
// absent (the fallback), never as an exception. One reader, `optional_text`, is strict for the
// records whose keys must hold text when present: a wrong type there means a broken record.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "common/json.h"
#include "platform/result.h"

namespace kavor::common::json {

// Numbers beyond this (2^53 less a margin) are no longer whole in a double: not a count.
inline constexpr double kMaxWholeNumber = 9e15;

// While set on a thread, every key looked up through `member` there is appended to it: how a
// table test learns which keys a decoder reads (tools/tool_shape.h). Unset, it costs one
// thread-local load per lookup.
inline thread_local std::vector<std::string>* read_keys = nullptr;

// The member `key` of `object`, or null.
inline const Json& member(const Json& object, const char* key) {
  static const Json null_value;
  if (read_keys != nullptr) read_keys->emplace_back(key);
  if (!object.is_object()) return null_value;
  const auto it = object.find(key);
  return it == object.end() ? null_value : *it;
}

// The string under `key`, or `fallback`.
inline std::string text(const Json& object, const char* key, const std::string& fallback = {}) {
  const Json& value = member(object, key);
  return value.is_string() ? value.get<std::string>() : fallback;
}

// A finite number.
inline std::optional<double> number(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (!value.is_number()) return std::nullopt;
  const double n = value.get<double>();
  return std::isfinite(n) ? std::optional<double>(n) : std::nullopt;
}

// A number of reasonable size (below kMaxWholeNumber either way), its fraction dropped.
inline std::optional<std::int64_t> integer(const Json& object, const char* key) {
  const std::optional<double> n = number(object, key);
  if (!n || std::fabs(*n) > kMaxWholeNumber) return std::nullopt;
  return static_cast<std::int64_t>(*n);
}

// A non-negative JSON integer, or a string of decimal digits with an optional leading "+" (the
// assistant writes both); nothing when negative, overflowing or anything else.
inline std::optional<std::uint64_t> count(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    return n >= 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(n)) : std::nullopt;
  }
  if (!value.is_string()) return std::nullopt;
  std::string_view s = value.get_ref<const std::string&>();
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t out = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (out > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    out = out * 10 + digit;
  }
  return out;
}

// True only for JSON true.
inline bool flag(const Json& object, const char* key) {
  const Json& value = member(object, key);
  return value.is_boolean() && value.get<bool>();
}

// The string under `key`; nothing when the key is missing or null, and a failure when it holds
// anything else.
inline Result<std::optional<QString>> optional_text(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (value.is_null()) return std::optional<QString>();
  if (!value.is_string()) {
    return fail(std::string("\"") + key + "\" holds something other than text.");
  }
  return std::optional<QString>(QString::fromStdString(value.get<std::string>()));
}

}  // namespace kavor::common::json
