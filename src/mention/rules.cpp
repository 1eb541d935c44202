#include "mention/rules.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>

#include "common/utf8.h"
#include "walk/walker.h"

namespace kavor::mention {

namespace {

// Archives, executables, libraries and compiled objects: never what a user mentions by name.
constexpr std::array<std::string_view, 20> kSkippedExtensions = {
    "zip", "tar", "gz", "tgz",   "bz2",   "xz",  "7z",  "rar", "iso", "dmg",
    "exe", "dll", "so", "dylib", "class", "jar", "war", "pyc", "o",   "a"};
constexpr std::array<std::string_view, 2> kSkippedFileNames = {".ds_store", "thumbs.db"};

// Build output, installed packages, tool caches and version-control data: large, generated,
// and never the file meant. Lower case; matched ignoring ASCII case.
constexpr std::array<std::string_view, 45> kAlwaysSkippedFolders = {
    "vendor",        "node_modules",  "bower_components",
    "jspm_packages", ".git",          ".hg",
    ".svn",          "target",        "build",
    "dist",          "out",           ".gradle",
    ".idea",         ".vscode-test",  ".next",
    ".nuxt",         ".svelte-kit",   ".turbo",
    ".parcel-cache", ".cache",        ".angular",
    "coverage",      ".nyc_output",   "__pycache__",
    ".venv",         "venv",          ".tox",
    ".mypy_cache",   ".pytest_cache", ".ruff_cache",
    ".eggs",         "site-packages", ".terraform",
    ".serverless",   "pods",          "carthage",
    "deriveddata",   ".dart_tool",    ".pub-cache",
    ".stack-work",   "dist-newstyle", "_build",
    ".elixir_ls",    ".bundle",       ".sass-cache"};
// .NET build output sits next to the project or solution file.
constexpr std::array<std::string_view, 4> kDotNetProjectExtensions = {"csproj", "fsproj", "vbproj",
                                                                      "sln"};
// Framework caches and logs, named by the end of their relative path.
constexpr std::array<std::string_view, 5> kSkippedPathEnds = {
    "storage/framework", "bootstrap/cache", "var/cache", "var/log", "wp-content/cache"};
constexpr std::string_view kEggInfo = ".egg-info";

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != lower[i]) return false;
  }
  return true;
}

bool ends_with_ignoring_case(std::string_view text, std::string_view lower) {
  return text.size() >= lower.size() &&
         equal_ignoring_case(text.substr(text.size() - lower.size()), lower);
}

// The text after the last "." of a name, when that dot is not the first character.
std::string_view extension_of(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

std::string parent_of(const std::string& abs) {
  const std::size_t slash = abs.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : abs.substr(0, slash);
}

// Whether the folder holds a non-folder item accepted by `wanted`.
bool folder_holds_file(const std::string& folder,
                       const std::function<bool(std::string_view)>& wanted) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  bool found = false;
  while (const dirent* de = readdir(dir)) {
    if (de->d_type == DT_DIR) continue;
    if (wanted(de->d_name)) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

bool holds_file_named(const std::string& folder, const char* name) {
  struct stat st {};
  const std::string path = folder + "/" + name;
  return lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

bool is_skipped_file(std::string_view name) {
  for (const std::string_view skipped : kSkippedFileNames) {
    if (equal_ignoring_case(name, skipped)) return true;
  }
  const std::string_view extension = extension_of(name);
  if (extension.empty()) return false;
  for (const std::string_view skipped : kSkippedExtensions) {
    if (equal_ignoring_case(extension, skipped)) return true;
  }
  return false;
}

bool is_skipped_folder(std::string_view name, std::string_view rel, const std::string& abs) {
  for (const std::string_view skipped : kAlwaysSkippedFolders) {
    if (equal_ignoring_case(name, skipped)) return true;
  }
  if (equal_ignoring_case(name, "bin") || equal_ignoring_case(name, "obj")) {
    return folder_holds_file(parent_of(abs), [](std::string_view item) {
      const std::string_view extension = extension_of(item);
      return std::any_of(kDotNetProjectExtensions.begin(), kDotNetProjectExtensions.end(),
                         [&](std::string_view e) { return equal_ignoring_case(extension, e); });
    });
  }
  if (equal_ignoring_case(name, "env")) return holds_file_named(abs, "pyvenv.cfg");
  if (equal_ignoring_case(name, "deps")) return holds_file_named(parent_of(abs), "mix.exs");
  if (ends_with_ignoring_case(name, kEggInfo)) return true;
  for (const std::string_view end : kSkippedPathEnds) {
    if (!ends_with_ignoring_case(rel, end)) continue;
    if (rel.size() == end.size() || rel[rel.size() - end.size() - 1] == '/') return true;
  }
  return false;
}

bool folder_name_may_be_skipped(std::string_view name) {
  for (const std::string_view skipped : kAlwaysSkippedFolders) {
    if (equal_ignoring_case(name, skipped)) return true;
  }
  for (const std::string_view conditional : {"bin", "obj", "env", "deps"}) {
    if (equal_ignoring_case(name, conditional)) return true;
  }
  if (ends_with_ignoring_case(name, kEggInfo)) return true;
  // The path-end rules name two components at least.
  return name.find('/') != std::string_view::npos;
}

std::size_t depth_limit_below(std::string_view folder) {
  if (folder.empty()) return kMaxDepth;
  const auto depth = static_cast<std::size_t>(std::count(folder.begin(), folder.end(), '/')) + 1;
  return depth >= kMaxDepth ? 1 : kMaxDepth - depth;
}

WalkOutcome walk_entries(const WalkRequest& request, const std::function<void(Entry)>& record) {
  WalkOutcome outcome;
  if (request.max_entries == 0) {
    outcome.truncated = true;
    return outcome;
  }
  const std::string start =
      request.folder.empty() ? request.root : request.root + "/" + request.folder;
  // Entry paths are relative to the workspace root: the start's own path comes first.
  const std::string prefix = request.folder.empty() ? std::string() : request.folder + "/";
  std::string path;
  const auto full_path = [&](std::string_view rel) -> const std::string& {
    path.assign(prefix);
    path.append(rel);
    return path;
  };

  walk::WalkOptions options;
  options.ignore_file_names = {".gitignore", ".ignore"};
  options.repository_rules = true;
  // Ignore files of every folder above the start count, inside a repository or not.
  options.ignore_root = std::string(1, '/');
  options.skip_names.clear();  // the folder table below decides, ignoring case
  options.report_folders = true;
  options.stat_entries = true;
  options.max_depth = std::max<std::size_t>(request.max_depth, 1);
  if (request.cancel != nullptr) {
    const std::atomic<bool>* cancel = request.cancel;
    options.cancelled = [cancel] { return cancel->load(std::memory_order_relaxed); };
  }
  options.skip_folder = [&](std::string_view name, std::string_view rel, std::string_view abs) {
    const std::string& full = full_path(rel);
    // Nothing below a path that is too long or not text could be recorded.
    if (full.size() > kMaxPathBytes || !valid_utf8(name)) return true;
    if (!request.excluded.empty() && full == request.excluded) return true;
    return is_skipped_folder(name, full, std::string(abs));
  };

  const walk::WalkResult result = walk::walk(start, options, [&](const walk::WalkEntry& item) {
    const std::string& full = full_path(item.rel);
    if (full.size() > kMaxPathBytes || !valid_utf8(item.name)) return walk::WalkNext::Continue;
    if (!item.is_dir && is_skipped_file(item.name)) return walk::WalkNext::Continue;
    record(Entry::make(full, encode_mtime(item.mtime_sec), item.is_dir));
    ++outcome.recorded;
    if (outcome.recorded >= request.max_entries) {
      outcome.truncated = true;
      return walk::WalkNext::Stop;
    }
    return walk::WalkNext::Continue;
  });
  outcome.cancelled = result.cancelled;
  outcome.start_failed = result.start_failed;
  return outcome;
}

}  // namespace kavor::mention
