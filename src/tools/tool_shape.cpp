#include "tools/tool_shape.h"

#include <iterator>

#include "common/json_read.h"
#include "exec/command_line.h"
#include "tools/file_tools.h"

namespace kavor::tools {

namespace {

// The texts name the limits the tools keep, from their own constants.
std::string lines_limit() {
  return std::to_string(kReadLineLimit);
}
std::string timeout_text() {
  return "Seconds before the command is ended; " + std::to_string(exec::kDefaultTimeoutSeconds) +
         " when absent, at most " + std::to_string(exec::kMaxTimeoutSeconds) + ".";
}

constexpr const char* kPathInWorkspace =
    "A path relative to the workspace folder, or a full path; the workspace itself when absent.";
constexpr const char* kCwd =
    "The folder to run in, relative to the workspace folder; the workspace itself when absent.";
constexpr const char* kShell =
    "bash (the default), sh or powershell; the command runs in that shell.";

bool holds(const common::Json& value, ArgType type) {
  switch (type) {
    case ArgType::String:
      return value.is_string();
    case ArgType::Integer:
      return value.is_number_integer();
    case ArgType::Number:
      return value.is_number();
    case ArgType::Boolean:
      return value.is_boolean();
    case ArgType::StringList:
      if (!value.is_array()) return false;
      for (const common::Json& item : value) {
        if (!item.is_string()) return false;
      }
      return true;
  }
  return false;
}

// Each argument type's words, in the order of ArgType: how a refusal names it, and its JSON
// Schema type.
struct TypeWords {
  const char* phrase;
  const char* schema;
};
constexpr TypeWords kTypeWords[] = {
    {"a string", "string"},       {"a whole number", "integer"},  {"a number", "number"},
    {"true or false", "boolean"}, {"a list of strings", "array"},
};
static_assert(std::size(kTypeWords) == static_cast<std::size_t>(ArgType::StringList) + 1);

const char* type_phrase(ArgType type) {
  return kTypeWords[static_cast<std::size_t>(type)].phrase;
}

std::vector<ToolShape> make_core_shapes() {
  using T = ArgType;
  std::vector<ToolShape> shapes;
  shapes.push_back(
      {"read_file",
       "Read a file",
       "Reads a text file, its lines numbered from 1; at most " + lines_limit() +
           " lines of at most " + std::to_string(kReadLineChars) + " characters per call.",
       {{"path", T::String, false, "The file: " + std::string(kPathInWorkspace)},
        {"offset", T::Integer, false, "The first line to read, from 1."},
        {"limit", T::Integer, false, "How many lines to read; at most " + lines_limit() + "."}},
       true,
       false,
       false});
  shapes.push_back({"list_dir",
                    "List a folder",
                    "Lists the names in a folder, folders marked with a trailing slash; at most " +
                        std::to_string(kListEntryLimit) + " names.",
                    {{"path", T::String, false, kPathInWorkspace}},
                    true,
                    false,
                    false});
  shapes.push_back(
      {"glob",
       "Find files by name",
       "Finds the files whose paths match a glob pattern (** crosses folders), "
       "skipping what the folder's ignore rules leave out; at most " +
           std::to_string(kGlobMatchLimit) + " paths.",
       {{"pattern", T::String, true, "The pattern, for example src/**/*.cpp."},
        {"path", T::String, false, "The folder to search: " + std::string(kPathInWorkspace)}},
       true,
       false,
       false});
  shapes.push_back(
      {"grep",
       "Search file contents",
       "Searches the files of a folder for a regular expression, skipping what the folder's "
       "ignore rules leave out; at most " +
           std::to_string(kGrepMatchLimit) + " matching lines.",
       {{"pattern", T::String, true, "The regular expression (RE2 syntax)."},
        {"path", T::String, false,
         "The folder or file to search: " + std::string(kPathInWorkspace)},
        {"ignore_case", T::Boolean, false, "Match letters in either case."},
        {"glob", T::String, false, "Search only the files whose paths match this glob pattern."}},
       true,
       false,
       false});
  shapes.push_back({"write_file",
                    "Write a file",
                    "Writes a whole file, making it or replacing what it held; the user approves "
                    "the change as a diff first unless the mode lets it run.",
                    {{"path", T::String, true,
                      "The file: a path relative to the workspace folder, "
                      "or a full path."},
                     {"content", T::String, false, "The file's whole new text."}},
                    false,
                    true,
                    false});
  shapes.push_back(
      {"edit_file",
       "Edit a file",
       "Replaces one exact piece of a file's text with another; the piece must occur once "
       "unless replace_all is set. The user approves the change as a diff first unless the mode "
       "lets it run.",
       {{"path", T::String, true,
         "The file: a path relative to the workspace folder, or a full path."},
        {"old_text", T::String, true, "The text to replace, exactly as the file holds it."},
        {"new_text", T::String, false, "The text to put in its place."},
        {"replace_all", T::Boolean, false, "Replace every occurrence rather than exactly one."}},
       false,
       true,
       false});
  shapes.push_back({"shell",
                    "Run a command",
                    "Runs a command and answers with its output and exit status. A command that "
                    "runs without the user's approval runs inside the workspace fence.",
                    {{"command", T::String, true, "The command line."},
                     {"cwd", T::String, false, kCwd},
                     {"shell", T::String, false, kShell},
                     {"timeout", T::Integer, false, timeout_text()}},
                    false,
                    true,
                    true});
  shapes.push_back(
      {"run_tests",
       "Run the tests",
       "Runs the project's tests: the given command, or the one the folder's build "
       "files name (npm test, cargo test, pytest, ctest, ...).",
       {{"command", T::String, false, "The test command; found in the folder when absent."},
        {"cwd", T::String, false, kCwd},
        {"shell", T::String, false, kShell},
        {"timeout", T::Integer, false, timeout_text()}},
       false,
       true,
       true});
  shapes.push_back({"wsl",
                    "Run in WSL",
                    "Runs a command in a Windows Subsystem for Linux distribution, or lists the "
                    "distributions when no command is given.",
                    {{"command", T::String, false, "The command line; the listing when absent."},
                     {"distro", T::String, false, "The distribution; the default one when absent."},
                     {"cwd", T::String, false, kCwd},
                     {"timeout", T::Integer, false, timeout_text()}},
                    false,
                    true,
                    true});
  shapes.push_back({"docker",
                    "Run docker",
                    "Runs the docker program with the given arguments.",
                    {{"args", T::StringList, true, "The arguments after docker, one per item."},
                     {"cwd", T::String, false, kCwd},
                     {"timeout", T::Integer, false, timeout_text()}},
                    false,
                    true,
                    true});
  shapes.push_back(
      {"save_memory",
       "Save a project memory",
       "Keeps a note about this project for later chats, in the workspace's memory folder; the "
       "same slug replaces the note.",
       {{"title", T::String, true, "One line naming the note."},
        {"content", T::String, true, "The note's text (Markdown)."},
        {"description", T::String, false, "One line saying when the note is useful."},
        {"slug", T::String, false,
         "The note's file name without .md; made from the title when absent."}},
       false,
       true,
       false});
  shapes.push_back({"forget_memory",
                    "Forget a project memory",
                    "Removes a note kept with save_memory.",
                    {{"slug", T::String, true, "The note's file name without .md."}},
                    false,
                    true,
                    false});
  return shapes;
}

}  // namespace

const char* schema_type(ArgType type) {
  return kTypeWords[static_cast<std::size_t>(type)].schema;
}

common::Json input_schema(const ToolShape& shape) {
  common::Json properties = common::Json::object();
  common::Json required = common::Json::array();
  for (const ArgSpec& arg : shape.args) {
    common::Json property = common::Json::object();
    property["type"] = schema_type(arg.type);
    if (arg.type == ArgType::StringList) property["items"] = common::Json{{"type", "string"}};
    property["description"] = arg.description;
    properties[arg.name] = std::move(property);
    if (arg.required) required.push_back(arg.name);
  }
  common::Json schema = common::Json::object();
  schema["type"] = "object";
  schema["properties"] = std::move(properties);
  if (!required.empty()) schema["required"] = std::move(required);
  return schema;
}

Result<void> check_args(const ToolShape& shape, const common::Json& args) {
  if (!args.is_null() && !args.is_object()) return fail("The arguments must be a JSON object.");
  for (const ArgSpec& arg : shape.args) {
    const common::Json& value = common::json::member(args, arg.name.c_str());
    if (value.is_null()) {
      if (arg.required) return fail(arg.name + " is missing.");
      continue;
    }
    if (!holds(value, arg.type)) {
      return fail(arg.name + " must be " + type_phrase(arg.type) + ".");
    }
  }
  return {};
}

const std::vector<ToolShape>& core_tool_shapes() {
  static const std::vector<ToolShape> shapes = make_core_shapes();
  return shapes;
}

}  // namespace kavor::tools
