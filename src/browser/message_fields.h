// Reading values out of protocol messages and page results. The browser and the page decide
// what arrives, so every reader accepts anything: a missing key, a value of another type, or a
// message that is not an object reads as absent, never as an error or an exception.
#pragma once

#include <string>

#include "common/json_read.h"

namespace kavor::browser {

using common::json::flag;
using common::json::integer;
using common::json::member;
using common::json::number;

// The string under `key`, or `fallback` (the browser code's short name for json::text).
inline std::string str(const common::Json& object, const char* key,
                       const std::string& fallback = {}) {
  return common::json::text(object, key, fallback);
}

}  // namespace kavor::browser
