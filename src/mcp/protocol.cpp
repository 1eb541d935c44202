#include "mcp/protocol.h"

#include <algorithm>
#include <array>
#include <vector>

namespace kavor::mcp {

namespace {

// Newest first: the first entry is the one answered to a revision not spoken here.
constexpr std::array<Revision, 3> kRevisions{{
    {"2025-11-25", true, true, true, true},
    {"2025-06-18", true, true, false, false},
    {"2025-03-26", false, false, false, false},
}};

bool usable_id(const common::Json& id) {
  return id.is_string() || id.is_number_integer() || id.is_number_unsigned();
}

Message invalid(std::string problem, common::Json id = nullptr) {
  Message message;
  message.kind = Message::Kind::Invalid;
  message.problem = std::move(problem);
  if (usable_id(id)) message.id = std::move(id);
  return message;
}

}  // namespace

const Revision& negotiate(std::string_view asked) {
  for (const Revision& revision : kRevisions) {
    if (revision.name == asked) return revision;
  }
  return kRevisions.front();
}

Message classify(const common::Json& value) {
  if (value.is_array()) return invalid("Batches are not accepted: send one message at a time.");
  if (!value.is_object()) return invalid("A message must be a JSON object.");
  const common::Json id = value.contains("id") ? value["id"] : common::Json();
  const auto version = value.find("jsonrpc");
  if (version == value.end() || *version != "2.0") {
    return invalid("The message is not JSON-RPC 2.0 (\"jsonrpc\": \"2.0\" is missing).", id);
  }
  const bool has_id = value.contains("id");
  if (has_id && !usable_id(id)) return invalid("The id must be a string or a whole number.");
  Message message;
  message.id = has_id ? id : common::Json();
  if (const auto method = value.find("method"); method != value.end()) {
    if (!method->is_string()) return invalid("The method must be a string.", id);
    message.method = method->get<std::string>();
    if (const auto params = value.find("params"); params != value.end() && !params->is_null()) {
      if (!params->is_object()) return invalid("The params must be an object.", id);
      message.params = *params;
    }
    message.kind = has_id ? Message::Kind::Request : Message::Kind::Notification;
    return message;
  }
  const bool has_result = value.contains("result");
  const bool has_error = value.contains("error");
  if (has_id && has_result != has_error) {
    message.kind = Message::Kind::Response;
    if (has_result) message.result = value["result"];
    if (has_error) message.error = value["error"];
    return message;
  }
  return invalid("The message is neither a request, a notification nor a response.", id);
}

common::Json response(const common::Json& id, common::Json result) {
  common::Json out = common::Json::object();
  out["jsonrpc"] = "2.0";
  out["id"] = id;
  out["result"] = std::move(result);
  return out;
}

common::Json error_response(const common::Json& id, int code, const std::string& message) {
  common::Json out = common::Json::object();
  out["jsonrpc"] = "2.0";
  out["id"] = id;
  out["error"] = common::Json{{"code", code}, {"message", message}};
  return out;
}

common::Json request(const common::Json& id, const std::string& method, common::Json params) {
  common::Json out = common::Json::object();
  out["jsonrpc"] = "2.0";
  out["id"] = id;
  out["method"] = method;
  if (!params.is_null()) out["params"] = std::move(params);
  return out;
}

common::Json notification(const std::string& method, common::Json params) {
  common::Json out = common::Json::object();
  out["jsonrpc"] = "2.0";
  out["method"] = method;
  if (!params.is_null()) out["params"] = std::move(params);
  return out;
}

common::Json oversized_error() {
  return error_response(nullptr, kInvalidRequest,
                        "The message is longer than the limit of " +
                            std::to_string(kMaxMessageBytes >> 20) + " MiB and was dropped.");
}

namespace {

// How deep the text's arrays and objects nest, and the most members one object has, counted
// before the text is parsed: brackets and commas inside strings (and escaped quotes) do not
// count.
struct TextShape {
  int deepest = 0;
  std::size_t widest = 0;
};

TextShape shape_of(std::string_view text) {
  TextShape shape;
  // Per open bracket: whether it is an object, and its members so far (commas + 1).
  std::vector<std::pair<bool, std::size_t>> open;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      open.emplace_back(c == '{', 1);
      shape.deepest = std::max(shape.deepest, static_cast<int>(open.size()));
      if (shape.deepest > kMaxNesting) return shape;
    } else if (c == ']' || c == '}') {
      if (!open.empty()) open.pop_back();
    } else if (c == ',' && !open.empty() && open.back().first) {
      shape.widest = std::max(shape.widest, ++open.back().second);
    }
  }
  return shape;
}

}  // namespace

Result<common::Json> parse_message(std::string_view line) {
  const TextShape shape = shape_of(line);
  if (shape.deepest > kMaxNesting) {
    return fail("The message nests deeper than " + std::to_string(kMaxNesting) +
                " levels and was dropped.");
  }
  if (shape.widest > kMaxMembers) {
    return fail("The message has an object of more than " + std::to_string(kMaxMembers) +
                " members and was dropped.");
  }
  std::optional<common::Json> parsed = common::parse_json_strict(line);
  if (!parsed) return fail("The message is not valid JSON.");
  return std::move(*parsed);
}

std::string serialize(const common::Json& message) {
  return common::json_text(message);
}

}  // namespace kavor::mcp
