// Reading values out of protocol messages and page results. The browser and the page decide
// what arrives, so every reader accepts anything: a missing key, a value of another type, or a
// message that is not an object reads as absent, never as an error or an exception.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "common/json.h"

namespace kavor::browser {

// The member `key` of `object`, or null.
inline const Json& member(const Json& object, const char* key) {
  static const Json null_value;
  if (!object.is_object()) return null_value;
  const auto it = object.find(key);
  return it == object.end() ? null_value : *it;
}

inline std::string str(const Json& object, const char* key, const std::string& fallback = {}) {
  const Json& value = member(object, key);
  return value.is_string() ? value.get<std::string>() : fallback;
}

inline std::optional<double> number(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (!value.is_number()) return std::nullopt;
  const double n = value.get<double>();
  return std::isfinite(n) ? std::optional<double>(n) : std::nullopt;
}

// A whole number of reasonable size (below 2^53 either way).
inline std::optional<std::int64_t> integer(const Json& object, const char* key) {
  const std::optional<double> n = number(object, key);
  if (!n || std::fabs(*n) > 9e15) return std::nullopt;
  return static_cast<std::int64_t>(*n);
}

inline bool flag(const Json& object, const char* key) {
  const Json& value = member(object, key);
  return value.is_boolean() && value.get<bool>();
}

}  // namespace kavor::browser
