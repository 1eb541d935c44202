#include "assistant.h"

#include <cctype>

namespace kavor::service {
namespace {

using Json = nlohmann::ordered_json;

// Output longer than this is cut in the reply; the page shows the whole of it on the call.
constexpr std::size_t kReplyOutputChars = 4000;

std::string_view trim(std::string_view text) {
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// Words separated by white space; double quotes group a word and are removed.
std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
      if (any) out.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) out.push_back(word);
  return out;
}

// The first word of `text` and what follows it (trimmed).
std::pair<std::string, std::string_view> first_word(std::string_view text) {
  text = trim(text);
  std::size_t end = 0;
  while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
  return {std::string(text.substr(0, end)), trim(text.substr(end))};
}

Plan answer(std::string text) {
  Plan plan;
  plan.reply = std::move(text);
  return plan;
}

Plan one(std::string tool, Json args) {
  Plan plan;
  plan.calls.push_back({std::move(tool), std::move(args)});
  return plan;
}

Plan usage(const std::string& form) {
  return answer("Write it as " + form + ".");
}

Plan from_json(std::string_view text) {
  const Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded()) return answer("That is not JSON I can read.");
  const Json list = value.is_array() ? value : Json::array({value});
  Plan plan;
  for (const Json& item : list) {
    if (!item.is_object() || !item.contains("tool") || !item["tool"].is_string()) {
      return answer("A tool call needs a \"tool\" name and may have \"args\".");
    }
    ToolRequest request{item["tool"].get<std::string>(), item.value("args", Json::object())};
    plan.calls.push_back(std::move(request));
  }
  if (plan.calls.empty()) return answer("The list holds no tool call.");
  return plan;
}

// Two optional words: a pattern and the folder to look in.
Plan search(const char* tool, std::string_view rest, const char* form) {
  const auto list = words(rest);
  if (list.empty() || list.size() > 2) return usage(form);
  return one(tool, Json{{"pattern", list[0]}, {"path", list.size() == 2 ? list[1] : "."}});
}

}  // namespace

std::string help_text() {
  return "I am the scripted assistant of this local service. Each command becomes a tool call "
         "for your computer:\n"
         "/read FILE - read a file\n"
         "/list [FOLDER] - list a folder\n"
         "/glob PATTERN [FOLDER] - find files by name\n"
         "/grep PATTERN [FOLDER] - search file contents\n"
         "/edit FILE OLD => NEW - replace text in a file\n"
         "/write FILE TEXT - write a whole file\n"
         "/run COMMAND - run a command\n"
         "/test [COMMAND] - run the project's tests\n"
         "/browse URL - open a page in a private browser (its screenshot comes back)\n"
         "/remember TITLE: TEXT - keep a note in the project memory\n"
         "/forget SLUG - remove a note\n"
         "A JSON tool call such as {\"tool\": \"read_file\", \"args\": {\"path\": \"README.md\"}} "
         "is sent as it is.";
}

std::string slug_of(std::string_view title) {
  std::string slug;
  for (const char c : title) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) && u < 0x80) {
      slug += static_cast<char>(std::tolower(u));
    } else if (!slug.empty() && slug.back() != '-') {
      slug += '-';
    }
  }
  if (slug.size() > 48) slug.resize(48);
  while (!slug.empty() && slug.back() == '-') slug.pop_back();
  return slug.empty() ? "note" : slug;
}

Plan plan_reply(std::string_view message) {
  const std::string_view text = trim(message);
  if (text.empty()) return answer("Say something, or type /help.");
  if (text.front() == '{' || text.front() == '[') return from_json(text);
  if (text.front() != '/') {
    return answer("I only follow commands. Type /help to see what I can ask your computer to do.");
  }

  const auto [command, rest] = first_word(text);
  if (command == "/help") return answer(help_text());
  if (command == "/read") {
    const auto list = words(rest);
    if (list.size() != 1) return usage("/read FILE");
    return one("read_file", Json{{"path", list[0]}});
  }
  if (command == "/list") {
    const auto list = words(rest);
    if (list.size() > 1) return usage("/list [FOLDER]");
    return one("list_dir", Json{{"path", list.empty() ? "." : list[0]}});
  }
  if (command == "/glob") return search("glob", rest, "/glob PATTERN [FOLDER]");
  if (command == "/grep") return search("grep", rest, "/grep PATTERN [FOLDER]");
  if (command == "/edit") {
    const auto [file, change] = first_word(rest);
    const auto arrow = change.find("=>");
    if (file.empty() || arrow == std::string_view::npos) return usage("/edit FILE OLD => NEW");
    const std::string_view old_text = trim(change.substr(0, arrow));
    const std::string_view new_text = trim(change.substr(arrow + 2));
    if (old_text.empty()) return usage("/edit FILE OLD => NEW, with some OLD text");
    return one("edit_file", Json{{"path", file}, {"old_text", old_text}, {"new_text", new_text}});
  }
  if (command == "/write") {
    // The text runs to the end of the message, line breaks included.
    const std::string_view after = text.substr(command.size());
    std::size_t start = 0;
    while (start < after.size() && (after[start] == ' ' || after[start] == '\t')) ++start;
    std::size_t end = start;
    while (end < after.size() && !std::isspace(static_cast<unsigned char>(after[end]))) ++end;
    if (end == start) return usage("/write FILE TEXT");
    std::string_view content = after.substr(end);
    if (!content.empty() && (content.front() == ' ' || content.front() == '\t'))
      content.remove_prefix(1);
    if (!content.empty() && content.front() == '\n') content.remove_prefix(1);
    std::string body(content);
    if (!body.empty() && body.back() != '\n') body += '\n';
    return one("write_file", Json{{"path", after.substr(start, end - start)}, {"content", body}});
  }
  if (command == "/run") {
    if (rest.empty()) return usage("/run COMMAND");
    return one("shell", Json{{"command", rest}});
  }
  if (command == "/test") {
    return one("run_tests", rest.empty() ? Json::object() : Json{{"command", rest}});
  }
  if (command == "/browse") {
    const auto list = words(rest);
    if (list.size() != 1) return usage("/browse URL");
    std::string url = list[0];
    if (url.find("://") == std::string::npos) url = "http://" + url;
    return one("browser", Json{{"action", "open"}, {"url", url}});
  }
  if (command == "/remember") {
    const auto colon = rest.find(':');
    if (colon == std::string_view::npos) return usage("/remember TITLE: TEXT");
    const std::string_view title = trim(rest.substr(0, colon));
    const std::string_view note = trim(rest.substr(colon + 1));
    if (title.empty() || note.empty()) return usage("/remember TITLE: TEXT");
    return one("save_memory", Json{{"slug", slug_of(title)},
                                   {"title", title},
                                   {"description", title},
                                   {"content", std::string(note) + "\n"}});
  }
  if (command == "/forget") {
    const auto list = words(rest);
    if (list.size() != 1) return usage("/forget SLUG");
    return one("forget_memory", Json{{"slug", list[0]}});
  }
  return answer("I do not know " + command + ".\n\n" + help_text());
}

std::string describe_result(const ToolRequest& request, const Json& record) {
  const std::string status = record.value("status", std::string("error"));
  std::string summary = record.value("summary", std::string());
  if (summary.empty()) summary = request.args.value("path", std::string());
  // Some summaries name their tool already ("browser open …").
  const bool named = summary.rfind(request.tool + " ", 0) == 0;
  std::string head = named ? summary : request.tool + (summary.empty() ? "" : " " + summary);
  std::string output = record.value("output", std::string());
  if (output.size() > kReplyOutputChars) {
    std::size_t cut = kReplyOutputChars;
    // Never split a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(output[cut]) & 0xC0) == 0x80) --cut;
    output = output.substr(0, cut) + " …";
  }
  std::string text;
  if (status == "ok") {
    text = head + ": done.";
  } else if (status == "denied") {
    text = head + " was not run.";
  } else {
    text = head + " failed.";
  }
  if (!output.empty()) text += "\n" + output;
  if (record.contains("image")) text += "\n(A screenshot came back.)";
  return text;
}

}  // namespace kavor::service
