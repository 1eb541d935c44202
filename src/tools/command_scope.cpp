#include "tools/command_scope.h"

#include <cstdlib>

#include "tools/paths.h"

namespace kavor::tools {

namespace {

constexpr std::string_view kSeparators = " \t\n\r\"'`;|&<>()[],=";
constexpr std::string_view kQuotes = "\"'`";
// A bare reference counts as a path only for these folders.
constexpr const char* kFolderVariables[] = {"TMP", "HOME", "TEMP", "TMPDIR", "USERPROFILE"};

bool starts_path(std::string_view rest) {
  return rest.empty() || rest.front() == '/' || rest.front() == '\\';
}

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Expands a leading "~", "$NAME", "${NAME}", "$env:NAME" or "%NAME%"; nothing when the word
// starts with a reference that does not stand for a folder here.
std::optional<std::string> expand(const std::string& word, const EnvLookup& env) {
  // On this system the user's home folder is HOME.
  if (word.front() == '~') {
    if (!starts_path(std::string_view(word).substr(1))) return std::nullopt;
    const auto home = env("HOME");
    return home ? std::optional(*home + word.substr(1)) : std::nullopt;
  }
  std::string name;
  std::size_t end = 0;
  if (word.rfind("$env:", 0) == 0) {
    end = 5;
    while (end < word.size() && is_name_char(word[end])) name += word[end++];
  } else if (word.rfind("${", 0) == 0) {
    const auto close = word.find('}');
    if (close == std::string::npos) return std::nullopt;
    name = word.substr(2, close - 2);
    end = close + 1;
  } else if (word.front() == '$') {
    end = 1;
    while (end < word.size() && is_name_char(word[end])) name += word[end++];
  } else if (word.front() == '%') {
    const auto close = word.find('%', 1);
    if (close == std::string::npos) return word;
    name = word.substr(1, close - 1);
    end = close + 1;
  } else {
    return word;
  }
  if (name.empty()) return std::nullopt;
  const std::string_view rest = std::string_view(word).substr(end);
  if (!starts_path(rest)) return std::nullopt;
  if (rest.empty()) {
    bool folder = false;
    for (const char* v : kFolderVariables) folder = folder || name == v;
    if (!folder) return std::nullopt;
  }
  const auto value = env(name);
  if (!value || value->empty()) return std::nullopt;
  return *value + std::string(rest);
}

}  // namespace

EnvLookup process_environment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
}

std::vector<std::string> command_words(const std::string& command) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= command.size()) {
    const std::size_t end = command.find_first_of(kSeparators, start);
    std::string word =
        command.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const auto first = word.find_first_not_of(kQuotes);
    word = first == std::string::npos
               ? std::string()
               : word.substr(first, word.find_last_not_of(kQuotes) - first + 1);
    if (!word.empty() && word != "-" && word.find("://") == std::string::npos)
      words.push_back(word);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return words;
}

bool command_reaches_outside(const std::string& command, const fs::path& cwd, const Scope& scope,
                             const EnvLookup& env) {
  for (std::string word : command_words(command)) {
    // A glued switch value ("-I/usr/include", "-o/tmp/out") is checked for its path.
    if (word.size() > 2 && word[0] == '-' && word[1] != '-') word = word.substr(2);
    const auto expanded = expand(word, env);
    if (!expanded || expanded->empty()) continue;
    const fs::path path(*expanded);
    const fs::path absolute = normalize(path.is_absolute() ? path : cwd / path);
    if (!scope.contains(absolute)) return true;
  }
  return false;
}

}  // namespace kavor::tools
