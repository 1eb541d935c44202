// The incremental JSON check against the JSON library on the same bytes, fed in two pieces cut
// where the first input byte says: the verdicts and the reported member kinds must agree.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "importer/json_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kavor::importer::JsonCheck;
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = data[0] % (text.size() + 1);

  JsonCheck check({"conversation_id", "id", "mapping"});
  check.feed(text.substr(0, cut));
  check.feed(text.substr(cut));
  const bool ours = check.finish();

  const auto parsed = nlohmann::ordered_json::parse(text, nullptr, false);
  bool theirs = !parsed.is_discarded();
  // The library takes a NUL byte outside strings for the end of the text, and so accepts
  // "1\0anything"; the check refuses any NUL outside strings, as the grammar does.
  if (theirs && !ours && text.find('\0') != std::string_view::npos) theirs = false;
  if (ours != theirs) __builtin_trap();
  if (!ours || !parsed.is_object()) return 0;

  const char* keys[] = {"conversation_id", "id", "mapping"};
  for (std::size_t i = 0; i < 3; ++i) {
    JsonCheck::Kind expected = JsonCheck::Kind::Absent;
    const auto it = parsed.find(keys[i]);
    if (it != parsed.end()) {
      if (it->is_string()) {
        expected = it->get_ref<const std::string&>().empty() ? JsonCheck::Kind::EmptyString
                                                             : JsonCheck::Kind::String;
      } else {
        expected = it->is_object() ? JsonCheck::Kind::Object : JsonCheck::Kind::Other;
      }
    }
    if (check.member(i) != expected) __builtin_trap();
  }
  return 0;
}
