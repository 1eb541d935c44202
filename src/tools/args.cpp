#include "tools/args.h"

#include "platform/text.h"

namespace kavor::tools {

namespace {

constexpr std::size_t kSummaryChars = 120;
constexpr const char* kEllipsis = " \u2026";

// Byte length of the first `count` UTF-8 characters of `s` (or all of it).
std::size_t utf8_prefix(const std::string& s, std::size_t count, bool& cut) {
  std::size_t i = 0;
  std::size_t chars = 0;
  while (i < s.size() && chars < count) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80         ? 1
                      : (c >> 5) == 6  ? 2
                      : (c >> 4) == 14 ? 3
                      : (c >> 3) == 30 ? 4
                                       : 1;
    i = std::min(s.size(), i + len);
    ++chars;
  }
  cut = i < s.size();
  return i;
}

}  // namespace

std::string command_summary(const std::string& text) {
  std::size_t start = 0;
  std::size_t lines = 0;
  std::string first;
  bool found = false;
  // Lines as a reader counts them: a final line feed does not start another line.
  while (start < text.size() || (start == 0 && text.empty())) {
    const std::size_t end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++lines;
    if (!found && !blank(line)) {
      const auto b = line.find_first_not_of(" \t\r\f\v");
      const auto e = line.find_last_not_of(" \t\r\f\v");
      first = line.substr(b, e - b + 1);
      found = true;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  bool cut = false;
  first.resize(utf8_prefix(first, kSummaryChars, cut));
  if (cut || lines > 1) first += kEllipsis;
  return first;
}

}  // namespace kavor::tools
