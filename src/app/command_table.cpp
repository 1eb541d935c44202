#include "app/command_table.h"

namespace kavor::app {

namespace {

bool fits(const common::Json& value, ArgType type) {
  switch (type) {
    case ArgType::String:
      return value.is_string();
    case ArgType::Bool:
      return value.is_boolean();
    case ArgType::Object:
      return value.is_object();
    case ArgType::PositiveInteger:
      if (value.is_number_unsigned()) return value.get<std::uint64_t>() > 0;
      if (value.is_number_integer()) return value.get<std::int64_t>() > 0;
      return false;
    case ArgType::Number:
      return value.is_number();
  }
  return false;
}

const char* type_name(ArgType type) {
  switch (type) {
    case ArgType::String:
      return "a string";
    case ArgType::Bool:
      return "true or false";
    case ArgType::Object:
      return "an object";
    case ArgType::PositiveInteger:
      return "a positive whole number";
    case ArgType::Number:
      return "a number";
  }
  return "a value";
}

}  // namespace

void CommandTable::add(std::string name, std::vector<ArgSpec> args, CommandHandler handler) {
  commands_[std::move(name)] = Entry{std::move(args), std::move(handler)};
}

std::vector<std::string> CommandTable::names() const {
  std::vector<std::string> out;
  for (const auto& [name, entry] : commands_) out.push_back(name);
  return out;
}

Result<void> CommandTable::check(const std::string& name, const common::Json& args) const {
  const auto it = commands_.find(name);
  if (it == commands_.end()) return fail("Unknown command " + name + ".");
  if (!args.is_null() && !args.is_object()) {
    return fail("The arguments of " + name + " must be an object.");
  }
  for (const ArgSpec& arg : it->second.args) {
    const bool present = args.is_object() && args.contains(arg.name) && !args[arg.name].is_null();
    if (!present) {
      if (arg.optional) continue;
      return fail("Command " + name + " needs the argument " + arg.name + ".");
    }
    if (!fits(args[arg.name], arg.type)) {
      return fail("The argument " + arg.name + " of command " + name + " must be " +
                  type_name(arg.type) + ".");
    }
  }
  return {};
}

QCoro::Task<CommandResult> CommandTable::invoke(const std::string& name,
                                                const common::Json& args) const {
  if (const Result<void> checked = check(name, args); !checked.ok()) {
    co_return checked.error();
  }
  const common::Json object = args.is_object() ? args : common::Json::object();
  // The handler is copied into this frame: a handler that is a coroutine lambda reads its
  // captures from its lambda object after every wait, and the table may be gone by then.
  const CommandHandler handler = commands_.at(name).handler;
  QCoro::Task<CommandResult> running = handler(object);
  CommandResult result = co_await running;
  co_return result;
}

}  // namespace kavor::app
