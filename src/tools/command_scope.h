// Whether a command text reaches outside the call's folders. The command is not parsed as a
// shell would; it is cut into words at blanks, quotes and shell punctuation, and every word
// that looks like a path is resolved against the working folder and checked against the scope.
// Home-folder and environment references are expanded first, so "~/x" and "$HOME/x" count.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "tools/model.h"

namespace kavor::tools {

// Looks up an environment variable; the process environment by default.
using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
EnvLookup process_environment();

// The words of a command as the check sees them.
std::vector<std::string> command_words(const std::string& command);

// True when a word of `command`, read as a path relative to `cwd`, lies outside `scope`.
bool command_reaches_outside(const std::string& command, const fs::path& cwd, const Scope& scope,
                             const EnvLookup& env = process_environment());

}  // namespace kavor::tools
