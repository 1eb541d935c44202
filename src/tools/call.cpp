#include "tools/call.h"

#include "common/json_read.h"

namespace kavor::tools {

std::optional<Call> decode_call(const common::Json& value) {
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
  const auto chat = common::json::optional_text(value, "chat");
  const auto workspace = common::json::optional_text(value, "workspace");
  const auto extra = common::json::optional_text(value, "extra");
  if (!chat.ok() || !workspace.ok() || !extra.ok()) return std::nullopt;
  call.chat = chat.value().value_or(QString());
  call.workspace = workspace.value().value_or(QString());
  call.extra = extra.value().value_or(QString());
  if (const auto project = value.find("project"); project != value.end() && !project->is_null()) {
    if (!project->is_boolean()) return std::nullopt;
    call.project = project->get<bool>();
  }
  return call;
}

}  // namespace kavor::tools
