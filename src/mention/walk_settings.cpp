#include "mention/walk_settings.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

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

std::string parent_folder(const std::string& abs) {
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
    return folder_holds_file(parent_folder(abs), [](std::string_view item) {
      const std::string_view extension = extension_of(item);
      return std::any_of(kDotNetProjectExtensions.begin(), kDotNetProjectExtensions.end(),
                         [&](std::string_view e) { return equal_ignoring_case(extension, e); });
    });
  }
  if (equal_ignoring_case(name, "env")) return holds_file_named(abs, "pyvenv.cfg");
  if (equal_ignoring_case(name, "deps")) return holds_file_named(parent_folder(abs), "mix.exs");
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
  options.cancelled = request.cancelled;
  options.skip_folder = [&](std::string_view name, std::string_view rel, std::string_view abs) {
    const std::string& full = full_path(rel);
    // Nothing below a path that is too long or not text could be recorded.
    if (full.size() > kMaxPathBytes || !common::valid_utf8(name)) return true;
    if (!request.excluded.empty() && full == request.excluded) return true;
    if (is_skipped_folder(name, full, std::string(abs))) return true;
    if (request.entering) request.entering(full);
    return false;
  };

  const walk::WalkResult result = walk::walk(start, options, [&](const walk::WalkEntry& item) {
    const std::string& full = full_path(item.rel);
    if (full.size() > kMaxPathBytes || !common::valid_utf8(item.name))
      return walk::WalkNext::Continue;
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

namespace kavor::mention {

WalkOutcome walk_entries_shared(const WalkRequest& request, unsigned threads,
                                const std::function<void(Entry)>& record) {
  if (threads <= 1 || request.max_depth <= 1) return walk_entries(request, record);

  // The start's own items, in walk order.
  WalkRequest top_request = request;
  top_request.max_depth = 1;
  std::vector<Entry> top;
  const WalkOutcome listed =
      walk_entries(top_request, [&](Entry e) { top.push_back(std::move(e)); });
  if (listed.start_failed || listed.cancelled) return listed;
  WalkOutcome outcome;

  // What lies below each folder of the start, walked by whichever thread is free.
  struct Below {
    std::vector<Entry> entries;
    bool cancelled = false;
    bool done = false;
  };
  std::vector<Below> below(top.size());
  std::vector<std::size_t> folders;
  for (std::size_t i = 0; i < top.size(); ++i) {
    if (top[i].is_dir)
      folders.push_back(i);
    else
      below[i].done = true;
  }
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> enough{false};  // the cap is reached: what is left is not needed
  const auto stop = [&] {
    return enough.load(std::memory_order_relaxed) || (request.cancelled && request.cancelled());
  };
  const auto walk_one = [&]() -> bool {
    const std::size_t k = next.fetch_add(1);
    if (k >= folders.size()) return false;
    const std::size_t i = folders[k];
    Below result;
    if (!stop()) {
      WalkRequest sub = request;
      sub.folder = top[i].path;
      sub.max_depth = request.max_depth - 1;
      sub.cancelled = stop;
      const WalkOutcome o =
          walk_entries(sub, [&](Entry e) { result.entries.push_back(std::move(e)); });
      result.cancelled = o.cancelled;
    }
    result.done = true;
    {
      std::lock_guard lock(mutex);
      below[i] = std::move(result);
    }
    finished.notify_all();
    return true;
  };

  std::vector<std::jthread> helpers;
  try {
    for (unsigned t = 1; t < threads; ++t)
      helpers.emplace_back([&] {
        while (walk_one()) {
        }
      });
  } catch (const std::system_error&) {
    // Fewer threads than hoped: the caller walks what the others do not.
  }

  // The caller walks too, and hands over every finished item in walk order.
  std::size_t handed = 0;
  const auto hand_over = [&](bool wait) {
    while (handed < top.size()) {
      Below ready;
      {
        std::unique_lock lock(mutex);
        if (!below[handed].done) {
          if (!wait) return;
          finished.wait(lock, [&] { return below[handed].done; });
        }
        ready = std::move(below[handed]);
      }
      // Once the cap is reached, the folders still being walked are stopped by it, not by the
      // caller: their "cancelled" says nothing about this walk, which is truncated. A real
      // cancel is read from the caller's flag at the end.
      if (ready.cancelled && !outcome.truncated) outcome.cancelled = true;
      if (outcome.truncated || outcome.cancelled) {
        ++handed;
        continue;
      }
      const auto take = [&](Entry e) {
        if (outcome.truncated) return;
        record(std::move(e));
        if (++outcome.recorded >= request.max_entries) {
          outcome.truncated = true;
          enough = true;
        }
      };
      take(std::move(top[handed]));
      for (Entry& e : ready.entries) take(std::move(e));
      ++handed;
    }
  };
  while (walk_one()) hand_over(false);
  hand_over(true);
  helpers.clear();
  if (request.cancelled && request.cancelled()) outcome.cancelled = true;
  return outcome;
}

}  // namespace kavor::mention
