// JSON values keep their keys in insertion order, because the service and the files we write
// expect a fixed key order.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace kavor {

using Json = nlohmann::ordered_json;

// Parses `text`, or nothing when it is not JSON. Unlike the library's default, an object that
// names one key twice is rejected instead of silently keeping the last value.
std::optional<Json> parse_json_strict(std::string_view text);

// Parses `text`, or nothing when it is not JSON; duplicate keys keep the last value.
std::optional<Json> parse_json(std::string_view text);

}  // namespace kavor
