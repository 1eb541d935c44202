// The tools a call may name. Each tool decodes its arguments against the call's scope into
// what the user is shown (summary, detail, whether it leaves the scope) and the work to run once
// approved. Decoding may read the disk (an edit's diff is computed before approval, so the user
// approves the exact change); both decoding and running happen on a worker thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <variant>

#include "common/json.h"
#include "tools/model.h"

namespace kavor::tools {

struct Decoded {
  ToolKind kind = ToolKind::Read;
  std::string summary;
  std::string detail;
  std::string lang;
  bool outside = false;
  std::string cwd = ".";
  bool memory = false;
  std::function<ToolResult(const StopFlag& stop)> run;
};

// The decoded call, or the message of a decoding failure.
using DecodeResult = std::variant<Decoded, std::string>;
using Decoder = std::function<DecodeResult(const Json& args, const Scope& scope)>;

class ToolTable {
 public:
  void add(std::string name, Decoder decoder) { tools_[std::move(name)] = std::move(decoder); }
  const Decoder* find(const std::string& name) const {
    const auto it = tools_.find(name);
    return it == tools_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Decoder> tools_;
};

}  // namespace kavor::tools
