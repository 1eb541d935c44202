// The walk keeps one open folder per level and reads each folder completely before visiting
// its entries: the names are collected with their types from the listing (the file system is
// asked for a type only when the listing does not say), sorted, and the folder's ignore files
// are parsed and pushed onto the ignore stack. Each entry is then tested in this order: fixed
// skip names, the ignore stack (deepest file first, see ignore.cpp), the caller's folder
// filter. Metadata, when the caller wants it, is read after the ignore rules for the items
// they keep, in inode order. A folder that survives is reported and entered; leaving it pops
// the rules it pushed. Paths are kept in two growing buffers (absolute, and relative to the
// folder the ignore stack is based on) that are extended and cut back per entry, so walking
// allocates per folder, not per entry.
#include "walk/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>

#include "walk/ignore.h"
#include "walk/no_follow.h"
#include "walk/path_form.h"
#include "walk/small_file.h"

namespace kavor::walk {
namespace {

// Folders nested deeper than this are opened by their path from the deepest folder held open
// instead of relative to their open parent, which bounds the descriptors one walk holds.
constexpr std::size_t kHeldFolderLimit = 64;
// An ignore file larger than this is not read.
constexpr std::size_t kMaxIgnoreFileBytes = std::size_t{16} << 20;
// Rules in force at once, over all the ignore files that apply to a folder. Every entry is
// tested against each of them and each costs about a hundred bytes, so a planted file of
// millions of one-letter lines (or one in each of many nested folders) would otherwise take
// gigabytes and a second per entry, in the mention index as soon as a workspace is opened. Real
// ignore files hold dozens to a few thousand rules. A file that would pass the budget is passed
// over whole, as one too large to read: keeping only its first rules would drop the "!" rules
// that may follow them.
constexpr std::size_t kMaxIgnoreRules = 50'000;

constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

enum class Kind : std::uint8_t { File, Folder, Link };

struct Item {
  std::uint32_t name_offset;
  std::uint32_t name_size;
  Kind kind;
  bool have_stat;  // mtime_sec and size are filled
  bool skip;       // left out by a skip name or an ignore rule, or gone since the listing
  std::int64_t mtime_sec;
  std::uint64_t size;
  std::uint64_t ino;  // from the listing: the order in which the disk holds the inodes
};

// The listing of one folder; levels are reused from folder to folder.
struct Level {
  std::string names;  // NUL-terminated names, back to back
  std::vector<Item> items;

  std::string_view name(const Item& item) const {
    return std::string_view(names.data() + item.name_offset, item.name_size);
  }
};

std::optional<Kind> kind_of_mode(mode_t mode) {
  if (S_ISREG(mode)) return Kind::File;
  if (S_ISDIR(mode)) return Kind::Folder;
  if (S_ISLNK(mode)) return Kind::Link;
  return std::nullopt;
}

// An ignore file or a repository file, read whole; nothing when it is missing, a link, not a
// regular file, too large or unreadable. Git passes over an ignore file behind a link, and a
// link in the walked tree could lead anywhere.
std::optional<std::string> read_rules_file(int dir_fd, const std::string& path,
                                           Links links = Links::Refuse) {
  FileBytes read = read_small_file(dir_fd, path, {kMaxIgnoreFileBytes, AtBound::Refuse, links});
  if (!read.ok()) return std::nullopt;
  return std::move(read.bytes);
}

std::optional<std::string> read_rules_file(const std::string& path, Links links = Links::Refuse) {
  return read_rules_file(AT_FDCWD, path, links);
}

std::string join(const std::string& folder, std::string_view name) {
  std::string out = folder;
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string trim_line(std::string text) {
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
    text.pop_back();
  return text;
}

// The nearest folder at or above `folder` that holds ".git" (a folder, or a file pointing at
// the repository data of a linked work tree or submodule).
std::optional<std::string> find_work_tree(std::string folder) {
  for (;;) {
    struct stat st {};
    if (stat(join(folder, ".git").c_str(), &st) == 0 &&
        (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)))
      return folder;
    if (folder == "/") return std::nullopt;
    folder = parent_of(folder);
  }
}

// The info/exclude file of the work tree rooted at `root`.
std::string exclude_file_of(const std::string& root) {
  const std::string dot_git = join(root, ".git");
  struct stat st {};
  if (stat(dot_git.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dot_git + "/info/exclude";
  // A ".git" file reads "gitdir: <path>"; linked work trees share the exclude file of the main
  // repository, named by the "commondir" file of their own repository folder.
  const auto pointer = read_rules_file(dot_git);
  if (!pointer || pointer->compare(0, 8, "gitdir: ") != 0) return {};
  std::string git_dir = trim_line(pointer->substr(8, pointer->find('\n') - 8));
  if (git_dir.empty()) return {};
  if (git_dir.front() != '/') git_dir = join(root, git_dir);
  // The repository folder's own path may pass through links (a linked home folder); its
  // "commondir" file may not be one.
  const auto real_git_dir = canonical(git_dir);
  if (const auto common =
          real_git_dir ? read_rules_file(join(*real_git_dir, "commondir")) : std::nullopt) {
    std::string dir = trim_line(*common);
    if (!dir.empty()) {
      if (dir.front() != '/') dir = join(git_dir, dir);
      return dir + "/info/exclude";
    }
  }
  return git_dir + "/info/exclude";
}

class Walker {
 public:
  Walker(const WalkOptions& options, const std::function<WalkNext(const WalkEntry&)>& on_entry)
      : opt_(options), on_entry_(on_entry) {}

  WalkResult run(std::string_view start) {
    abs_.assign(start);
    while (abs_.size() > 1 && abs_.back() == '/') abs_.pop_back();
    const char* start_path = abs_.empty() ? "." : abs_.c_str();
    const int fd = opt_.start_without_links ? open_no_follow(AT_FDCWD, start_path, kFolderOpenFlags)
                                            : open(start_path, kFolderOpenFlags);
    if (fd < 0) {
      result_.start_failed = true;
      return result_;
    }
    // Appended rather than assigned: GCC 12 at -O3 warns, wrongly, that assigning a literal here
    // overlaps (-Wrestrict), which breaks optimised builds with warnings as errors.
    if (abs_.empty()) abs_.push_back('.');
    if (abs_ == "/") abs_.clear();  // entries become "/name"
    prepare_outer_rules();
    walk_folder(fd, 0);
    return result_;
  }

 private:
  // Sets up the rules that come from outside the walked tree and the relative-path prefix of
  // the start folder with respect to the folder those rules are based on.
  void prepare_outer_rules() {
    const bool wants_root = !opt_.ignore_root.empty();
    if (!opt_.repository_rules && !wants_root) return;
    const auto start = canonical(abs_.empty() ? "/" : abs_);
    if (!start) return;

    std::optional<std::string> work_tree;
    if (opt_.repository_rules) work_tree = find_work_tree(*start);
    std::optional<std::string> root;
    if (wants_root) {
      root = canonical(opt_.ignore_root);
      if (root && !inside_or_same(*root, *start)) root.reset();
    }
    std::string base = *start;
    if (work_tree) base = *work_tree;
    if (root && inside_or_same(*root, base)) base = *root;

    if (work_tree) {
      const std::string exclude = exclude_file_of(*work_tree);
      if (!exclude.empty()) {
        // Read through a link, as git reads it: it lies in the repository's data, not in the
        // tree, and keeping it elsewhere behind a link is an ordinary setup.
        if (const auto content = read_rules_file(exclude, Links::Follow))
          push_rules(relative_to(base, *work_tree), *content);
      }
    }
    // The ignore files of every folder from the base down to the start's parent.
    std::vector<std::string> chain;
    for (std::string f = *start; f != base && f != "/";) {
      f = parent_of(f);
      chain.push_back(f);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      for (const auto& name : opt_.ignore_file_names) {
        if (const auto content = read_rules_file(join(*it, name)))
          push_rules(relative_to(base, *it), *content);
      }
    }
    rel_ = relative_to(base, *start);
    start_offset_ = rel_.empty() ? 0 : rel_.size() + 1;
  }

  void push_rules(std::string folder, std::string_view content) {
    auto parsed = IgnoreRules::parse_at_most(content, kMaxIgnoreRules - stack_.rule_count());
    if (!parsed || parsed->empty()) return;
    stack_.push(std::move(folder), std::make_shared<IgnoreRules>(std::move(*parsed)));
  }

  bool skipped_name(std::string_view name) const {
    for (const auto& s : opt_.skip_names)
      if (s == name) return true;
    return false;
  }

  // Lists the folder open at `fd` into `level`; the descriptor stays open.
  void list(int fd, DIR* dir, Level& level) {
    level.names.clear();
    level.items.clear();
    while (const dirent* de = readdir(dir)) {
      const char* name = de->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      Item item{};
      std::optional<Kind> kind;
      switch (de->d_type) {
        case DT_REG:
          kind = Kind::File;
          break;
        case DT_DIR:
          kind = Kind::Folder;
          break;
        case DT_LNK:
          kind = Kind::Link;
          break;
        case DT_UNKNOWN:
          break;
        default:
          continue;  // pipes, sockets, devices
      }
      if (!kind) {
        struct stat st {};
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        kind = kind_of_mode(st.st_mode);
        if (!kind) continue;
        item.mtime_sec = static_cast<std::int64_t>(st.st_mtime);
        item.size = static_cast<std::uint64_t>(st.st_size);
        item.have_stat = true;
      }
      item.ino = static_cast<std::uint64_t>(de->d_ino);
      const std::size_t size = std::strlen(name);
      item.kind = *kind;
      item.name_offset = static_cast<std::uint32_t>(level.names.size());
      item.name_size = static_cast<std::uint32_t>(size);
      level.names.append(name, size + 1);
      level.items.push_back(item);
    }
    std::sort(level.items.begin(), level.items.end(),
              [&level](const Item& a, const Item& b) { return level.name(a) < level.name(b); });
  }

  void read_folder_rules(int fd, const Level& level) {
    for (const auto& wanted : opt_.ignore_file_names) {
      const auto it = std::lower_bound(
          level.items.begin(), level.items.end(), wanted,
          [&level](const Item& item, const std::string& n) { return level.name(item) < n; });
      if (it == level.items.end() || level.name(*it) != wanted || it->kind != Kind::File) continue;
      if (const auto content = read_rules_file(fd, wanted)) push_rules(rel_, *content);
    }
  }

  // Marks the items of the listing that skip names and ignore rules leave out. When metadata
  // is wanted, it is read only for the items kept, in the order of their inode numbers: the
  // inodes of one folder then come from the disk in few, mostly sequential reads, and an
  // ignored item costs no read at all.
  void decide(int fd, Level& level) {
    const std::size_t rel_size = rel_.size();
    std::vector<Item*> wanted;
    for (Item& item : level.items) {
      const std::string_view name = level.name(item);
      if (skipped_name(name)) {
        item.skip = true;
        continue;
      }
      if (!rel_.empty()) rel_.push_back('/');
      rel_.append(name);
      const bool is_dir = item.kind == Kind::Folder;
      item.skip = !stack_.empty() && stack_.check(rel_, name, is_dir) == IgnoreVerdict::Ignored;
      if (!item.skip && opt_.stat_entries && !item.have_stat) wanted.push_back(&item);
      rel_.resize(rel_size);
    }
    std::sort(wanted.begin(), wanted.end(),
              [](const Item* a, const Item* b) { return a->ino < b->ino; });
    for (Item* item : wanted) {
      struct stat st {};
      const auto kind =
          fstatat(fd, level.names.c_str() + item->name_offset, &st, AT_SYMLINK_NOFOLLOW) == 0
              ? kind_of_mode(st.st_mode)
              : std::nullopt;
      // Gone since the listing, or now a pipe or a device: passed over.
      if (!kind) {
        item->skip = true;
        continue;
      }
      item->kind = *kind;
      item->mtime_sec = static_cast<std::int64_t>(st.st_mtime);
      item->size = static_cast<std::uint64_t>(st.st_size);
      item->have_stat = true;
    }
  }

  // Walks the folder open at `fd` (which this call closes), whose paths are in abs_ and rel_.
  // Returns false when the whole walk must end.
  bool walk_folder(int fd, std::size_t depth) {
    DIR* dir = fdopendir(fd);
    if (!dir) {
      close(fd);
      return true;
    }
    if (levels_.size() <= depth) levels_.emplace_back();
    Level& level = levels_[depth];
    list(fd, dir, level);

    const std::size_t stack_mark = stack_.size();
    read_folder_rules(fd, level);
    decide(fd, level);
    const bool hold = depth < kHeldFolderLimit;
    if (depth + 1 == kHeldFolderLimit) {
      anchor_fd_ = fd;
      anchor_size_ = abs_.size();
    }
    if (!hold) {
      closedir(dir);
      dir = nullptr;
    }

    const std::size_t abs_size = abs_.size();
    const std::size_t rel_size = rel_.size();
    bool go_on = true;
    for (const Item& item : level.items) {
      if (opt_.cancelled && opt_.cancelled()) {
        result_.cancelled = true;
        go_on = false;
        break;
      }
      if (item.skip) continue;
      const std::string_view name = level.name(item);
      abs_.push_back('/');
      abs_.append(name);
      if (!rel_.empty()) rel_.push_back('/');
      rel_.append(name);
      const std::string_view rel = std::string_view(rel_).substr(start_offset_);
      const bool is_dir = item.kind == Kind::Folder;
      // Asked here, in walk order, just before the folder would be entered.
      if (!is_dir || !opt_.skip_folder || !opt_.skip_folder(name, rel, abs_)) {
        if (!is_dir || opt_.report_folders) {
          go_on = report(item, name, rel, depth + 1, hold ? fd : -1);
        }
        if (go_on && is_dir && depth + 1 < opt_.max_depth) {
          const int child =
              hold ? openat(fd, name.data(), kFolderOpenFlags | O_NOFOLLOW)
                   : open_no_follow(anchor_fd_, std::string_view(abs_).substr(anchor_size_ + 1),
                                    kFolderOpenFlags);
          if (child >= 0) go_on = walk_folder(child, depth + 1);
        }
      }
      abs_.resize(abs_size);
      rel_.resize(rel_size);
      if (!go_on) break;
    }
    stack_.truncate(stack_mark);
    if (dir) closedir(dir);
    return go_on;
  }

  bool report(const Item& item, std::string_view name, std::string_view rel, std::size_t depth,
              int dir_fd) {
    if (result_.reported >= opt_.max_entries) {
      result_.truncated = true;
      return false;
    }
    WalkEntry entry;
    entry.rel = rel;
    entry.abs = abs_;
    entry.name = name;
    entry.dir_fd = dir_fd;
    entry.depth = depth;
    entry.is_dir = item.kind == Kind::Folder;
    entry.is_link = item.kind == Kind::Link;
    entry.mtime_sec = item.mtime_sec;
    entry.size = item.size;
    ++result_.reported;
    if (on_entry_(entry) == WalkNext::Stop) {
      result_.stopped = true;
      return false;
    }
    if (result_.reported >= opt_.max_entries) {
      result_.truncated = true;
      return false;
    }
    return true;
  }

  const WalkOptions& opt_;
  const std::function<WalkNext(const WalkEntry&)>& on_entry_;
  std::string abs_;
  std::string rel_;  // relative to the folder the ignore stack is based on
  std::size_t start_offset_ = 0;
  // The deepest folder held open, and the length of its path in abs_: deeper folders are
  // opened from it.
  int anchor_fd_ = -1;
  std::size_t anchor_size_ = 0;
  IgnoreStack stack_;
  std::deque<Level> levels_;
  WalkResult result_;
};

}  // namespace

WalkResult walk(std::string_view start, const WalkOptions& options,
                const std::function<WalkNext(const WalkEntry&)>& on_entry) {
  Walker walker(options, on_entry);
  return walker.run(start);
}

}  // namespace kavor::walk
