// How the paths a call names are turned into the paths it touches, and how they are shown.
//
// A path argument is trimmed; empty or "." means the root; an absolute path is taken as is;
// anything else is joined to the root. The result is normalized by its text ("." dropped, ".."
// removes the previous component), then made canonical: the longest part that exists is
// resolved through the file system (links followed) and the rest re-appended. A link inside the
// workspace that points at something not yet existing is followed too, so a dangling link
// cannot make a path outside the workspace look inside. A path that passes through more links
// than the kernel would follow is refused (PathError) instead of being judged by its text: the
// kernel would go on following links the check never saw.
//
// The result has no link in it at the time of the check. Tools act on it through
// walk/no_follow.h, which refuses a link met on the way, so a folder swapped for a link after
// the check cannot carry the act elsewhere.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <variant>

#include "tools/call.h"
#include "tools/call_info.h"
#include "tools/scope.h"

namespace kavor::tools {

// A path argument that cannot be resolved safely; what() is the message for the assistant.
// The dispatcher turns it into the call's failure, wherever a tool resolves a path.
class PathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Lexical normalization only; a ".." with nothing left to remove stays.
fs::path normalize(const fs::path& path);

// The refusal of a path text holding NUL: `name` (e.g. "path") and why no file has that name.
std::string nul_path_message(const std::string& name);

// The path rule above, for an argument of a call whose scope has `root`. An argument holding
// NUL is refused (PathError): the system would read only the part before it.
fs::path resolve_path(const std::string& argument, const fs::path& root);

// Canonical form of an absolute path whose tail may not exist yet. Throws PathError when the
// path passes through more than 40 links.
fs::path canonical_prefix(const fs::path& path);

// Relative to the root with "/" separators, "." for the root itself, the full path when the
// path is not under the root.
std::string display_path(const fs::path& path, const fs::path& root);

// Resolves the call's workspace and extra folder, or the message for the user.
Result<Scope> resolve_scope(const Call& call);

// The workspace folder as the commands resolve it: canonical and a folder, or the message
// (ErrorKind::NotFound when there is no such folder).
Result<fs::path> resolve_workspace(const std::string& workspace);

}  // namespace kavor::tools
