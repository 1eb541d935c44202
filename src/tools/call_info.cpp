#include "tools/call_info.h"

namespace kavor::tools {

const char* kind_name(ToolKind kind) {
  switch (kind) {
    case ToolKind::Read:
      return "read";
    case ToolKind::Write:
      return "write";
    case ToolKind::Exec:
      return "exec";
  }
  return "read";
}

void add_description(common::Json& record, const CallInfo& info) {
  record["tool"] = info.tool;
  record["kind"] = kind_name(info.kind);
  record["summary"] = info.summary;
  record["detail"] = info.detail;
  record["lang"] = info.lang;
  record["outside"] = info.outside;
  record["cwd"] = info.cwd;
}

common::Json to_json(const CallInfo& info) {
  common::Json j = common::Json::object();
  j["call_id"] = info.call_id;
  j["chat"] = info.chat;
  add_description(j, info);
  j["memory"] = info.memory;
  j["unfenced"] = info.unfenced;
  if (!info.reason.empty()) j["reason"] = info.reason;
  return j;
}

}  // namespace kavor::tools
