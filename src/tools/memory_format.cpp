#include "tools/memory_format.h"

#include <QChar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/utf8.h"
#include "platform/text.h"

namespace kavor::tools {

namespace {

constexpr std::size_t kSlugChars = 60;

std::string trim_end(std::string s) {
  const auto last = s.find_last_not_of(kAsciiSpace);
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

}  // namespace

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

std::string tidy_content(std::string_view text) {
  return trim_end(crlf_to_lf(text));
}

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

Result<std::string> check_slug(const std::string& given) {
  std::string slug = trim(given);
  if (slug.size() >= 3 && slug.compare(slug.size() - 3, 3, ".md") == 0) {
    slug.resize(slug.size() - 3);
  }
  if (slug.empty()) return fail("slug is empty.");
  if (slug.find_first_of("/\\") != std::string::npos || slug.find("..") != std::string::npos ||
      slug.front() == '.') {
    return fail("The slug " + slug +
                " may not contain path separators or ..; pass a plain name like build-steps.");
  }
  std::size_t i = 0;
  while (i < slug.size()) {
    const char32_t cp = common::next_code_point(slug, i);
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) ||
        (cp < 0x80 && std::strchr("<>:\"|?*", int(cp)))) {
      return fail("The slug " + slug + " contains characters that are not allowed in a file name.");
    }
  }
  return slug;
}

std::string derive_slug(const std::string& title, std::int64_t now) {
  std::u32string kept;
  bool gap = false;
  std::size_t i = 0;
  while (i < title.size()) {
    const char32_t cp = common::next_code_point(title, i);
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
  for (const char32_t cp : kept) common::append_code_point(cp, slug);
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
  std::string out(kIndexHeading);
  out +=
      "\nWhat Kavor Agent remembers about this project. Each memory is one file under "
      "memory/.\n\n";
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
  std::string text = common::utf8_lossy(bytes);
  if (text.size() <= limit) return text;
  const std::size_t reserve = kCutMarker.size() + 1;
  std::size_t at = limit > reserve ? limit - reserve : 0;
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  text.resize(at);
  if (text.empty() || text.back() != '\n') text += '\n';
  text += kCutMarker;
  return text;
}

}  // namespace kavor::tools
