#include "tools/grep_tool.h"

#include <fcntl.h>
#include <re2/filtered_re2.h>
#include <re2/re2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "tools/args.h"
#include "tools/file_text.h"
#include "tools/file_tools.h"
#include "tools/paths.h"
#include "tools/tree_search.h"
#include "walk/no_follow.h"
#include "walk/walker.h"

namespace kavor::tools {

namespace {

// Memory the automaton may use for one search; with less, large files fall back to a much
// slower matcher when the pattern has many states.
constexpr std::int64_t kRegexMemory = std::int64_t{64} << 20;
// Bytes searched between two looks at the stop flag (see the top of this file).
constexpr std::size_t kSegmentBytes = 16 * 1024;

// Whether the pattern uses a construct that means something else in a whole buffer than in a
// single line: \A, \z, or turning the multi-line flag off with "(?-m)" and the like. Errs on
// the side of yes; the line-by-line search gives the same answer, only slower.
bool needs_line_by_line(std::string_view pattern) {
  for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      if (pattern[i + 1] == 'A' || pattern[i + 1] == 'z') return true;
      ++i;
      continue;
    }
    if (pattern[i] == '(' && pattern[i + 1] == '?') {
      bool clearing = false;
      for (std::size_t k = i + 2; k < pattern.size() && pattern[k] != ')' && pattern[k] != ':';
           ++k) {
        if (pattern[k] == '-') clearing = true;
        if (pattern[k] == 'm' && clearing) return true;
      }
    }
  }
  return false;
}

// How common a byte is in source text, roughly (higher is more common); a letter counts both
// of its cases, since both are searched for.
int commonness(unsigned char c) {
  if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
  switch (c) {
    case ' ':
      return 255;
    case 'e':
    case 't':
      return 240;
    case 'a':
    case 'o':
    case 'i':
    case 'n':
    case 's':
    case 'r':
      return 230;
    case 'l':
    case 'c':
    case 'd':
      return 215;
    case 'u':
    case 'h':
    case 'p':
    case 'm':
      return 205;
    case '_':
    case '.':
    case '(':
    case ')':
    case ',':
    case ';':
      return 200;
    case 'f':
    case 'g':
    case 'y':
    case 'b':
      return 195;
    case '=':
    case '"':
    case '/':
    case '-':
      return 190;
    case 'w':
    case 'v':
    case 'k':
    case 'x':
      return 180;
    case '{':
    case '}':
    case '[':
    case ']':
    case ':':
    case '\'':
    case '*':
    case '<':
    case '>':
      return 170;
    case 'j':
    case 'q':
    case 'z':
      return 150;
    default:
      if (c >= '0' && c <= '9') return 185;
      if (c == '\t') return 220;
      return 140;
  }
}

// Bytes searched for whose commonness is at least this make the scan slower than the automaton.
constexpr int kTooCommon = 230;

// The strings every match must contain (see the top of this file).
class RequiredText {
 public:
  // Nothing when the expression yields no usable strings.
  static std::unique_ptr<RequiredText> build(const std::string& pattern,
                                             const RE2::Options& options, bool may_fold) {
    auto required = std::unique_ptr<RequiredText>(new RequiredText);
    int id = 0;
    if (required->filter_.Add(pattern, options, &id) != RE2::NoError) return nullptr;
    std::vector<std::string> atoms;
    required->filter_.Compile(&atoms);
    // An expression that passes with no atom found is not filtered at all.
    required->filter_.AllPotentials({}, &required->passed_);
    if (!required->passed_.empty()) return nullptr;
    for (std::size_t i = 0; i < atoms.size(); ++i) {
      const std::string& atom = atoms[i];
      std::size_t anchor = 0;
      for (std::size_t k = 0; k < atom.size(); ++k) {
        const auto c = static_cast<unsigned char>(atom[k]);
        if (c >= 0x80) return nullptr;  // folded forms beyond ASCII are not searched for
        if (commonness(c) < commonness(static_cast<unsigned char>(atom[anchor]))) anchor = k;
        if (may_fold && (c == 'k' || c == 's')) required->ascii_only_ = true;
      }
      const auto byte = static_cast<unsigned char>(atom[anchor]);
      if (commonness(byte) >= kTooCommon) return nullptr;
      required->atoms_.push_back({atom, anchor});
      auto scan = std::find_if(required->scans_.begin(), required->scans_.end(),
                               [byte](const Scan& s) { return s.lower == byte; });
      if (scan == required->scans_.end()) {
        const bool letter = byte >= 'a' && byte <= 'z';
        const auto upper = static_cast<unsigned char>(letter ? byte - 'a' + 'A' : byte);
        required->scans_.push_back({byte, upper, {}});
        scan = required->scans_.end() - 1;
      }
      scan->atoms.push_back(static_cast<int>(i));
    }
    return required;
  }

  // False when `text` certainly holds no match.
  bool may_match(std::string_view text, bool ascii) {
    if (ascii_only_ && !ascii) return true;
    found_.clear();
    for (const Scan& scan : scans_) find_atoms(text, scan);
    filter_.AllPotentials(found_, &passed_);
    return !passed_.empty();
  }

 private:
  struct Atom {
    std::string text;    // lowercase
    std::size_t anchor;  // index of the byte the scan looks for
  };
  // One pass over the text for one byte (in both cases) serves every atom anchored on it.
  struct Scan {
    unsigned char lower;
    unsigned char upper;
    std::vector<int> atoms;
  };

  RequiredText() : filter_(2) {}

  static bool equal_ignoring_case(const char* text, const std::string& atom) {
    for (std::size_t i = 0; i < atom.size(); ++i) {
      const char c = atom[i];
      if (text[i] != c && !(c >= 'a' && c <= 'z' && text[i] == c - 'a' + 'A')) return false;
    }
    return true;
  }

  void find_atoms(std::string_view text, const Scan& scan) {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const auto next = [end](const char* from, unsigned char byte) -> const char* {
      return from < end ? static_cast<const char*>(std::memchr(from, byte, end - from)) : nullptr;
    };
    const char* lower = next(begin, scan.lower);
    const char* upper = scan.upper == scan.lower ? nullptr : next(begin, scan.upper);
    std::size_t pending = scan.atoms.size();
    while ((lower || upper) && pending > 0) {
      const char* at = !upper || (lower && lower < upper) ? lower : upper;
      for (const int id : scan.atoms) {
        const Atom& atom = atoms_[static_cast<std::size_t>(id)];
        const auto offset = static_cast<std::size_t>(at - begin);
        if (offset < atom.anchor || offset - atom.anchor + atom.text.size() > text.size()) continue;
        if (std::find(found_.begin(), found_.end(), id) != found_.end()) continue;
        if (equal_ignoring_case(at - atom.anchor, atom.text)) {
          found_.push_back(id);
          --pending;
        }
      }
      if (at == lower) {
        lower = next(at + 1, scan.lower);
      } else {
        upper = next(at + 1, scan.upper);
      }
    }
  }

  re2::FilteredRE2 filter_;
  std::vector<Atom> atoms_;
  std::vector<Scan> scans_;
  bool ascii_only_ = false;
  std::vector<int> found_;
  std::vector<int> passed_;
};

class Searcher {
 public:
  Searcher(const RE2& regex, RequiredText* required, bool line_by_line, std::string display_prefix,
           common::StopFlag stop)
      : regex_(regex),
        required_(required),
        line_by_line_(line_by_line),
        prefix_(std::move(display_prefix)),
        stop_(std::move(stop)) {}

  // Searches one file, opened as `name` in the folder `dir_fd` (AT_FDCWD with a resolved
  // path), never through a link. `display` is appended to the prefix to name it in the output.
  // Returns false once a match beyond the limit was found, or the user stopped the call, and
  // the search must end.
  bool search_file(int dir_fd, const char* name, std::string_view display) {
    if (!load(dir_fd, name)) return true;
    std::string_view text(buffer_.get(), size_);
    if (looks_binary(text) || text.empty()) return true;
    bool ascii = false;
    text = prepare(text, ascii);
    if (required_ && !required_->may_match(text, ascii)) return true;
    display_ = display;
    counted_to_ = 0;
    line_number_ = 1;
    if (line_by_line_) return search_lines(text);
    return search_buffer(text);
  }

  bool stopped() const { return stopped_; }
  bool cancelled() const { return cancelled_; }
  std::string take_output() { return std::move(out_); }

 private:
  // Reads a regular file of at most kGrepFileLimit bytes into the buffer.
  bool load(int dir_fd, const char* name) {
    const int fd = walk::open_no_follow(dir_fd, name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) <= kGrepFileLimit;
    if (ok) {
      if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kGrepFileLimit + 1);
      const auto expected = static_cast<std::size_t>(st.st_size);
      size_ = 0;
      // One read is usually enough; reading goes on until the end for files whose size the
      // file system does not know (reported as 0), up to one byte past the limit.
      while (size_ <= kGrepFileLimit) {
        const ssize_t got = ::read(fd, buffer_.get() + size_, kGrepFileLimit + 1 - size_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
          ok = false;
          break;
        }
        if (got == 0) break;
        size_ += static_cast<std::size_t>(got);
        if (expected != 0 && size_ >= expected) break;
      }
      ok = ok && size_ <= kGrepFileLimit;
    }
    ::close(fd);
    return ok;
  }

  // The text as the lines are shown: decoded, CRLF line ends turned into LF.
  std::string_view prepare(std::string_view text, bool& ascii) {
    const common::Utf8Form form = common::classify_utf8(text);
    ascii = form == common::Utf8Form::Ascii;
    if (form == common::Utf8Form::Invalid) {
      decoded_.clear();
      common::append_utf8_lossy(text, decoded_);
      text = decoded_;
    }
    if (std::memchr(text.data(), '\r', text.size()) == nullptr) return text;
    plain_.clear();
    plain_.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t cr = text.find('\r'); cr != std::string_view::npos;
         cr = text.find('\r', cr + 1)) {
      if (cr + 1 < text.size() && text[cr + 1] == '\n') {
        plain_.append(text.substr(from, cr - from));
        from = cr + 1;
      }
    }
    plain_.append(text.substr(from));
    return plain_;
  }

  bool search_lines(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      const auto* newline =
          static_cast<const char*>(std::memchr(text.data() + pos, '\n', text.size() - pos));
      const std::size_t end =
          newline ? static_cast<std::size_t>(newline - text.data()) : text.size();
      const std::string_view line = text.substr(pos, end - pos);
      if (cancel_requested()) return false;
      if (RE2::PartialMatch(line, regex_) && !report_line(text, pos, line)) return false;
      pos = end + 1;
    }
    return true;
  }

  bool search_buffer(std::string_view text) {
    const re2::StringPiece whole(text.data(), text.size());
    const std::size_t n = text.size();
    std::size_t pos = 0;
    while (pos < n) {
      if (cancel_requested()) return false;
      std::size_t end = n;
      if (n - pos > kSegmentBytes) {
        const auto* lf = static_cast<const char*>(
            std::memchr(text.data() + pos + kSegmentBytes, '\n', n - pos - kSegmentBytes));
        if (lf) end = static_cast<std::size_t>(lf - text.data());
      }
      re2::StringPiece hit;
      if (!regex_.Match(whole, pos, end, RE2::UNANCHORED, &hit, 1)) {
        pos = end + 1;
        continue;
      }
      const auto start = static_cast<std::size_t>(hit.data() - text.data());
      // An empty match after a final line feed is not on any line.
      if (start == n && text[n - 1] == '\n') break;
      const auto* before = static_cast<const char*>(memrchr(text.data() + pos, '\n', start - pos));
      const std::size_t line_start =
          before ? static_cast<std::size_t>(before - text.data()) + 1 : pos;
      const auto* after =
          static_cast<const char*>(std::memchr(text.data() + start, '\n', n - start));
      const std::size_t line_end = after ? static_cast<std::size_t>(after - text.data()) : n;
      const std::string_view line = text.substr(line_start, line_end - line_start);
      const bool inside = start + hit.size() <= line_end;
      if ((inside || RE2::PartialMatch(line, regex_)) && !report_line(text, line_start, line)) {
        return false;
      }
      pos = line_end + 1;
    }
    return true;
  }

  bool cancel_requested() {
    if (tools::stopped(stop_)) cancelled_ = true;
    return cancelled_;
  }

  // Appends "{display path}:{line number}: {line}". Returns false when the limit was passed.
  bool report_line(std::string_view text, std::size_t line_start, std::string_view line) {
    line_number_ += static_cast<std::size_t>(
        std::count(text.begin() + static_cast<std::ptrdiff_t>(counted_to_),
                   text.begin() + static_cast<std::ptrdiff_t>(line_start), '\n'));
    counted_to_ = line_start;
    if (matches_ == kGrepMatchLimit) {
      stopped_ = true;
      return false;
    }
    ++matches_;
    if (!out_.empty()) out_.push_back('\n');
    out_ += prefix_;
    if (common::valid_utf8(display_)) {
      out_.append(display_);
    } else {
      common::append_utf8_lossy(display_, out_);
    }
    out_.push_back(':');
    out_ += std::to_string(line_number_);
    out_ += ": ";
    const std::string_view trimmed = common::trim_end_unicode(line);
    out_.append(trimmed.substr(0, common::utf8_prefix_bytes(trimmed, kGrepLineChars)));
    return true;
  }

  const RE2& regex_;
  RequiredText* const required_;
  const bool line_by_line_;
  const std::string prefix_;
  const common::StopFlag stop_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::string decoded_;
  std::string plain_;
  std::string_view display_;
  std::size_t counted_to_ = 0;
  std::size_t line_number_ = 1;
  std::size_t matches_ = 0;
  bool stopped_ = false;
  bool cancelled_ = false;
  std::string out_;
};

RE2::Options regex_options(bool ignore_case) {
  RE2::Options options;
  options.set_log_errors(false);
  options.set_case_sensitive(!ignore_case);
  options.set_max_mem(kRegexMemory);
  return options;
}

ToolResult grep_files(const fs::path& target, const fs::path& root, const std::string& pattern,
                      bool ignore_case, const std::string& filter, const common::StopFlag& stop) {
  const RE2 checked(pattern, regex_options(ignore_case));
  if (!checked.ok()) return fail("Bad regular expression: " + checked.error());
  const RE2 multi_line("(?m)" + pattern, regex_options(ignore_case));
  if (!multi_line.ok()) return fail("Bad regular expression: " + multi_line.error());

  std::optional<walk::Glob> glob;
  const std::size_t first = filter.find_first_not_of(" \t\r\n\f\v");
  if (first != std::string::npos) {
    std::string wanted = filter;
    if (wanted.find('/') == std::string::npos) wanted = "**/" + wanted.substr(first);
    Result<walk::Glob> compiled = compile_user_glob(wanted);
    if (!compiled.ok()) return compiled.error();
    glob = std::move(compiled).value();
  }
  if (const Result<void> start = check_walk_target(target); !start.ok()) {
    return start.error();
  }

  const bool line_by_line = needs_line_by_line(pattern);
  const bool may_fold = ignore_case || pattern.find("(?") != std::string::npos;
  const auto required = RequiredText::build(pattern, regex_options(ignore_case), may_fold);
  struct stat st {};
  const bool folder = stat_no_follow(target, st) && S_ISDIR(st.st_mode);
  std::string output;
  bool stopped = false;
  if (!folder) {
    // A single file is filtered by its own name.
    Searcher searcher(multi_line, required.get(), line_by_line, {}, stop);
    const std::string name = target.filename().string();
    const std::string display = common::utf8_lossy(display_path(target, root));
    if (!glob || glob->matches(name)) searcher.search_file(AT_FDCWD, target.c_str(), display);
    stopped = searcher.stopped();
    output = searcher.take_output();
    if (searcher.cancelled()) return fail(stopped_text(std::move(output)));
  } else {
    const TreeDisplay display(target, root);
    Searcher searcher(multi_line, required.get(), line_by_line, display.of(""), stop);
    std::string name;
    // Links are not followed: a link in the tree may lead anywhere on the disk. Each file is
    // opened in the folder the walk holds open, so a folder swapped for a link meanwhile
    // cannot lead the search out of the tree either.
    const walk::WalkResult walked =
        walk::walk(target.string(), tree_walk_options(stop), [&](const walk::WalkEntry& entry) {
          if (entry.is_link || (glob && !glob->matches(entry.rel))) return walk::WalkNext::Continue;
          const bool held = entry.dir_fd >= 0;
          name.assign(held ? entry.name : entry.abs);
          return searcher.search_file(held ? entry.dir_fd : AT_FDCWD, name.c_str(), entry.rel)
                     ? walk::WalkNext::Continue
                     : walk::WalkNext::Stop;
        });
    if (walked.start_failed) {
      return fail(shown_path(target) + " is not a readable folder.");
    }
    stopped = searcher.stopped();
    output = searcher.take_output();
    if (walked.cancelled || searcher.cancelled()) {
      return fail(stopped_text(std::move(output)));
    }
  }
  if (output.empty()) return text_result("No matches.");
  if (stopped) {
    output += "\n[stopped at " + std::to_string(kGrepMatchLimit) + " matches; narrow the search]";
  }
  return text_result(std::move(output));
}

}  // namespace

Decoder grep_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    // Not trimmed: spaces can be what is searched for.
    const std::string pattern = string_arg(args, "pattern");
    if (pattern.empty()) return fail("pattern is empty.");
    const fs::path path = resolve_path(string_arg(args, "path"), scope.root);
    Decoded decoded;
    decoded.kind = ToolKind::Read;
    decoded.summary = pattern + " in " + common::utf8_lossy(display_path(path, scope.root));
    decoded.outside = !scope.contains(path);
    decoded.run = [path, root = scope.root, pattern, ignore_case = bool_arg(args, "ignore_case"),
                   filter = string_arg(args, "glob")](const common::StopFlag& stop) {
      return grep_files(path, root, pattern, ignore_case, filter, stop);
    };
    return decoded;
  };
}

}  // namespace kavor::tools
