// The local service's scripted assistant. It understands a small command language and turns a
// chat message into the tool calls the linked computer should run, one after the other; when the
// results are back they become the assistant's reply. A message that is not a command gets a
// short answer and no call.
//
//   /read FILE            read_file         /write FILE TEXT     write_file (TEXT may span lines)
//   /list [FOLDER]        list_dir          /edit FILE OLD => NEW  edit_file
//   /glob PATTERN [DIR]   glob              /run COMMAND         shell
//   /grep PATTERN [DIR]   grep              /test [COMMAND]      run_tests
//   /browse URL           browser open (the answer carries a screenshot)
//   /remember TITLE: TEXT save_memory       /forget SLUG         forget_memory
//   /help                 the list above
//
// Words are separated by spaces; a word in double quotes may hold spaces. A message that starts
// with "{" or "[" is read as one JSON tool call ({"tool": …, "args": {…}}) or a list of them and
// sent as it is.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace kavor::service {

struct ToolRequest {
  std::string tool;
  nlohmann::ordered_json args = nlohmann::ordered_json::object();
};

struct Plan {
  std::vector<ToolRequest> calls;  // run in this order, each after the previous result
  std::string reply;               // the whole answer when there is no call
};

Plan plan_reply(std::string_view message);
std::string help_text();

// The paragraph of the reply for one call, from the result record the computer posted.
std::string describe_result(const ToolRequest& request, const nlohmann::ordered_json& record);

// A memory slug from a title: lower-case ASCII letters and digits, runs of anything else as one
// "-", at most 48 characters; "note" when nothing is left.
std::string slug_of(std::string_view title);

}  // namespace kavor::service
