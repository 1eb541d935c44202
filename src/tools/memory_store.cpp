#include "tools/memory_store.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/utf8.h"
#include "platform/text.h"
#include "tools/file_text.h"
#include "tools/memory_format.h"
#include "tools/path_locks.h"
#include "tools/paths.h"
#include "walk/no_follow.h"
#include "walk/replace_file.h"
#include "walk/small_file.h"

namespace kavor::tools {

namespace {

// Bytes read of a memory file too large to show, to keep its creation time.
constexpr std::uint64_t kFrontMatterProbe = 64 * 1024;

// The whole of a file (at most `max` bytes), or the system's reason it cannot be read.
Result<std::string> read_memory_bytes(const fs::path& path, std::uint64_t max = kReadWholeLimit) {
  Result<std::string> out = read_bytes(path, max);
  if (out.ok() && out->size() > max) out->resize(max);
  return out;
}

// Replaces `target` (walk/replace_file.h): a link at the target is replaced, not written
// through, and a link on the folder's path is refused. Memories are notes the user can write
// again, so the write does not wait for the disk.
Result<void> replace_memory_text(const fs::path& target, const std::string& bytes) {
  walk::ReplaceOptions options;
  options.flush = false;
  if (const int error = walk::replace_file(target.native(), bytes, options)) {
    return fail(errno_text(error));
  }
  return {};
}

std::string outside_message(const std::string& shown) {
  return shown + " points outside the workspace, so Kavor Agent will not touch it.";
}

// Whether the overview's place holds nothing the user would lose: no file, an empty one, or
// an overview written here before. Anything else is a file of the project that a linked memory
// home happens to lead to.
bool overview_replaceable(const fs::path& index) {
  struct stat st {};
  if (!stat_no_follow(index, st) || !S_ISREG(st.st_mode) || st.st_size == 0) return true;
  const Result<std::string> head = read_bytes(index, kIndexHeading.size());
  return head.ok() && head->rfind(kIndexHeading, 0) == 0;
}

std::string count_text(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " memory" : " memories");
}

// Every memory change rewrites the overview from the folder's listing: two at once would each
// list the folder before the other's file was there, and the later overview would miss a memory.
// So a change takes the overview's turn, then its file's, which edit_file and write_file of the
// memory file take too (the file tools hold one path at a time, so nothing waits in a circle).
class MemoryTurn {
 public:
  explicit MemoryTurn(const MemoryPlaces& places) : index_(places.index) {
    // A memory file that leads to the overview itself is already held.
    if (places.file != places.index) file_.emplace(places.file);
  }

 private:
  PathLock index_;
  std::optional<PathLock> file_;
};

// Rewrites the overview from the memory folder as it is now; the number of memories listed.
Result<std::size_t> regenerate_index(const Scope& scope, const MemoryPlaces& places) {
  auto listed = list_memories(places.folder, scope);
  if (!listed.ok()) {
    return fail("Could not list " + std::string(kMemoryFolder) + ": " + listed.message());
  }
  const std::vector<MemoryFile>& files = listed.value();
  std::vector<IndexEntry> entries;
  for (const MemoryFile& file : files) {
    // One unreadable file should not keep the others out of the overview; it is listed by name.
    auto bytes = read_memory_bytes(file.text);
    const std::string text = bytes.ok() ? common::utf8_lossy(bytes.value()) : std::string();
    entries.push_back({file.slug, parse_memory(text, file.slug)});
  }
  const Result<void> written = replace_memory_text(places.index, render_index(std::move(entries)));
  if (!written.ok()) {
    return fail("Could not write " + std::string(kMemoryIndexFile) + ": " + written.message());
  }
  return files.size();
}

}  // namespace

std::string memory_relative(const std::string& slug) {
  return std::string(kMemoryFolder) + "/" + slug + ".md";
}

// A link named `.kavor-agent`, `.kavor-agent/memory` or `.kavor-agent/index.md` (or the memory
// file itself) could carry a write out of the workspace; all of them are followed before the
// check. Called again right before a change, since a link may have been swapped meanwhile.
//
// Memory changes run without asking in most modes, and replace their files whole. The memory
// home may be a link (one memory shared by several work trees), but the memory folder, the
// memory file being saved and the overview must sit in it under their own names: a link there,
// planted with the project, would have a memory save silently replace, or a forget delete, any
// file of the project, a source file or the repository's config. An index.md that a linked home
// leads to is replaced only when it is an overview already. For the same reason nothing of
// memory lands inside .git, nor in an extra folder that a workspace link carries out of the
// workspace (anything that writes in the workspace could have planted that link). Forgetting a
// memory that is a link removes only the link, so that is how a planted one goes away.
Result<MemoryPlaces> locate_memory(const Scope& scope, const std::string& slug,
                                   MemoryChange change) {
  const std::string relative = memory_relative(slug);
  MemoryPlaces places{resolve_path(kMemoryFolder, scope.root), resolve_path(relative, scope.root),
                      resolve_path(kMemoryIndexFile, scope.root)};
  if (!scope.contains(places.file)) return fail(outside_message(relative));
  if (!scope.contains(places.folder)) return fail(outside_message(kMemoryFolder));
  if (!scope.contains(places.index)) return fail(outside_message(kMemoryIndexFile));
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
    return fail(std::string(kMemoryFolder) + " leads into .git, so Kavor Agent will not touch it.");
  }
  const auto linked_out = [&scope](const fs::path& path) {
    return std::any_of(scope.linked_out.begin(), scope.linked_out.end(),
                       [&path](const fs::path& out) { return path_within(path, out); });
  };
  if (linked_out(places.folder) || linked_out(places.index) || linked_out(places.file)) {
    return fail(std::string(kMemoryHome) +
                " leads out of the workspace through a link, so Kavor Agent will not touch it.");
  }
  const auto elsewhere = [](const std::string& shown, const char* what) {
    return fail(shown + " is a link to another " + what +
                ", so Kavor Agent will not write through it.");
  };
  const fs::path home = resolve_path(kMemoryHome, scope.root);
  if (places.folder != home / "memory") return elsewhere(kMemoryFolder, "folder");
  if (places.index != home / "index.md") return elsewhere(kMemoryIndexFile, "file");
  if (change == MemoryChange::Save && places.file != places.folder / (slug + ".md")) {
    return elsewhere(relative, "file");
  }
  if (!overview_replaceable(places.index)) {
    return fail(std::string(kMemoryIndexFile) +
                " is not a memory overview, so Kavor Agent will not replace it.");
  }
  return places;
}

// The memory files of `folder`: regular files whose extension is exactly "md". A link counts
// when it leads to a regular file inside the scope, so the overview never quotes a file from
// elsewhere. A missing folder holds none.
Result<std::vector<MemoryFile>> list_memories(const fs::path& folder, const Scope& scope) {
  std::vector<MemoryFile> files;
  const int fd = walk::open_no_follow(AT_FDCWD, folder.native(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return files;
    return fail(errno_text(errno));
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    return fail(errno_text(error));
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

ToolResult save_memory(const Scope& scope, const std::string& slug, const std::string& document,
                       const common::StopFlag& stop) {
  const std::string relative = memory_relative(slug);
  const Result<MemoryPlaces> located = locate_memory(scope, slug, MemoryChange::Save);
  if (!located.ok()) return located.error();
  const MemoryPlaces& places = located.value();
  const MemoryTurn turn(places);
  // Stopped while it waited for its turn, it changes nothing.
  if (common::stopped(stop)) return stopped_before_start();
  struct stat st {};
  if (stat_no_follow(places.file, st) && S_ISDIR(st.st_mode)) {
    return fail(relative + " is a folder.");
  }
  if (const Result<void> written = replace_memory_text(places.file, document); !written.ok()) {
    return fail("Could not write " + relative + ": " + written.message());
  }
  const Result<std::size_t> count = regenerate_index(scope, places);
  if (!count.ok()) return count.error();
  return text_result("Saved " + relative + " (" + count_text(count.value()) + " in " + kMemoryHome +
                     "/index.md).");
}

ToolResult forget_memory(const Scope& scope, const std::string& slug,
                         const common::StopFlag& stop) {
  const std::string relative = memory_relative(slug);
  const Result<MemoryPlaces> located = locate_memory(scope, slug, MemoryChange::Forget);
  if (!located.ok()) return located.error();
  const MemoryPlaces& places = located.value();
  const MemoryTurn turn(places);
  if (common::stopped(stop)) return stopped_before_start();
  // The entry in the memory folder goes, not what it may link to: forgetting a memory never
  // deletes another file of the project.
  const std::string entry = slug + ".md";
  const int folder = walk::open_no_follow(AT_FDCWD, places.folder.native(), O_PATH | O_DIRECTORY);
  struct stat st {};
  if (folder < 0 || ::fstatat(folder, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    if (folder >= 0) ::close(folder);
    if (error == ENOENT || error == ENOTDIR) {
      return fail(relative + " does not exist.");
    }
    return fail("Could not delete " + relative + ": " + errno_text(error));
  }
  const int removed = S_ISDIR(st.st_mode) ? -1 : ::unlinkat(folder, entry.c_str(), 0);
  const int unlink_error = errno;
  ::close(folder);
  if (S_ISDIR(st.st_mode)) return fail(relative + " is a folder.");
  if (removed != 0) {
    return fail("Could not delete " + relative + ": " + errno_text(unlink_error));
  }
  const Result<std::size_t> count = regenerate_index(scope, places);
  if (!count.ok()) return count.error();
  return text_result("Forgot " + relative + " (" + count_text(count.value()) + " left in " +
                     kMemoryHome + "/index.md).");
}

Result<ExistingMemory> read_existing_memory(const fs::path& file, const std::string& relative) {
  struct stat st {};
  if (!stat_no_follow(file, st)) {
    if (errno == ENOENT) return ExistingMemory{};
    return fail("Could not read " + relative + ": " + errno_text(errno));
  }
  if (S_ISDIR(st.st_mode)) return fail(relative + " is a folder.");
  // A pipe or device would block the read or never end.
  if (!S_ISREG(st.st_mode)) return fail(relative + " is not a regular file.");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::optional<std::uint64_t> too_big;
  if (size > kReadWholeLimit) too_big = size;
  auto bytes = read_memory_bytes(file, too_big ? kFrontMatterProbe : kReadWholeLimit);
  if (!bytes.ok()) return fail("Could not read " + relative + ": " + bytes.message());
  return ExistingMemory{true, common::utf8_lossy(bytes.value()), too_big};
}

std::optional<std::string> read_with_cut(const fs::path& file, std::size_t limit) {
  // A few bytes beyond the limit tell cut_text a longer file from one that just fits.
  const walk::FileBytes read =
      walk::read_small_file(AT_FDCWD, file.native(), {limit + 4, walk::AtBound::Cut});
  if (!read.ok()) return std::nullopt;
  return cut_text(read.bytes, limit);
}

}  // namespace kavor::tools
