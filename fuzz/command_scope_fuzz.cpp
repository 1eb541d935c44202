// Arbitrary bytes as a command text, judged in an empty temporary folder that is the whole
// scope, with a fixed environment (HOME inside the scope). Besides ending without fault or
// sanitizer report, two things must hold whatever the text:
// - the first cut gives words without blanks, quotes or punctuation, never empty, "-" or an
//   address;
// - a text with a piece ".." or "/" reaches outside: every piece is judged as a path from the
//   folder the text starts in, and no other part of the text can take that back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "tools/command_scope.h"

namespace {

using namespace kavor::tools;

struct Folder {
  fs::path path;
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "kavor-scope-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path = fs::canonical(pattern);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

const Folder& scope_folder() {
  static const Folder folder;
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const fs::path& root = scope_folder().path;
  const Scope scope{root, {}};
  const EnvLookup env = [&](const std::string& name) -> std::optional<std::string> {
    if (name == "HOME") return (root / "home").string();
    return std::nullopt;
  };

  bool climbs = false;
  for (const std::string& word : command_words(text)) {
    if (word.empty() || word == "-" || word.find("://") != std::string::npos) __builtin_trap();
    if (word.find_first_of(" \t\n\r\"'`;|&<>()[],=") != std::string::npos) __builtin_trap();
    climbs = climbs || word == ".." || word == "/";
  }
  const bool outside = command_reaches_outside(text, root, scope, env).has_value();
  if (climbs && !outside) __builtin_trap();
  return 0;
}
