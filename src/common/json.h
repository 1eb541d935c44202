// JSON values keep their keys in insertion order, because the service and the files we write
// expect a fixed key order.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace kavor::common {

using Json = nlohmann::ordered_json;

// Parses `text`, or nothing when it is not JSON. Unlike the library's default, an object that
// names one key twice is rejected instead of silently keeping the last value.
std::optional<Json> parse_json_strict(std::string_view text);

// Parses `text`, or nothing when it is not JSON; duplicate keys keep the last value.
std::optional<Json> parse_json(std::string_view text);

// Compact JSON text of `value`, keys in order, exactly as the library writes it, except that
// invalid UTF-8 in a string is replaced (common/utf8.h) instead of making the writer throw: a
// message from the system (a file name) must never make a whole record fail. Strings, which
// carry command output by the megabyte, are escaped a run of plain bytes at a time.
std::string json_text(const Json& value);

}  // namespace kavor::common
