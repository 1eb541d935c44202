// Reading a page command's arguments leniently: a key that is missing or holds another type
// reads as empty, and the command's own checks word the refusal the page is shown.
#pragma once

#include <QString>
#include <string>

#include "common/json_read.h"

namespace kavor::app {

inline QString text_arg(const common::Json& args, const char* key) {
  return QString::fromStdString(common::json::text(args, key));
}

}  // namespace kavor::app
