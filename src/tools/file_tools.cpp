// The file tools except grep (file_grep.cpp). Every output passes through the UTF-8 decoder,
// because file contents and names are bytes while the answer is JSON text. The writing tools
// compute their change at decode time from the bytes as stored, so that the user approves the
// exact result; at run time they check that neither the file (edit_file) nor the place the path
// leads to (both) changed in the meantime, then write the whole file in place, which keeps its
// owner and permissions.
#include "tools/file_tools.h"
#include "platform/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <system_error>
#include <vector>

#include "common/diff.h"
#include "tools/args.h"
#include "tools/file_text.h"
#include "tools/path_locks.h"
#include "tools/paths.h"
#include "tools/tree_search.h"
#include "walk/glob.h"
#include "walk/no_follow.h"
#include "walk/walker.h"

namespace kavor::tools {

namespace {

constexpr const char* kGitRefusal = "Writing inside .git is not allowed; use git commands.";

bool has_git_component(const fs::path& path) {
  return std::any_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".git"; });
}

// ---- read_file ----

ToolResult read_lines(const fs::path& path, std::uint64_t offset, std::uint64_t limit) {
  const Result<TextFile> file = read_text_file(path);
  if (!file.ok()) return file.error();
  const std::string_view text = file->text;
  if (text.empty()) return text_result("(empty file)");

  const auto total = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n')) +
                     (text.back() == '\n' ? 0 : 1);
  std::string out;
  std::uint64_t number = 0;
  std::uint64_t last = 0;
  std::size_t pos = 0;
  char field[32];
  while (pos < text.size()) {
    const std::size_t newline = text.find('\n', pos);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    ++number;
    if (number >= offset) {
      if (number - offset >= limit) break;
      std::string_view line = text.substr(pos, end - pos);
      if (newline != std::string_view::npos && !line.empty() && line.back() == '\r')
        line.remove_suffix(1);
      const int width = std::snprintf(field, sizeof field, "%6" PRIu64 "\t", number);
      out.append(field, static_cast<std::size_t>(width));
      out.append(line.substr(0, common::utf8_prefix_bytes(line, kReadLineChars)));
      out.push_back('\n');
      last = number;
    }
    if (newline == std::string_view::npos) break;
    pos = newline + 1;
  }
  if (last == 0) return text_result("[the file has " + std::to_string(total) + " lines]");
  if (last < total) {
    out += "[lines " + std::to_string(offset) + " to " + std::to_string(last) + " of " +
           std::to_string(total) + "; pass offset to read more]\n";
  }
  return text_result(std::move(out));
}

// ---- list_dir ----

struct DirEntry {
  std::string shown;  // the name as output, "/" appended for a folder
  std::string key;    // lowercase name
  bool folder = false;
};

std::string lowercase(const std::string& name) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) {
    const QString text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    return text.toLower().toStdString();
  }
  std::string out = name;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

ToolResult list_folder(const fs::path& path, const std::string& display) {
  const int fd = walk::open_no_follow(AT_FDCWD, path.native(), O_RDONLY | O_DIRECTORY);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return fail(shown_path(path) + " is not a readable folder.");
  }
  std::vector<DirEntry> entries;
  while (const dirent* de = ::readdir(dir)) {
    const char* raw = de->d_name;
    if (raw[0] == '.' && (raw[1] == 0 || (raw[1] == '.' && raw[2] == 0))) continue;
    bool folder = de->d_type == DT_DIR;
    if (de->d_type == DT_UNKNOWN) {
      struct stat st {};
      folder = ::fstatat(::dirfd(dir), raw, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    DirEntry entry;
    entry.shown = common::utf8_lossy(raw);
    entry.key = lowercase(entry.shown);
    entry.folder = folder;
    if (folder) entry.shown.push_back('/');
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  // Folders first, then by lowercase name; the name as stored breaks ties ("A" and "a") so the
  // order never depends on the order the file system lists them in.
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    if (a.folder != b.folder) return a.folder;
    if (a.key != b.key) return a.key < b.key;
    return a.shown < b.shown;
  });

  std::string out = display + " (" + std::to_string(entries.size()) + " entries)\n";
  const std::size_t shown = std::min(entries.size(), kListEntryLimit);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) out.push_back('\n');
    out += entries[i].shown;
  }
  if (entries.size() > kListEntryLimit) {
    out += "\n[" + std::to_string(entries.size() - kListEntryLimit) + " more not shown]";
  }
  return text_result(std::move(out));
}

// ---- glob ----

ToolResult glob_files(const fs::path& target, const fs::path& root, const std::string& pattern,
                      const common::StopFlag& stop) {
  const Result<walk::Glob> glob = compile_user_glob(pattern);
  if (!glob.ok()) return glob.error();
  if (const Result<void> start = check_walk_target(target); !start.ok()) {
    return start.error();
  }

  const TreeDisplay display(target, root);
  std::vector<std::string> kept;
  std::size_t dropped = 0;
  const walk::WalkResult walked =
      walk::walk(target.string(), tree_walk_options(stop), [&](const walk::WalkEntry& entry) {
        if (!glob->matches(entry.rel)) return walk::WalkNext::Continue;
        if (kept.size() < kGlobMatchLimit) {
          kept.push_back(display.of(entry.rel));
        } else {
          ++dropped;
        }
        return walk::WalkNext::Continue;
      });
  if (walked.start_failed) {
    return fail(shown_path(target) + " is not a readable folder.");
  }
  std::sort(kept.begin(), kept.end());
  std::string out;
  for (const std::string& path : kept) {
    if (!out.empty()) out.push_back('\n');
    out += path;
  }
  if (walked.cancelled) return fail(stopped_text(std::move(out)));
  if (kept.empty()) return text_result("No files match.");
  if (dropped > 0) out += "\n[" + std::to_string(dropped) + " more not shown; narrow the pattern]";
  return text_result(std::move(out));
}

// ---- write_file and edit_file ----

// Writes `bytes` as the whole file, creating missing parent folders.
// The path was resolved through its links before approval: every folder on the way is opened
// without following a link, so a folder swapped for one since cannot carry the write elsewhere,
// and a link put in the file's place is not followed either.
Result<void> write_whole(const fs::path& path, std::string_view bytes) {
  const int folder = walk::open_folder_creating(path.parent_path().native());
  if (folder < 0) return fail(errno_text(errno));
  const std::string name = path.filename().native();
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    ::close(folder);
    return fail(shown_path(path) + " is a folder.");
  }
  // Non-blocking so that a pipe there cannot hold the worker.
  const int fd = ::openat(folder, name.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  const int open_error = errno;
  ::close(folder);
  if (fd < 0) return fail(errno_text(open_error));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) {
      const int error = errno;
      ::close(fd);
      return fail(errno_text(error));
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::close(fd) != 0) return fail(errno_text(errno));
  return {};
}

// Whether the path argument still resolves to the approved target; the refusal when not.
Result<void> unmoved_since_approval(const std::string& argument, const fs::path& root,
                                    const fs::path& approved) {
  if (resolve_path(argument, root) == approved) return {};
  return fail(shown_path(approved) + " changed while waiting for approval. Read it again.");
}

std::size_t count_occurrences(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t pos = text.find(needle); pos != std::string_view::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++count;
  }
  return count;
}

// Every line feed written as carriage return plus line feed; one that already has its carriage
// return keeps it, so a text that mixes both forms does not end up with doubled returns.
std::string to_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
  return out;
}

std::string replace_occurrences(std::string_view text, std::string_view from, std::string_view to,
                                bool all) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit = text.find(from); hit != std::string_view::npos;
       hit = text.find(from, pos)) {
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
    if (!all) break;
  }
  out.append(text.substr(pos));
  return out;
}

struct WriteTarget {
  std::string argument;
  fs::path path;
  std::string display;
  bool outside = false;
};

// The path argument of a writing tool, resolved; or the refusal.
Result<WriteTarget> write_target(const common::Json& args, const Scope& scope) {
  WriteTarget target;
  target.argument = string_arg(args, "path");
  if (target.argument.find_first_not_of(" \t\r\n\f\v") == std::string::npos) {
    return fail("path is empty.");
  }
  // Refused as the call is decoded, before anything is shown for approval.
  if (target.argument.find('\0') != std::string::npos) return fail(nul_path_message("path"));
  target.path = resolve_path(target.argument, scope.root);
  if (has_git_component(target.path)) return fail(kGitRefusal);
  target.display = common::utf8_lossy(display_path(target.path, scope.root));
  target.outside = !scope.contains(target.path);
  return target;
}

}  // namespace

Decoder read_file_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    const fs::path path = resolve_path(string_arg(args, "path"), scope.root);
    std::uint64_t offset = int_arg(args, "offset").value_or(1);
    if (offset == 0) offset = 1;
    // More lines than the limit are never sent in one answer, whatever was asked for.
    std::uint64_t limit = int_arg(args, "limit").value_or(kReadLineLimit);
    if (limit == 0 || limit > kReadLineLimit) limit = kReadLineLimit;
    Decoded decoded;
    decoded.kind = ToolKind::Read;
    decoded.summary = common::utf8_lossy(display_path(path, scope.root));
    decoded.outside = !scope.contains(path);
    decoded.run = [path, offset, limit](const common::StopFlag&) {
      return read_lines(path, offset, limit);
    };
    return decoded;
  };
}

Decoder list_dir_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    const fs::path path = resolve_path(string_arg(args, "path"), scope.root);
    Decoded decoded;
    decoded.kind = ToolKind::Read;
    decoded.summary = common::utf8_lossy(display_path(path, scope.root));
    decoded.outside = !scope.contains(path);
    decoded.run = [path, display = decoded.summary](const common::StopFlag&) {
      return list_folder(path, display);
    };
    return decoded;
  };
}

Decoder glob_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    const std::string pattern = string_arg(args, "pattern");
    if (walk::normalize_glob_pattern(pattern).empty()) return fail("pattern is empty.");
    const fs::path path = resolve_path(string_arg(args, "path"), scope.root);
    Decoded decoded;
    decoded.kind = ToolKind::Read;
    decoded.summary = pattern + " in " + common::utf8_lossy(display_path(path, scope.root));
    decoded.outside = !scope.contains(path);
    decoded.run = [path, root = scope.root, pattern](const common::StopFlag& stop) {
      return glob_files(path, root, pattern, stop);
    };
    return decoded;
  };
}

Decoder write_file_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    Result<WriteTarget> resolved = write_target(args, scope);
    if (!resolved.ok()) return resolved.error();
    WriteTarget target = std::move(resolved).value();
    std::string content = string_arg(args, "content");
    Decoded decoded;
    decoded.kind = ToolKind::Write;
    decoded.summary = target.display;
    // A file too large to read before the user decides shows a sentence in place of the change.
    const Result<std::string> old_text = old_text_of(target.path);
    decoded.detail =
        old_text.ok() ? common::display_diff(old_text.value(), content) : old_text.message();
    decoded.sent_detail = common::display_diff("", content);
    decoded.lang = "diff";
    decoded.outside = target.outside;
    decoded.run = [target = std::move(target), root = scope.root,
                   content = std::move(content)](const common::StopFlag& stop) -> ToolResult {
      const PathLock lock(target.path);
      // Another change of the file may have held it up; stopped meanwhile, it changes nothing.
      if (common::stopped(stop)) return stopped_before_start();
      if (const Result<void> same = unmoved_since_approval(target.argument, root, target.path);
          !same.ok()) {
        return same.error();
      }
      struct stat st {};
      const char* word = stat_no_follow(target.path, st) ? "Updated" : "Created";
      if (const Result<void> written = write_whole(target.path, content); !written.ok()) {
        return written.error();
      }
      return text_result(std::string(word) + " " + target.display + " (" +
                         std::to_string(content.size()) + " bytes).");
    };
    return decoded;
  };
}

namespace {

// The edit the user approves: the replaced bytes, the replacement count and the diff; or the
// reason it cannot be made.
struct Edit {
  std::string before;
  std::string after;
  std::size_t replaced = 0;
  std::string diff;
};

Result<Edit> plan_edit(const WriteTarget& target, std::string old_text, std::string new_text,
                       bool replace_all) {
  struct stat st {};
  if (!stat_no_follow(target.path, st) || !S_ISREG(st.st_mode)) {
    return fail(target.display + " does not exist; use write_file to create it.");
  }
  Result<TextFile> file = read_text_file(target.path);
  if (!file.ok()) return file.error();
  if (old_text.empty()) return fail("old_text is empty; use write_file to create a file.");

  // The edit works on the bytes as stored, not on their decoded form: a file that is not
  // valid UTF-8 keeps every byte outside the replaced text.
  std::size_t count = count_occurrences(file->bytes, old_text);
  if (count == 0 && file->bytes.find("\r\n") != std::string::npos &&
      old_text.find('\r') == std::string::npos) {
    old_text = to_crlf(old_text);
    new_text = to_crlf(new_text);
    count = count_occurrences(file->bytes, old_text);
  }
  if (count == 0) {
    return fail(
        "old_text was not found in the file. Read the file again and copy the text exactly.");
  }
  if (count > 1 && !replace_all) {
    return fail("old_text appears " + std::to_string(count) +
                " times. Add more surrounding lines to make it unique, or set replace_all.");
  }
  Edit edit;
  edit.after = replace_occurrences(file->bytes, old_text, new_text, replace_all);
  edit.replaced = replace_all ? count : 1;
  edit.diff = common::valid_utf8(edit.after)
                  ? common::display_diff(file->text, edit.after)
                  : common::display_diff(file->text, common::utf8_lossy(edit.after));
  edit.before = std::move(file->bytes);
  return edit;
}

}  // namespace

Decoder edit_file_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    Result<WriteTarget> resolved = write_target(args, scope);
    if (!resolved.ok()) return resolved.error();
    WriteTarget target = std::move(resolved).value();
    const std::string old_text = string_arg(args, "old_text");
    const std::string new_text = string_arg(args, "new_text");
    Result<Edit> planned = plan_edit(target, old_text, new_text, bool_arg(args, "replace_all"));

    Decoded decoded;
    decoded.kind = ToolKind::Write;
    decoded.summary = target.display;
    decoded.sent_detail = common::display_diff(old_text, new_text);
    decoded.lang = "diff";
    decoded.outside = target.outside;
    if (!planned.ok()) {
      // Inside the workspace the assistant may read the file anyway. Outside it, the answer
      // (missing, not found, found twice) would tell it about a file nobody let it read: it
      // goes to the user first, like the edit itself, and reaches the assistant only if the
      // user lets the call run.
      if (!target.outside) return planned.error();
      decoded.run = [message = planned.message()](const common::StopFlag&) -> ToolResult {
        return fail(message);
      };
      return decoded;
    }
    Edit edit = std::move(planned).value();
    decoded.detail = edit.diff;
    decoded.run = [target = std::move(target), root = scope.root,
                   edit = std::move(edit)](const common::StopFlag& stop) -> ToolResult {
      const PathLock lock(target.path);
      if (common::stopped(stop)) return stopped_before_start();
      if (const Result<void> same = unmoved_since_approval(target.argument, root, target.path);
          !same.ok()) {
        return same.error();
      }
      const Result<TextFile> now = read_text_file(target.path);
      if (!now.ok()) return now.error();
      if (now->bytes != edit.before) {
        return fail("The file changed while waiting for approval. Read it again.");
      }
      if (const Result<void> written = write_whole(target.path, edit.after); !written.ok()) {
        return written.error();
      }
      return text_result("Edited " + target.display + " (" + std::to_string(edit.replaced) +
                         " replacement" + (edit.replaced == 1 ? "" : "s") + ").");
    };
    return decoded;
  };
}

void install_file_tools(ToolTable& table) {
  table.add("read_file", read_file_tool());
  table.add("list_dir", list_dir_tool());
  table.add("glob", glob_tool());
  table.add("grep", grep_tool());
  table.add("write_file", write_file_tool());
  table.add("edit_file", edit_file_tool());
}

}  // namespace kavor::tools
