#include "tools/paths.h"

#include <deque>

#include "common/utf8.h"
#include "common/workspace_folder.h"
#include "platform/text.h"

namespace kavor::tools {

namespace {

// Links followed in one path before giving up (as the kernel does for loops).
constexpr int kMaxLinks = 40;

}  // namespace

fs::path normalize(const fs::path& path) {
  fs::path out = path.root_path();
  std::vector<fs::path> parts;
  for (const fs::path& part : path.relative_path()) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!path.is_absolute()) {
        parts.push_back(part);  // nothing left to remove: it stays
      }
      continue;
    }
    parts.push_back(part);
  }
  for (const fs::path& part : parts) out /= part;
  return out;
}

fs::path canonical_prefix(const fs::path& path) {
  // Walks the path one component at a time and follows every link met on the way, also one
  // whose target does not exist yet: the place a write would land is where the link points.
  std::deque<fs::path> rest;
  for (const fs::path& part : path.relative_path()) rest.push_back(part);
  fs::path current = path.root_path();
  int links = 0;
  while (!rest.empty()) {
    const fs::path part = rest.front();
    rest.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      current = current.has_relative_path() ? current.parent_path() : current;
      continue;
    }
    const fs::path next = current / part;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(next, ec);
    if (!ec && fs::is_symlink(status)) {
      // The kernel gives up at this point too; going on by the text alone would judge a path
      // whose remaining links lead somewhere else.
      if (++links > kMaxLinks) {
        throw PathError(common::utf8_lossy(path.string()) +
                        " passes through too many levels of symbolic links.");
      }
      const fs::path target = fs::read_symlink(next, ec);
      if (!ec) {
        if (target.is_absolute()) current = target.root_path();
        const fs::path relative = target.is_absolute() ? target.relative_path() : target;
        std::vector<fs::path> parts(relative.begin(), relative.end());
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) rest.push_front(*it);
        continue;
      }
    }
    current = next;
  }
  return current;
}

std::string nul_path_message(const std::string& name) {
  return name + " contains a NUL character, which no file name can hold.";
}

fs::path resolve_path(const std::string& argument, const fs::path& root) {
  // The check below reads the whole text, but the system stops reading a name at its first NUL:
  // the two would judge different paths.
  if (argument.find('\0') != std::string::npos) throw PathError(nul_path_message("The path"));
  const std::string arg = trim(argument);
  fs::path joined;
  if (arg.empty() || arg == ".") {
    joined = root;
  } else if (fs::path(arg).is_absolute()) {
    joined = fs::path(arg);
  } else {
    joined = root / fs::path(arg);
  }
  return canonical_prefix(normalize(joined));
}

std::string display_path(const fs::path& path, const fs::path& root) {
  if (!path_within(path, root)) return path.generic_string();
  const fs::path relative = path.lexically_relative(root);
  const std::string text = relative.generic_string();
  return text.empty() ? std::string(".") : text;
}

Result<fs::path> resolve_workspace(const std::string& workspace) {
  auto folder = common::resolve_workspace_folder(workspace, common::WorkspaceReader::Assistant);
  if (!folder.ok()) return folder.error();
  return fs::path(std::move(folder).value());
}

Result<Scope> resolve_scope(const Call& call) {
  const std::string workspace = call.workspace.toStdString();
  if (call.project && common::trim_unicode(workspace).empty()) {
    return fail(
        "This project has no folder yet. Open the project edit screen and choose an existing "
        "folder.");
  }
  const Result<fs::path> root = resolve_workspace(workspace);
  if (!root.ok()) {
    // A project's folder that is gone needs the project's own way out.
    if (call.project && root.kind() == ErrorKind::NotFound) {
      return fail("The project folder " + workspace +
                  " does not exist on this computer. Open the project edit screen and choose an "
                  "existing folder, then run the chat again.");
    }
    return root.error();
  }
  Scope scope;
  scope.root = root.value();

  const std::string extra(common::trim_unicode(call.extra.toStdString()));
  if (!extra.empty()) {
    if (extra.find('\0') != std::string::npos) {
      return fail(nul_path_message("The extra folder of this chat") +
                  " Change or remove the extra folder in the chat settings.");
    }
    const fs::path extra_path(extra);
    bool climbs = false;
    for (const fs::path& part : extra_path) climbs = climbs || part == "..";
    if (!extra_path.is_absolute() || climbs) {
      return fail("The extra folder " + extra + " must be a full path without '..'.");
    }
    std::error_code ec;
    const fs::path canonical = fs::canonical(extra_path, ec);
    if (ec) {
      return fail("The extra folder " + extra +
                  " of this chat does not exist on this computer. Change or remove the extra "
                  "folder in the chat settings.");
    }
    if (!fs::is_directory(canonical, ec)) {
      return fail("The extra folder " + canonical.string() + " is not a folder.");
    }
    scope.extras.push_back(canonical);
    // Named inside the workspace (as the workspace was given, or as it resolved), yet outside
    // it once resolved: a link in the workspace leads there.
    const fs::path named = normalize(extra_path);
    // Trimmed as the workspace resolver trims it, so that the text compared is the one resolved.
    const fs::path workspace_named =
        normalize(fs::path(std::string(common::trim_unicode(workspace))));
    const bool named_inside =
        path_within(named, scope.root) ||
        (workspace_named.is_absolute() && path_within(named, workspace_named));
    if (named_inside && !path_within(canonical, scope.root)) scope.linked_out.push_back(canonical);
  }
  return scope;
}

}  // namespace kavor::tools
