#include "tools/memory.h"

#include <QChar>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <variant>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"
#include "common/utf8.h"
#include "tools/args.h"
#include "tools/diff.h"
#include "tools/file_text.h"
#include "tools/path_locks.h"
#include "tools/paths.h"
#include "walk/no_follow.h"
#include "walk/replace_file.h"

namespace kavor::tools {

namespace {

constexpr std::size_t kSlugChars = 60;
// Bytes read of a memory file too large to show, to keep its creation time.
constexpr std::uint64_t kFrontMatterProbe = 64 * 1024;
constexpr const char* kFolder = ".kavor-agent";
constexpr const char* kMemoryFolder = ".kavor-agent/memory";
constexpr const char* kIndexFile = ".kavor-agent/index.md";
constexpr const char* kWhitespace = " \t\r\n\f\v";

// ---- text ----

std::string trim_end(std::string s) {
  const auto last = s.find_last_not_of(kWhitespace);
  s.erase(last == std::string::npos ? 0 : last + 1);
  return s;
}

std::string crlf_to_lf(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  return out;
}

// One line: every line break (CR LF, CR or LF) becomes a single space.
std::string one_line(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' || s[i] == '\n') {
      if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

// Combining marks belong to the letter before them: without them many scripts (Devanagari,
// Thai, ...) would fall apart into dashes.
bool is_mark(char32_t cp) {
  switch (QChar::category(cp)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
      return true;
    default:
      return false;
  }
}

// ---- files ----
//
// Every path here is resolved (links followed, then checked against the scope) and opened
// without following a link on the way (walk/no_follow.h): a folder swapped for a link between
// the check and the change makes the change fail instead of landing outside.

// The whole of a file (at most `max` bytes), or the system's reason it cannot be read.
Result<std::string> read_file(const fs::path& path, std::uint64_t max = kReadWholeLimit) {
  Result<std::string> out = read_bytes(path, max);
  if (out.ok() && out->size() > max) out->resize(max);
  return out;
}

// Replaces `target` (walk/replace_file.h): a link at the target is replaced, not written
// through, and a link on the folder's path is refused. Memories are notes the user can write
// again, so the write does not wait for the disk.
std::optional<std::string> write_replacing(const fs::path& target, const std::string& bytes) {
  walk::ReplaceOptions options;
  options.flush = false;
  if (const int error = walk::replace_file(target.native(), bytes, options)) {
    return errno_text(error);
  }
  return std::nullopt;
}

// ---- the memory folder of a scope ----

std::string memory_relative(const std::string& slug) {
  return std::string(kMemoryFolder) + "/" + slug + ".md";
}

std::string outside_message(const std::string& shown) {
  return shown + " points outside the workspace, so Kavor Agent will not touch it.";
}

std::string count_text(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " memory" : " memories");
}

// The places a change of one memory touches, each resolved through links.
struct Places {
  fs::path folder;
  fs::path file;
  fs::path index;
};

// What a memory change does to the memory file: a save replaces it, a forget removes the entry.
enum class MemoryChange { Save, Forget };

// A link named `.kavor-agent`, `.kavor-agent/memory` or `.kavor-agent/index.md` (or the memory
// file itself) could carry a write out of the workspace; all of them are followed before the
// check. Called again right before a change, since a link may have been swapped meanwhile.
//
// Memory changes run without asking in most modes, and replace their files whole. Folders may
// be links (one memory shared by several work trees), but the memory file being saved and the
// overview must sit in them under their own names: a link there, planted with the project,
// would have a memory save silently replace any file of the project, a source file or the
// repository's config. For the same reason nothing of memory lands inside .git. Forgetting a
// memory that is a link removes only the link, so that is how a planted one goes away.
std::variant<Places, std::string> locate(const Scope& scope, const std::string& slug,
                                         MemoryChange change) {
  const std::string relative = memory_relative(slug);
  Places places{resolve_path(kMemoryFolder, scope.root), resolve_path(relative, scope.root),
                resolve_path(kIndexFile, scope.root)};
  if (!scope.contains(places.file)) return outside_message(relative);
  if (!scope.contains(places.folder)) return outside_message(kMemoryFolder);
  if (!scope.contains(places.index)) return outside_message(kIndexFile);
  // Judged below the scope folder that holds the path: where the workspace itself lies is the
  // user's affair.
  const auto in_git = [&scope](const fs::path& path) {
    fs::path base = scope.root;
    for (const fs::path& extra : scope.extras) {
      if (!path_within(path, base) && path_within(path, extra)) base = extra;
    }
    const fs::path below = path.lexically_relative(base);
    return std::any_of(below.begin(), below.end(),
                       [](const fs::path& part) { return part == ".git"; });
  };
  if (in_git(places.folder) || in_git(places.index) || in_git(places.file)) {
    return std::string(kMemoryFolder) + " leads into .git, so Kavor Agent will not touch it.";
  }
  const auto elsewhere = [](const std::string& shown) {
    return shown + " is a link to another file, so Kavor Agent will not write through it.";
  };
  if (places.index != resolve_path(kFolder, scope.root) / "index.md") return elsewhere(kIndexFile);
  if (change == MemoryChange::Save && places.file != places.folder / (slug + ".md")) {
    return elsewhere(relative);
  }
  return places;
}

// One memory file: its slug and the link-free path its text is read from.
struct MemoryFile {
  std::string slug;
  fs::path text;
};

// The memory files of `folder`: regular files whose extension is exactly "md". A link counts
// when it leads to a regular file inside the scope, so the overview never quotes a file from
// elsewhere. A missing folder holds none.
std::variant<std::vector<MemoryFile>, std::string> list_memories(const fs::path& folder,
                                                                 const Scope& scope) {
  std::vector<MemoryFile> files;
  const int fd = walk::open_no_follow(AT_FDCWD, folder.native(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return files;
    return errno_text(errno);
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    return errno_text(error);
  }
  while (const dirent* de = ::readdir(dir)) {
    const fs::path name(de->d_name);
    if (name.extension() != ".md") continue;
    struct stat st {};
    if (::fstatat(fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    fs::path text = folder / name;
    if (S_ISLNK(st.st_mode)) {
      try {
        text = canonical_prefix(text);
      } catch (const PathError&) {
        continue;
      }
      struct stat target {};
      if (!scope.contains(text) || !stat_no_follow(text, target) || !S_ISREG(target.st_mode)) {
        continue;
      }
    } else if (!S_ISREG(st.st_mode)) {
      continue;
    }
    files.push_back({name.stem().string(), std::move(text)});
  }
  ::closedir(dir);
  return files;
}

// Rewrites the overview from the memory folder as it is now; the number of memories listed.
std::variant<std::size_t, std::string> regenerate_index(const Scope& scope, const Places& places) {
  auto listed = list_memories(places.folder, scope);
  if (const auto* error = std::get_if<std::string>(&listed)) {
    return "Could not list " + std::string(kMemoryFolder) + ": " + *error;
  }
  const auto& files = std::get<std::vector<MemoryFile>>(listed);
  std::vector<IndexEntry> entries;
  for (const MemoryFile& file : files) {
    // One unreadable file should not keep the others out of the overview; it is listed by name.
    auto bytes = read_file(file.text);
    const std::string text = bytes.ok() ? utf8_lossy(bytes.value()) : std::string();
    entries.push_back({file.slug, parse_memory(text, file.slug)});
  }
  if (auto error = write_replacing(places.index, render_index(std::move(entries)))) {
    return "Could not write " + std::string(kIndexFile) + ": " + *error;
  }
  return files.size();
}

// ---- the tools ----

// Every memory change rewrites the overview from the folder's listing: two at once would each
// list the folder before the other's file was there, and the later overview would miss a memory.
// So a change takes the overview's turn, then its file's, which edit_file and write_file of the
// memory file take too (the file tools hold one path at a time, so nothing waits in a circle).
class MemoryTurn {
 public:
  explicit MemoryTurn(const Places& places) : index_(places.index) {
    // A memory file that leads to the overview itself is already held.
    if (places.file != places.index) file_.emplace(places.file);
  }

 private:
  PathLock index_;
  std::optional<PathLock> file_;
};

ToolResult save_memory(const Scope& scope, const std::string& slug, const std::string& document,
                       const StopFlag& stop) {
  const std::string relative = memory_relative(slug);
  const auto located = locate(scope, slug, MemoryChange::Save);
  if (const auto* refusal = std::get_if<std::string>(&located)) {
    return ToolResult::failure(*refusal);
  }
  const Places& places = std::get<Places>(located);
  const MemoryTurn turn(places);
  // Stopped while it waited for its turn, it changes nothing.
  if (stopped(stop)) return stopped_before_start();
  struct stat st {};
  if (stat_no_follow(places.file, st) && S_ISDIR(st.st_mode)) {
    return ToolResult::failure(relative + " is a folder.");
  }
  if (auto error = write_replacing(places.file, document)) {
    return ToolResult::failure("Could not write " + relative + ": " + *error);
  }
  const auto count = regenerate_index(scope, places);
  if (const auto* error = std::get_if<std::string>(&count)) return ToolResult::failure(*error);
  return text_result("Saved " + relative + " (" + count_text(std::get<std::size_t>(count)) +
                     " in " + kFolder + "/index.md).");
}

ToolResult forget_memory(const Scope& scope, const std::string& slug, const StopFlag& stop) {
  const std::string relative = memory_relative(slug);
  const auto located = locate(scope, slug, MemoryChange::Forget);
  if (const auto* refusal = std::get_if<std::string>(&located)) {
    return ToolResult::failure(*refusal);
  }
  const Places& places = std::get<Places>(located);
  const MemoryTurn turn(places);
  if (stopped(stop)) return stopped_before_start();
  // The entry in the memory folder goes, not what it may link to: forgetting a memory never
  // deletes another file of the project.
  const std::string entry = slug + ".md";
  const int folder = walk::open_no_follow(AT_FDCWD, places.folder.native(), O_PATH | O_DIRECTORY);
  struct stat st {};
  if (folder < 0 || ::fstatat(folder, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    if (folder >= 0) ::close(folder);
    if (error == ENOENT || error == ENOTDIR) {
      return ToolResult::failure(relative + " does not exist.");
    }
    return ToolResult::failure("Could not delete " + relative + ": " + errno_text(error));
  }
  const int removed = S_ISDIR(st.st_mode) ? -1 : ::unlinkat(folder, entry.c_str(), 0);
  const int unlink_error = errno;
  ::close(folder);
  if (S_ISDIR(st.st_mode)) return ToolResult::failure(relative + " is a folder.");
  if (removed != 0) {
    return ToolResult::failure("Could not delete " + relative + ": " + errno_text(unlink_error));
  }
  const auto count = regenerate_index(scope, places);
  if (const auto* error = std::get_if<std::string>(&count)) return ToolResult::failure(*error);
  return text_result("Forgot " + relative + " (" + count_text(std::get<std::size_t>(count)) +
                     " left in " + kFolder + "/index.md).");
}

// A memory file as found before a change: its text, or the message that refuses the change.
// Of a file larger than the read limit only the beginning is read (nothing more is, before the
// user decides), enough for its front matter; `too_big` then holds its size.
struct Existing {
  bool exists = false;
  std::string text;
  std::string error;
  std::optional<std::uint64_t> too_big;
};

Existing read_existing(const fs::path& file, const std::string& relative) {
  struct stat st {};
  if (!stat_no_follow(file, st)) {
    if (errno == ENOENT) return {};
    return {true, {}, "Could not read " + relative + ": " + errno_text(errno), {}};
  }
  if (S_ISDIR(st.st_mode)) return {true, {}, relative + " is a folder.", {}};
  // A pipe or device would block the read or never end.
  if (!S_ISREG(st.st_mode)) return {true, {}, relative + " is not a regular file.", {}};
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::optional<std::uint64_t> too_big;
  if (size > kReadWholeLimit) too_big = size;
  auto bytes = read_file(file, too_big ? kFrontMatterProbe : kReadWholeLimit);
  if (!bytes.ok()) return {true, {}, "Could not read " + relative + ": " + bytes.error(), {}};
  return {true, utf8_lossy(bytes.value()), {}, too_big};
}

// The change shown for a memory file too large to read before the user decides.
std::string unshown(std::uint64_t size) {
  return "the file is " + std::to_string(size) + " bytes; its changes are not shown";
}

}  // namespace

std::int64_t system_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string utc_time(std::int64_t unix_seconds) {
  using namespace std::chrono;
  const sys_seconds time{seconds{unix_seconds}};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

SlugCheck check_slug(const std::string& given) {
  std::string slug = trim(given);
  if (slug.size() >= 3 && slug.compare(slug.size() - 3, 3, ".md") == 0) {
    slug.resize(slug.size() - 3);
  }
  if (slug.empty()) return {slug, "slug is empty."};
  if (slug.find_first_of("/\\") != std::string::npos || slug.find("..") != std::string::npos ||
      slug.front() == '.') {
    return {slug,
            "The slug " + slug +
                " may not contain path separators or ..; pass a plain name like build-steps."};
  }
  std::size_t i = 0;
  while (i < slug.size()) {
    const char32_t cp = next_code_point(slug, i);
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) ||
        (cp < 0x80 && std::strchr("<>:\"|?*", int(cp)))) {
      return {slug,
              "The slug " + slug + " contains characters that are not allowed in a file name."};
    }
  }
  return {slug, {}};
}

std::string derive_slug(const std::string& title, std::int64_t now) {
  std::u32string kept;
  bool gap = false;
  std::size_t i = 0;
  while (i < title.size()) {
    const char32_t cp = next_code_point(title, i);
    const bool word = QChar::isLetterOrNumber(cp) || (is_mark(cp) && !kept.empty() && !gap);
    if (!word) {
      gap = true;
      continue;
    }
    if (gap && !kept.empty()) kept += U'-';
    gap = false;
    kept += QChar::toLower(cp);
  }
  // Dashes only ever stand between kept characters; the cut may leave one at the end.
  if (kept.size() > kSlugChars) kept.resize(kSlugChars);
  while (!kept.empty() && kept.back() == U'-') kept.pop_back();
  if (kept.empty()) return "memory-" + std::to_string(now);
  std::string slug;
  for (const char32_t cp : kept) append_code_point(cp, slug);
  return slug;
}

std::string render_memory(const Memory& memory) {
  return "---\ntitle: " + memory.title + "\ndescription: " + memory.description +
         "\ncreated: " + memory.created + "\nupdated: " + memory.updated + "\n---\n\n" +
         memory.content + "\n";
}

Memory parse_memory(std::string_view raw, const std::string& slug) {
  if (raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
  const std::string text = crlf_to_lf(raw);

  std::vector<std::string_view> lines;
  const std::string_view view(text);
  std::size_t start = 0;
  while (start <= view.size()) {
    const std::size_t end = view.find('\n', start);
    lines.push_back(
        view.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  const auto is_fence = [](std::string_view line) { return trim_end(std::string(line)) == "---"; };

  Memory memory;
  std::string_view body = view;
  if (!lines.empty() && is_fence(lines[0])) {
    // Without a closing fence there is no front matter: the whole file is content.
    std::size_t close = 1;
    while (close < lines.size() && !is_fence(lines[close])) ++close;
    if (close < lines.size()) {
      for (std::size_t n = 1; n < close; ++n) {
        const std::string_view line = lines[n];
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;  // not a key: ignored
        std::string key = trim(line.substr(0, colon));
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = trim(line.substr(colon + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
          value = value.substr(1, value.size() - 2);
        }
        if (key == "title") memory.title = value;
        if (key == "description") memory.description = value;
        if (key == "created") memory.created = value;
        if (key == "updated") memory.updated = value;
      }
      const std::size_t after =
          static_cast<std::size_t>(lines[close].data() - view.data()) + lines[close].size() + 1;
      body = after < view.size() ? view.substr(after) : std::string_view();
    }
  }
  const auto first = body.find_first_not_of("\n \t");
  memory.content = trim_end(std::string(first == std::string_view::npos ? "" : body.substr(first)));
  if (blank(memory.title)) memory.title = slug;
  return memory;
}

std::string render_index(std::vector<IndexEntry> entries) {
  std::sort(entries.begin(), entries.end(), [](const IndexEntry& a, const IndexEntry& b) {
    if (a.memory.updated != b.memory.updated) return a.memory.updated > b.memory.updated;
    return a.slug < b.slug;
  });
  std::string out =
      "# Kavor Agent memory\n\nWhat Kavor Agent remembers about this project. Each memory is one "
      "file under memory/.\n\n";
  if (entries.empty()) out += "No memories yet.\n";
  for (const IndexEntry& entry : entries) {
    const Memory& m = entry.memory;
    out += "- [";
    for (const char c : m.title) {
      if (c == '[' || c == ']') out += '\\';
      out += c;
    }
    out += "](memory/";
    for (const char c : entry.slug) {
      switch (c) {
        case ' ':
          out += "%20";
          break;
        case '%':
          out += "%25";
          break;
        case '(':
          out += "%28";
          break;
        case ')':
          out += "%29";
          break;
        default:
          out += c;
      }
    }
    out += ".md)";
    if (!blank(m.description)) out += " - " + m.description;
    if (!blank(m.updated)) {
      const std::string& u = m.updated;
      const std::string when =
          u.size() >= 16 && u[10] == 'T' ? u.substr(0, 10) + " " + u.substr(11, 5) + " UTC" : u;
      out += " (updated " + when + ")";
    }
    out += "\n";
  }
  return out;
}

std::string cut_text(std::string_view bytes, std::size_t limit) {
  std::string text = utf8_lossy(bytes);
  if (text.size() <= limit) return text;
  const std::size_t reserve = kCutMarker.size() + 1;
  std::size_t at = limit > reserve ? limit - reserve : 0;
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  text.resize(at);
  if (text.empty() || text.back() != '\n') text += '\n';
  text += kCutMarker;
  return text;
}

std::optional<std::string> read_with_cut(const fs::path& file, std::size_t limit) {
  struct stat st {};
  if (!stat_no_follow(file, st) || !S_ISREG(st.st_mode)) return std::nullopt;
  // A few bytes beyond the limit tell a longer file from one that just fits.
  auto bytes = read_file(file, limit + 4);
  if (!bytes.ok()) return std::nullopt;
  return cut_text(bytes.value(), limit);
}

Decoder save_memory_tool(Clock clock) {
  return [clock](const Json& args, const Scope& scope) -> DecodeResult {
    const std::string title = trim(one_line(string_arg(args, "title")));
    const std::string description = trim(one_line(string_arg(args, "description")));
    const std::string content = string_arg(args, "content");
    if (title.empty()) return std::string("title is empty.");
    if (blank(content)) return std::string("content is empty.");

    const std::int64_t now = clock();
    std::string slug;
    const std::string given = string_arg(args, "slug");
    if (!blank(given)) {
      SlugCheck checked = check_slug(given);
      if (!checked.error.empty()) return checked.error;
      slug = std::move(checked.slug);
    } else {
      slug = derive_slug(title, now);
    }

    const std::string relative = memory_relative(slug);
    const auto located = locate(scope, slug, MemoryChange::Save);
    if (const auto* refusal = std::get_if<std::string>(&located)) return *refusal;
    const Existing existing = read_existing(std::get<Places>(located).file, relative);
    if (!existing.error.empty()) return existing.error;

    const std::string stamp = utc_time(now);
    Memory memory;
    memory.title = title;
    memory.description = description;
    const std::string kept_created =
        existing.exists ? parse_memory(existing.text, slug).created : std::string();
    memory.created = blank(kept_created) ? stamp : kept_created;
    memory.updated = stamp;
    memory.content = trim_end(crlf_to_lf(content));
    std::string document = render_memory(memory);

    Decoded decoded;
    decoded.kind = ToolKind::Write;
    decoded.memory = true;
    decoded.summary = relative;
    decoded.detail =
        existing.too_big ? unshown(*existing.too_big) : display_diff(existing.text, document);
    decoded.lang = "diff";
    decoded.run = [scope, slug, document = std::move(document)](const StopFlag& stop) {
      return save_memory(scope, slug, document, stop);
    };
    return decoded;
  };
}

Decoder forget_memory_tool() {
  return [](const Json& args, const Scope& scope) -> DecodeResult {
    SlugCheck checked = check_slug(string_arg(args, "slug"));
    if (!checked.error.empty()) return checked.error;
    const std::string slug = std::move(checked.slug);
    const std::string relative = memory_relative(slug);
    const auto located = locate(scope, slug, MemoryChange::Forget);
    if (const auto* refusal = std::get_if<std::string>(&located)) return *refusal;
    const Existing existing = read_existing(std::get<Places>(located).file, relative);
    if (!existing.error.empty()) return existing.error;
    if (!existing.exists) return relative + " does not exist.";

    Decoded decoded;
    decoded.kind = ToolKind::Write;
    decoded.memory = true;
    decoded.summary = "forget " + slug;
    decoded.detail = existing.too_big ? unshown(*existing.too_big) : existing.text;
    decoded.lang = "markdown";
    decoded.run = [scope, slug](const StopFlag& stop) { return forget_memory(scope, slug, stop); };
    return decoded;
  };
}

ProjectContext project_context(const std::string& workspace) {
  if (blank(workspace)) return {nullptr, "No workspace folder is selected."};
  const auto resolved = resolve_workspace(workspace);
  if (!resolved.ok()) return {nullptr, resolved.error()};
  const fs::path& root = resolved.value();
  const Scope scope{root, {}};
  // The page shows these texts and hands them to the assistant: a file that leads out of the
  // workspace (a link to a key file, to /proc/self/environ) counts as absent.
  const auto read_inside = [&scope](const char* relative,
                                    std::size_t limit) -> std::optional<std::string> {
    try {
      const fs::path file = resolve_path(relative, scope.root);
      if (!scope.contains(file)) return std::nullopt;
      return read_with_cut(file, limit);
    } catch (const PathError&) {
      return std::nullopt;
    }
  };

  std::string instructions_file;
  std::string instructions;
  for (const char* name : {"AGENTS.md", "AGENT.md"}) {
    if (auto text = read_inside(name, kInstructionsLimit)) {
      instructions_file = name;
      instructions = std::move(*text);
      break;
    }
  }
  const auto index = read_inside(kIndexFile, kIndexLimit);
  std::size_t memories = 0;
  try {
    const fs::path folder = resolve_path(kMemoryFolder, root);
    if (scope.contains(folder)) {
      const auto listed = list_memories(folder, scope);
      if (const auto* files = std::get_if<std::vector<MemoryFile>>(&listed)) {
        memories = files->size();
      }
    }
  } catch (const PathError&) {
  }

  Json context = Json::object();
  context["instructions_file"] = instructions_file;
  context["instructions"] = instructions;
  context["memory_index"] = index ? Json(*index) : Json(nullptr);
  context["memories"] = memories;
  return {std::move(context), {}};
}

}  // namespace kavor::tools
