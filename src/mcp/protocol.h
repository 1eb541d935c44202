// The Model Context Protocol's messages as this server reads and writes them: JSON-RPC 2.0
// objects, one per line on standard input and output (or one per HTTP request, mcp/http.h).
//
// A line is one of four things, told apart in this order (classify):
//   1. not an object (an array, a number, text): invalid, answered with "Invalid Request"; a
//      batch (an array) is part of no revision this server speaks with batches, see below;
//   2. an object with "method": a request when it also has an "id" (a string or a number), a
//      notification when it has none;
//   3. an object with "id" and one of "result" or "error": a response to one of our requests;
//   4. anything else: invalid.
// A line that is not JSON at all is answered with "Parse error" and a null id: nothing in it can
// be trusted to name a request.
//
// Revisions. The server speaks 2025-11-25, 2025-06-18 and 2025-03-26. A client that asks for one
// of them gets it; any other answer is the newest, and the client decides whether to go on. What
// a revision lacks is not offered to its clients:
//   - 2025-03-26: no elicitation (calls that must ask are refused with the mode that would run
//     them), no `title` beside a tool's name (it travels in the annotations only). It had JSON-RPC
//     batches, which this server does not take from anyone: each message stands alone.
//   - 2025-06-18: elicitation with an untitled enum and `enumNames` for the choices' labels.
//   - 2025-11-25: elicitation with `mode: "form"` and titled choices (`oneOf` of const + title).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "platform/result.h"

namespace kavor::mcp {

// The longest line (or HTTP body) read as one message: the largest file the tools read whole
// (10 MiB) written back with JSON's escapes still fits; anything longer is no call of ours and
// would only hold memory. A longer message is read to its end and dropped, and answered with an
// error that names this limit.
inline constexpr std::size_t kMaxMessageBytes = 32u << 20;

// JSON-RPC's error codes.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;

struct Revision {
  std::string_view name;
  bool elicitation = false;       // elicitation/create exists
  bool tool_titles = false;       // Tool.title beside the name
  bool titled_choices = false;    // oneOf [{const, title}] rather than enum + enumNames
  bool elicitation_mode = false;  // params.mode: "form"
};

inline constexpr std::string_view kLatestRevision = "2025-11-25";

// The revision answered to a client that asked for `asked`: the same when spoken here, else the
// newest.
const Revision& negotiate(std::string_view asked);

struct Message {
  enum class Kind { Request, Notification, Response, Invalid };
  Kind kind = Kind::Invalid;
  common::Json id;  // requests and responses: a string or a number; null otherwise
  std::string method;
  common::Json params;  // an object, or null when absent
  common::Json result;  // a response's result, when it has one
  common::Json error;   // a response's error, when it has one
  std::string problem;  // Invalid: what is wrong, for the error's message
};

// Classifies one parsed message as described above.
Message classify(const common::Json& value);

// The objects this server writes.
common::Json response(const common::Json& id, common::Json result);
common::Json error_response(const common::Json& id, int code, const std::string& message);
common::Json request(const common::Json& id, const std::string& method, common::Json params);
common::Json notification(const std::string& method, common::Json params);

// The error for a message longer than kMaxMessageBytes, naming the limit.
common::Json oversized_error();

// The deepest nesting of arrays and objects a message may have. The protocol's messages nest a
// handful of levels (a call's arguments, a schema in them); a value is copied and destroyed one
// level at a time on the stack, so a short line nested thousands deep would run the stack out.
inline constexpr int kMaxNesting = 128;

// The most members one object of a message may have. A call's arguments hold a few, a schema a
// few dozen; the JSON type keeps an object's keys in order and finds each one by one, so an
// object of hundreds of thousands would take minutes to parse while nothing else is handled.
inline constexpr std::size_t kMaxMembers = 4096;

// Parses one line: fails with the sentence to answer when it is not JSON, nests deeper than
// kMaxNesting or has an object of more than kMaxMembers members.
Result<common::Json> parse_message(std::string_view line);

// One line of output: the compact JSON text without a line break in it (JSON escapes line
// breaks inside strings), invalid UTF-8 replaced.
std::string serialize(const common::Json& message);

}  // namespace kavor::mcp
