// The named commands the chat web application may call. Each command declares its arguments
// with their JSON types; a call with a missing required argument or an argument of the wrong
// type is refused before the command runs.
#pragma once

#include <qcorotask.h>
#include <QString>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/json.h"
#include "platform/result.h"

namespace kavor::app {

enum class ArgType {
  String,
  Bool,
  Object,
  PositiveInteger,  // a JSON integer above zero
  Number,           // any JSON number
};

struct ArgSpec {
  std::string name;
  ArgType type;
  bool optional = false;  // optional arguments may also be null
};

// A command's answer: a JSON value (null when it has nothing to say), or the error text the
// page's promise is rejected with.
using CommandResult = Result<common::Json>;

using CommandHandler = std::function<QCoro::Task<CommandResult>(const common::Json& args)>;

class CommandTable {
 public:
  void add(std::string name, std::vector<ArgSpec> args, CommandHandler handler);

  // Checks the arguments against the command's declaration, then runs it. `args` must be a
  // JSON object (null counts as an empty one). Unknown commands and bad arguments are
  // refused with a sentence saying what is wrong.
  QCoro::Task<CommandResult> invoke(const std::string& name, const common::Json& args) const;

  // Whether `args` fit the command; the refusal when not. Pure; used by invoke.
  Result<void> check(const std::string& name, const common::Json& args) const;

  std::vector<std::string> names() const;

 private:
  struct Entry {
    std::vector<ArgSpec> args;
    CommandHandler handler;
  };
  std::map<std::string, Entry> commands_;
};

}  // namespace kavor::app
