// Reading a call's arguments. The service is lenient about types, so the readers are too:
// anything that is not what a key should hold reads as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/json.h"

namespace kavor::tools {

// The string under `key`; "" when missing, when `args` is not an object, or not a string.
std::string string_arg(const Json& args, const char* key);

// A non-negative JSON integer, or a string of decimal digits with an optional leading "+";
// nothing when absent, negative, overflowing or anything else.
std::optional<std::uint64_t> int_arg(const Json& args, const char* key);

// True only for JSON true.
bool bool_arg(const Json& args, const char* key);

// The first non-blank line, cut to 120 characters; " …" appended when something was left out.
std::string command_summary(const std::string& text);

}  // namespace kavor::tools
