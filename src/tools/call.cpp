#include "tools/call.h"

namespace kavor {

namespace {

// Reads an optional string key; false on a value of the wrong type.
bool optional_string(const Json& object, const char* key, QString& out) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = QString::fromStdString(it->get<std::string>());
  return true;
}

}  // namespace

std::optional<Call> decode_call(const Json& value) {
  if (!value.is_object()) return std::nullopt;
  const auto id = value.find("id");
  const auto tool = value.find("tool");
  if (id == value.end() || !id->is_string() || tool == value.end() || !tool->is_string()) {
    return std::nullopt;
  }
  Call call;
  call.id = QString::fromStdString(id->get<std::string>());
  call.tool = QString::fromStdString(tool->get<std::string>());
  if (const auto args = value.find("args"); args != value.end()) call.args = *args;
  if (!optional_string(value, "chat", call.chat) ||
      !optional_string(value, "workspace", call.workspace) ||
      !optional_string(value, "extra", call.extra)) {
    return std::nullopt;
  }
  if (const auto project = value.find("project"); project != value.end() && !project->is_null()) {
    if (!project->is_boolean()) return std::nullopt;
    call.project = project->get<bool>();
  }
  return call;
}

}  // namespace kavor
