// One tool call as the service sends it, and its decoding from JSON.
#pragma once

#include <QString>

#include <optional>

#include "common/json.h"

namespace kavor::tools {

struct Call {
  QString id;
  QString tool;
  common::Json args;  // any JSON value; only an object is searched for keys
  QString chat;
  QString workspace;
  QString extra;
  bool project = false;
};

// Nothing when `value` is not an object, lacks `id` or `tool`, or has a known key of the wrong
// type (null counts as absent for the optional keys). Unknown keys are ignored.
std::optional<Call> decode_call(const common::Json& value);

}  // namespace kavor::tools
