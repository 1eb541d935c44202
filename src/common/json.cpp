#include "common/json.h"

#include <set>
#include <string>
#include <vector>

namespace kavor {

std::optional<Json> parse_json_strict(std::string_view text) {
  // The parser reports every key as it is read; one set of seen keys per open object
  // (a stack, since objects nest) finds a repeated key.
  std::vector<std::set<std::string>> open_objects;
  bool duplicate = false;
  auto callback = [&](int /*depth*/, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        open_objects.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!open_objects.empty()) open_objects.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!open_objects.empty() &&
            !open_objects.back().insert(parsed.get<std::string>()).second) {
          duplicate = true;
        }
        break;
      default:
        break;
    }
    return true;
  };
  Json value = Json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/false);
  if (value.is_discarded() || duplicate) return std::nullopt;
  return value;
}

std::optional<Json> parse_json(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace kavor
