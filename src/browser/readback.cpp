#include "browser/readback.h"

#include "browser/display_text.h"
#include "browser/message_fields.h"

namespace kavor::browser {

namespace {

std::string collapse_blank_lines(const std::string& text) {
  // Runs of blank lines become one blank line; the whole is trimmed.
  std::string out;
  std::size_t start = 0;
  bool previous_blank = false;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool blank = line.find_first_not_of(" \t\f\v\u00a0") == std::string::npos;
    if (!(blank && previous_blank)) {
      if (!out.empty() || start > 0) out += '\n';
      out += blank ? std::string() : line;
    }
    previous_blank = blank;
    start = end + 1;
  }
  const auto begin = out.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  const auto last = out.find_last_not_of(" \t\r\n");
  return out.substr(begin, last - begin + 1);
}

}  // namespace

std::string console_lines(const Drained<ConsoleEntry>& drained, std::size_t limit,
                          const std::string& prefix) {
  const std::size_t size = drained.entries.size();
  const std::size_t shown_from = size > limit ? size - limit : 0;
  const std::size_t earlier = drained.dropped + shown_from;
  std::string out;
  if (earlier > 0) out += prefix + "[... " + std::to_string(earlier) + " earlier entries ...]";
  for (std::size_t i = shown_from; i < size; ++i) {
    const ConsoleEntry& e = drained.entries[i];
    if (!out.empty()) out += '\n';
    out += prefix + e.level + ": " + cut_chars(e.text, kConsoleTextChars);
    if (e.count > 1) out += " (x" + std::to_string(e.count) + ")";
  }
  return out;
}

std::string console_report(const Drained<ConsoleEntry>& drained) {
  if (drained.entries.empty() && drained.dropped == 0) {
    return "No console messages since the last check.";
  }
  return "Console since the last check (every level):\n" +
         console_lines(drained, kListedEntries, "");
}

std::string network_report(const Drained<NetworkEntry>& drained) {
  if (drained.entries.empty() && drained.dropped == 0) return "No requests since the last check.";
  std::string out = "Requests since the last check (method, status, type, url, time):\n";
  const std::size_t size = drained.entries.size();
  const std::size_t shown_from = size > kListedEntries ? size - kListedEntries : 0;
  const std::size_t earlier = drained.dropped + shown_from;
  bool first = true;
  if (earlier > 0) {
    out += "[... " + std::to_string(earlier) + " earlier requests ...]";
    first = false;
  }
  for (std::size_t i = shown_from; i < size; ++i) {
    const NetworkEntry& e = drained.entries[i];
    if (!first) out += '\n';
    first = false;
    const std::string status = e.status     ? std::to_string(*e.status)
                               : e.error    ? "failed"
                               : e.finished ? "-"
                                            : "pending";
    out += e.method + " " + status + " " + e.type + " " + cut_chars(e.url, kListedUrlChars);
    if (e.duration_ms) out += " " + std::to_string(*e.duration_ms) + "ms";
    if (e.error) out += " " + *e.error;
  }
  return out;
}

std::string summary_report(const common::Json& summary) {
  std::vector<std::string> sections;
  const auto each = [&](const char* key, auto&& render) {
    const common::Json& list = member(summary, key);
    std::string lines;
    if (list.is_array()) {
      for (const common::Json& item : list) lines += "\n" + render(item);
    }
    return lines;
  };
  if (std::string lines = each("headings",
                               [](const common::Json& h) {
                                 return "  " +
                                        (h.is_string() ? h.get<std::string>() : std::string());
                               });
      !lines.empty()) {
    sections.push_back("Headings:" + lines);
  }
  const common::Json& links = member(summary, "links");
  if (links.is_array() && !links.empty()) {
    std::string lines = "Links (" + std::to_string(links.size()) + "):";
    for (const common::Json& link : links) {
      const std::string text = link.is_array() && !link.empty() && link[0].is_string()
                                   ? link[0].get<std::string>()
                                   : std::string();
      const std::string href = link.is_array() && link.size() > 1 && link[1].is_string()
                                   ? link[1].get<std::string>()
                                   : std::string();
      lines += "\n  " + (text.empty() ? std::string("(no text)") : text) + " -> " + href;
    }
    sections.push_back(lines);
  }
  if (std::string lines = each("buttons",
                               [](const common::Json& b) {
                                 const std::string text =
                                     b.is_string() ? b.get<std::string>() : std::string();
                                 return "  " + (text.empty() ? std::string("(no text)") : text);
                               });
      !lines.empty()) {
    sections.push_back("Buttons:" + lines);
  }
  if (std::string lines =
          each("inputs",
               [](const common::Json& input) {
                 std::string line = "  " + str(input, "tag");
                 for (const char* attribute : {"type", "name", "placeholder", "label"}) {
                   const std::string value = str(input, attribute);
                   if (!value.empty()) line += std::string(" ") + attribute + "=\"" + value + "\"";
                 }
                 return line;
               });
      !lines.empty()) {
    sections.push_back("Inputs:" + lines);
  }
  if (std::string lines = each("images",
                               [](const common::Json& image) {
                                 std::string problems;
                                 if (flag(image, "broken")) problems = "failed to load";
                                 if (flag(image, "noalt"))
                                   problems += problems.empty() ? "no alt text" : ", no alt text";
                                 return "  " + str(image, "src") + " (" + problems + ")";
                               });
      !lines.empty()) {
    sections.push_back("Images with problems:" + lines);
  }

  std::string structure;
  for (const std::string& section : sections) {
    if (!structure.empty()) structure += '\n';
    structure += section;
  }
  structure = cut_chars(structure, kStructureChars);
  const std::size_t structure_chars = char_count(structure);
  const std::size_t text_limit =
      std::max(kMinVisibleTextChars,
               kSummaryTextChars > structure_chars ? kSummaryTextChars - structure_chars : 0);
  std::string text = cut_chars(collapse_blank_lines(str(summary, "text")), text_limit);
  if (text.empty()) text = "(none)";
  std::string out = "Visible text:\n" + text;
  if (!structure.empty()) out += "\n\n" + structure;
  return out;
}

std::string value_report(const common::Json& remote) {
  return cut_chars(remote_value_text(remote, false), kValueChars);
}

std::string result_text(const PageFacts& page, const std::string& action_text,
                        const std::optional<ShotFacts>& shot,
                        const Drained<ConsoleEntry>& problems) {
  std::string out = cut_chars(page.url, kResultUrlChars);
  if (page.document_error) {
    out += " (" + *page.document_error + ")";
  } else if (page.document_status && *page.document_status >= 1) {
    out += " (" + std::to_string(*page.document_status) + ")";
  }
  std::string title = page.title;
  const auto begin = title.find_first_not_of(" \t\r\n");
  title = begin == std::string::npos
              ? std::string()
              : title.substr(begin, title.find_last_not_of(" \t\r\n") - begin + 1);
  out += " \"" + cut_chars(title, kTitleChars) + "\"";
  if (!page.loaded) out += " (still loading)";
  if (!action_text.empty()) out += "\n" + action_text;
  if (shot) {
    out += "\nScreenshot attached (" + std::to_string(shot->width) + "x" +
           std::to_string(shot->height) + " px, JPEG).";
  }
  if (!problems.entries.empty()) {
    out += "\n\nProblems seen:\n" + console_lines(problems, kProblemsShown, "- ");
  }
  return out;
}

}  // namespace kavor::browser
