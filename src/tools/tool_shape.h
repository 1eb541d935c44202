// What a client that discovers tools by itself is told about each one before it calls it: the
// arguments (name, JSON type, required or not, one sentence), a title, and what kind of work the
// tool does. The chat service knows its tools already; a Model Context Protocol client learns
// them from this description (mcp/server.h).
//
// One source of truth: the JSON Schema a client validates against is made from the argument
// list here, and the list is held to the decoders (tool_table.h) by a table test that runs every
// decoder with the keys it reads recorded (json::KeyLog): each key a decoder reads is listed, each
// listed key is read, a required key is one without which the decoder refuses the call, and a
// call made of the listed keys with their listed types decodes. A key added to a decoder and not
// here, or a type changed on one side only, fails that test.
//
// The decoders stay lenient (args.h: a wrong type reads as absent, a count may be a string of
// digits), so the schema is the stricter of the two: whatever it accepts, the decoder takes.
#pragma once

#include <string>
#include <vector>

#include "common/json.h"
#include "platform/result.h"

namespace kavor::tools {

enum class ArgType { String, Integer, Number, Boolean, StringList };

// The JSON Schema type word of `type` ("string", "integer", ...).
const char* schema_type(ArgType type);

struct ArgSpec {
  std::string name;
  ArgType type = ArgType::String;
  bool required = false;
  std::string description;
};

struct ToolShape {
  std::string name;
  std::string title;
  std::string description;
  std::vector<ArgSpec> args;
  // The work's nature, for clients that show it or decide by it: only reads; may overwrite or
  // remove what exists (as opposed to only adding); reaches beyond the computer's files and
  // programs (a web page, a container's network).
  bool read_only = false;
  bool destructive = false;
  bool open_world = false;
};

// {"type": "object", "properties": {...}, "required": [...]}: one property per argument with its
// type and description ("array" of "string" items for a StringList), keys in the list's order.
common::Json input_schema(const ToolShape& shape);

// Checks `args` against the shape's types and required keys: the sentence that names the first
// key that is missing or holds another type ("path must be a string."), or nothing. A null value
// counts as absent, as the decoders read it.
Result<void> check_args(const ToolShape& shape, const common::Json& args);

// The shapes of the tools this layer decodes: read_file, list_dir, glob, grep, write_file,
// edit_file, shell, run_tests, wsl, docker, save_memory, forget_memory. The browser layer adds
// its own (browser/tool_shape.h).
const std::vector<ToolShape>& core_tool_shapes();

}  // namespace kavor::tools
