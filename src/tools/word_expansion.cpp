#include "tools/word_expansion.h"

#include <algorithm>
#include <string_view>

#include "tools/shell_text.h"

namespace kavor::tools {

namespace {

// "$1", "$@", "$?" and the other parameters the shell sets itself.
constexpr std::string_view kSpecialParameters = "0123456789@*#?$!-_";
// What may follow a tilde and name a user or a place on the folder stack.
constexpr std::string_view kUserNameCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-+";
// A bare reference counts as a path only for these folders.
constexpr std::string_view kFolderVariables[] = {"TMP", "HOME", "TEMP", "TMPDIR", "USERPROFILE"};

bool starts_path(std::string_view rest) {
  return rest.empty() || rest.front() == '/' || rest.front() == '\\';
}

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_listed_folder(const std::string& name) {
  return std::find(std::begin(kFolderVariables), std::end(kFolderVariables), name) !=
         std::end(kFolderVariables);
}

bool all_of_chars(std::string_view s, std::string_view allowed) {
  return s.find_first_not_of(allowed) == std::string_view::npos;
}

// "$NAME" or "${NAME}" making up the whole word.
std::optional<std::string> lone_reference(const std::string& word) {
  if (word.size() > 1 && word[0] == '$' && is_variable_name(word.substr(1))) {
    return word.substr(1);
  }
  if (word.size() > 3 && word.rfind("${", 0) == 0 && word.back() == '}' &&
      is_variable_name(word.substr(2, word.size() - 3))) {
    return word.substr(2, word.size() - 3);
  }
  return std::nullopt;
}

OutsideReason no_known_value(const std::string& reference) {
  return outside(reference, "has no known value where a path must stand");
}

OutsideReason starts_at_top(const std::string& reference, const std::string& word) {
  return outside(reference,
                 "has no known value, so " + in_quotes(word) + " may start at the top folder");
}

}  // namespace

void WordExpansion::add_value(const std::string& name, const std::string& value) {
  auto alternatives = brace_alternatives(value, kMaxAlternatives);
  if (!alternatives) {
    add_unseen(name, "takes more than " + std::to_string(kMaxAlternatives) + " values");
    return;
  }
  auto& values = values_[name];
  values.insert(values.end(), alternatives->begin(), alternatives->end());
  if (values.size() > kMaxAlternatives) {
    add_unseen(name, "takes more than " + std::to_string(kMaxAlternatives) + " values");
  }
}

void WordExpansion::add_unseen(const std::string& name, const std::string& cause) {
  unseen_.emplace(name, cause);
}

bool WordExpansion::set_by_text(const std::string& name) const {
  return values_.count(name) || unseen_.count(name);
}

// The values the text gives a variable, those built from other variables expanded.
Judged<std::vector<std::string>> WordExpansion::text_values(const std::string& name, int depth) {
  if (const auto unseen = unseen_.find(name); unseen != unseen_.end()) {
    return outside("$" + name, unseen->second);
  }
  const auto it = values_.find(name);
  if (it == values_.end() || expanding_.count(name)) return std::vector<std::string>{};
  std::vector<std::string> values;
  expanding_.insert(name);
  for (const std::string& value : it->second) {
    Judged<std::vector<std::string>> expanded = expand(value, Position::Ordinary, depth + 1);
    if (!expanded.ok()) return expanded;
    for (std::string& v : expanded.value()) values.push_back(std::move(v));
  }
  expanding_.erase(name);
  return values;
}

// The environment's value; "$PWD" is the current folder, "$OLDPWD" one the text never names.
std::optional<std::string> WordExpansion::env_value(const std::string& name, bool leading) const {
  if (name == "PWD") return leading ? std::string(".") : cwd_.string();
  if (name == "OLDPWD") return std::nullopt;
  return env_(name);
}

Judged<std::vector<std::string>> WordExpansion::expand(const std::string& form, Position position,
                                                       int depth) {
  if (depth > kMaxNesting) {
    return outside(
        form, "is built from variables more than " + std::to_string(kMaxNesting) + " levels deep");
  }
  Judged<std::string> tilde = expand_tilde(form);
  if (!tilde.ok()) return tilde.reason();
  const std::string& word = tilde.value();
  if (word.find('$') == std::string::npos) return std::vector<std::string>{word};
  if (const auto lone = lone_reference(word)) {
    Judged<std::vector<std::string>> known = text_values(*lone, depth);
    if (!known.ok()) return known;
    std::vector<std::string>& values = known.value();
    const auto env = env_value(*lone, true);
    if (position == Position::Path) {
      if (env) values.push_back(*env);
      // Empty or unset, the word disappears: "cd $X" is "cd".
      if (values.empty() || std::any_of(values.begin(), values.end(),
                                        [](const std::string& v) { return v.empty(); })) {
        return outside(word, "may be empty or unset where a path must stand");
      }
    } else if (env && is_listed_folder(*lone)) {
      values.push_back(*env);  // any other lone "$NAME" of the environment names no file
    }
    return known;
  }

  // References among other text: every combination of their values.
  std::vector<std::string> results = {""};
  std::size_t i = 0;
  while (i < word.size()) {
    const auto dollar = word.find('$', i);
    const std::string literal = word.substr(i, dollar == std::string::npos ? dollar : dollar - i);
    for (std::string& r : results) r += literal;
    if (dollar == std::string::npos) break;
    std::size_t end = dollar + 1;
    std::string name;
    bool special = false;
    if (end < word.size() && word[end] == '{') {
      const auto close = word.find('}', end);
      name = word.substr(end + 1, close - end - 1);  // a plain name: hidden text was refused
      end = close + 1;
    } else if (end < word.size() && kSpecialParameters.find(word[end]) != std::string::npos &&
               !(word[end] == '_' && end + 1 < word.size() && is_name_char(word[end + 1]))) {
      special = true;
      ++end;
    } else {
      while (end < word.size() && is_name_char(word[end])) name += word[end++];
    }
    if (!special && name.empty()) {
      for (std::string& r : results) r += '$';  // a dollar sign that names nothing
      i = dollar + 1;
      continue;
    }
    const bool leading = dollar == 0;
    const bool whole =
        (leading || word[dollar - 1] == '/') && (end == word.size() || word[end] == '/');
    const bool builds_path = leading && end < word.size() && starts_path(word.substr(end));
    std::vector<std::string> values;
    if (!special) {
      Judged<std::vector<std::string>> known = text_values(name, depth);
      if (!known.ok()) return known;
      values = std::move(known.value());
      const auto env = env_value(name, leading);
      if (env && (whole || builds_path || position == Position::Path)) {
        values.push_back(*env);
      } else if (env && values.empty()) {
        values.push_back(word.substr(dollar, end - dollar));
      }
    }
    if (values.empty()) {
      const std::string reference = word.substr(dollar, end - dollar);
      if (builds_path) return starts_at_top(reference, word);
      if (position == Position::Path) return no_known_value(reference);
      values = {""};
    }
    std::vector<std::string> next;
    for (const std::string& r : results) {
      for (const std::string& v : values) next.push_back(r + v);
    }
    if (next.size() > kMaxAlternatives) {
      return outside(word, "stands for more than " + std::to_string(kMaxAlternatives) + " words");
    }
    results = std::move(next);
    i = end;
  }
  return results;
}

// The home folder, for a word that starts with it.
Judged<std::string> WordExpansion::home(const std::string& word) const {
  const auto value = env_("HOME");
  if (!value || value->empty()) return outside(word, "starts at the home folder, which is unset");
  return *value;
}

Judged<std::string> WordExpansion::expand_tilde(const std::string& word) const {
  if (word.empty() || word.front() != '~') return word;
  const auto slash = word.find('/');
  const std::string prefix = word.substr(1, slash == std::string::npos ? slash : slash - 1);
  const std::string rest = slash == std::string::npos ? "" : word.substr(slash);
  if (prefix.empty()) {
    Judged<std::string> folder = home(word);
    if (folder.ok()) folder.value() += rest;
    return folder;
  }
  if (prefix == "+") return "." + rest;
  // Other text after a tilde names no user and stays as written ("~5%").
  if (!all_of_chars(prefix, kUserNameCharacters)) return word;
  const std::string tilde = "~" + prefix;
  if (prefix == "-")
    return outside(tilde, "is the previous folder, which the command does not name");
  if (all_of_chars(prefix, "+-0123456789")) {
    return outside(tilde, "is a folder on the folder stack, which the command does not name");
  }
  return outside(tilde, "is the home folder of the user " + in_quotes(prefix));
}

Judged<std::vector<std::string>> WordExpansion::expand_leading(const std::string& word) {
  using Paths = std::vector<std::string>;
  if (word.empty() || word == "-" || word.find("://") != std::string::npos) return Paths{};
  if (word.front() == '~') {
    // "~name" and the like are judged in the shell's cut.
    if (!starts_path(std::string_view(word).substr(1))) return Paths{};
    Judged<std::string> folder = home(word);
    if (!folder.ok()) return folder.reason();
    return Paths{folder.value() + word.substr(1)};
  }
  std::string name;
  std::size_t end = 0;
  bool percent = false;
  if (word.rfind("$env:", 0) == 0) {
    end = 5;
    while (end < word.size() && is_name_char(word[end])) name += word[end++];
  } else if (word.rfind("${", 0) == 0) {
    const auto close = word.find('}');
    if (close == std::string::npos) return Paths{};
    name = word.substr(2, close - 2);
    end = close + 1;
  } else if (word.front() == '$') {
    end = 1;
    while (end < word.size() && is_name_char(word[end])) name += word[end++];
  } else if (word.front() == '%') {
    const auto close = word.find('%', 1);
    if (close == std::string::npos) return Paths{word};
    name = word.substr(1, close - 1);
    end = close + 1;
    percent = true;
  } else {
    return Paths{word};
  }
  if (name.empty()) return Paths{};
  const std::string rest = word.substr(end);
  if (!starts_path(rest)) return Paths{};
  if (rest.empty() && !is_listed_folder(name)) return Paths{};
  Paths values;
  if (percent) {
    // cmd leaves an unknown %NAME% as written.
    const auto value = env_(name);
    if (!value || value->empty()) return Paths{};
    values = {*value};
  } else {
    Judged<Paths> known = text_values(name, 0);
    if (!known.ok()) return known;
    values = std::move(known.value());
    if (const auto env = env_value(name, true)) values.push_back(*env);
    if (values.empty() && !rest.empty()) return starts_at_top(word.substr(0, end), word);
  }
  Paths paths;
  for (const std::string& value : values) {
    if (!value.empty() || !rest.empty()) paths.push_back(value + rest);
  }
  return paths;
}

std::vector<std::string> referenced_variables(const std::string& word) {
  std::vector<std::string> names;
  for (std::size_t at = word.find('$'); at != std::string::npos; at = word.find('$', at + 1)) {
    std::size_t end = at + 1;
    if (end < word.size() && word[end] == '{') ++end;
    std::string name;
    while (end < word.size() && is_name_char(word[end])) name += word[end++];
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

}  // namespace kavor::tools
