// Reading a call's arguments. The service is lenient about types, so the readers are too:
// anything that is not what a key should hold reads as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/json_read.h"

namespace kavor::tools {

// The tools' names for the lenient readers of common/json_read.h.
inline std::string string_arg(const common::Json& args, const char* key) {
  return common::json::text(args, key);
}
inline std::optional<std::uint64_t> int_arg(const common::Json& args, const char* key) {
  return common::json::count(args, key);
}
inline bool bool_arg(const common::Json& args, const char* key) {
  return common::json::flag(args, key);
}

// The first non-blank line, cut to 120 characters; " …" appended when something was left out.
std::string command_summary(const std::string& text);

}  // namespace kavor::tools
