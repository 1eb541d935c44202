// Reading a page command's arguments leniently: a key that is missing or holds another type
// reads as empty, and the command's own checks word the refusal the page is shown.
#pragma once

#include <QString>
#include <string>

#include "common/json.h"

namespace kavor {

inline QString text_arg(const Json& args, const char* key) {
  const auto it = args.find(key);
  return it != args.end() && it->is_string() ? QString::fromStdString(it->get<std::string>())
                                             : QString();
}

}  // namespace kavor
