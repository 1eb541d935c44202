// grep: the lines of a file or of a walked tree that match a regular expression.
//
// Most searched files hold no match at all, so the work per file is kept to a few system calls
// and one pass of the regular-expression automaton over the whole file: the file is read with
// one read() into a buffer reused for every file, a NUL among its first bytes marks it binary,
// and the expression, compiled in multi-line mode so that ^ and $ also hold at line ends, is run
// once over the whole buffer. Only a file with a hit is looked at line by line, and even then
// only around the hits: the line holding the start of a hit is taken, and the search goes on
// from the next line.
//
// A hit in the whole buffer may span lines (say "a\s+b" over "a\nb"), which a line on its own
// would not match, so a hit that runs past the end of its line is checked again on that line
// alone. The opposite cannot happen: a match inside one line is also a match in the buffer, as
// the line's neighbours are line feeds, which count as non-word characters and as line ends.
// The exceptions are the text-boundary assertions \A and \z and a pattern that switches the
// multi-line mode off; such patterns are tried on each line separately instead.
//
// Before searching, a file that is not valid UTF-8 is decoded (invalid sequences replaced), and
// the carriage return of every CRLF line end is dropped, so that the buffer holds exactly the
// lines the assistant would see, joined by line feeds; line numbers do not change.
#include <fcntl.h>
#include <re2/re2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "tools/args.h"
#include "tools/file_common.h"
#include "tools/file_text.h"
#include "tools/file_tools.h"
#include "tools/paths.h"
#include "walk/walker.h"

namespace kavor::tools {

namespace {

// Memory the automaton may use for one search; with less, large files fall back to a much
// slower matcher when the pattern has many states.
constexpr std::int64_t kRegexMemory = std::int64_t{64} << 20;

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

class Searcher {
 public:
  Searcher(const RE2& regex, bool line_by_line, std::string display_prefix)
      : regex_(regex), line_by_line_(line_by_line), prefix_(std::move(display_prefix)) {}

  // Searches one file. `display` is appended to the prefix to name it in the output. Returns
  // false once a match beyond the limit was found and the search must end.
  bool search_file(const char* path, std::string_view display, bool follow_link) {
    if (!load(path, follow_link)) return true;
    std::string_view text(buffer_.get(), size_);
    if (looks_binary(text) || text.empty()) return true;
    text = prepare(text);
    display_ = display;
    counted_to_ = 0;
    line_number_ = 1;
    if (line_by_line_) return search_lines(text);
    return search_buffer(text);
  }

  bool stopped() const { return stopped_; }
  std::string take_output() { return std::move(out_); }

 private:
  // Reads a regular file of at most kGrepFileLimit bytes into the buffer.
  bool load(const char* path, bool follow_link) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow_link ? 0 : O_NOFOLLOW);
    const int fd = ::open(path, flags);
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
  std::string_view prepare(std::string_view text) {
    if (!valid_utf8(text)) {
      decoded_.clear();
      append_utf8_lossy(text, decoded_);
      text = decoded_;
    }
    if (std::memchr(text.data(), '\r', text.size()) == nullptr) return text;
    plain_.clear();
    plain_.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      plain_.push_back(text[i]);
    }
    return plain_;
  }

  bool search_lines(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      const auto* newline =
          static_cast<const char*>(std::memchr(text.data() + pos, '\n', text.size() - pos));
      const std::size_t end = newline ? static_cast<std::size_t>(newline - text.data()) : text.size();
      const std::string_view line = text.substr(pos, end - pos);
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
      re2::StringPiece hit;
      if (!regex_.Match(whole, pos, n, RE2::UNANCHORED, &hit, 1)) break;
      const auto start = static_cast<std::size_t>(hit.data() - text.data());
      // An empty match after a final line feed is not on any line.
      if (start == n && text[n - 1] == '\n') break;
      const auto* before =
          static_cast<const char*>(memrchr(text.data() + pos, '\n', start - pos));
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
    if (valid_utf8(display_)) {
      out_.append(display_);
    } else {
      append_utf8_lossy(display_, out_);
    }
    out_.push_back(':');
    out_ += std::to_string(line_number_);
    out_ += ": ";
    const std::string_view trimmed = trim_end_unicode(line);
    out_.append(trimmed.substr(0, utf8_prefix_bytes(trimmed, kGrepLineChars)));
    return true;
  }

  const RE2& regex_;
  const bool line_by_line_;
  const std::string prefix_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::string decoded_;
  std::string plain_;
  std::string_view display_;
  std::size_t counted_to_ = 0;
  std::size_t line_number_ = 1;
  std::size_t matches_ = 0;
  bool stopped_ = false;
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
                      bool ignore_case, const std::string& filter) {
  const RE2 checked(pattern, regex_options(ignore_case));
  if (!checked.ok()) return ToolResult::failure("Bad regular expression: " + checked.error());
  const RE2 multi_line("(?m)" + pattern, regex_options(ignore_case));
  if (!multi_line.ok()) return ToolResult::failure("Bad regular expression: " + multi_line.error());

  std::optional<walk::Glob> glob;
  std::string wanted = walk::normalize_glob_pattern(filter);
  if (!wanted.empty()) {
    if (wanted.find('/') == std::string::npos) wanted = "**/" + wanted;
    std::string message;
    glob = compile_user_glob(wanted, message);
    if (!glob) return ToolResult::failure(message);
  }
  if (auto missing = check_walk_target(target)) return ToolResult::failure(*missing);

  const bool line_by_line = needs_line_by_line(pattern);
  struct stat st {};
  const bool folder = ::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  std::string output;
  bool stopped = false;
  if (!folder) {
    // A single file is filtered by its own name.
    Searcher searcher(multi_line, line_by_line, {});
    const std::string name = target.filename().string();
    if (!glob || glob->matches(name)) {
      searcher.search_file(target.c_str(), utf8_lossy(display_path(target, root)), true);
    }
    stopped = searcher.stopped();
    output = searcher.take_output();
  } else {
    const TreeDisplay display(target, root);
    Searcher searcher(multi_line, line_by_line, display.of(""));
    std::string path;
    // Links are not followed: a link in the tree may lead anywhere on the disk.
    const walk::WalkResult walked =
        walk::walk(target.string(), walk::WalkOptions{}, [&](const walk::WalkEntry& entry) {
          if (entry.is_link || (glob && !glob->matches(entry.rel))) return walk::WalkNext::Continue;
          path.assign(entry.abs);
          return searcher.search_file(path.c_str(), entry.rel, false) ? walk::WalkNext::Continue
                                                                      : walk::WalkNext::Stop;
        });
    if (walked.start_failed) {
      return ToolResult::failure(shown_path(target) + " is not a readable folder.");
    }
    stopped = searcher.stopped();
    output = searcher.take_output();
  }
  if (output.empty()) return ToolResult::success("No matches.");
  if (stopped) {
    output += "\n[stopped at " + std::to_string(kGrepMatchLimit) + " matches; narrow the search]";
  }
  return ToolResult::success(std::move(output));
}

}  // namespace

Decoder grep_tool() {
  return [](const Json& args, const Scope& scope) -> DecodeResult {
    // Not trimmed: spaces can be what is searched for.
    const std::string pattern = string_arg(args, "pattern");
    if (pattern.empty()) return std::string("pattern is empty.");
    const fs::path path = resolve_path(string_arg(args, "path"), scope.root);
    Decoded decoded;
    decoded.kind = ToolKind::Read;
    decoded.summary = pattern + " in " + utf8_lossy(display_path(path, scope.root));
    decoded.outside = !scope.contains(path);
    decoded.run = [path, root = scope.root, pattern, ignore_case = bool_arg(args, "ignore_case"),
                   filter = string_arg(args, "glob")](const StopFlag&) {
      return grep_files(path, root, pattern, ignore_case, filter);
    };
    return decoded;
  };
}

}  // namespace kavor::tools
