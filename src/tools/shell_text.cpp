#include "tools/shell_text.h"

#include <charconv>
#include <cstdint>

#include "platform/text.h"

namespace kavor::tools {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

bool ends_command(char c) {
  return c == ';' || c == '&' || c == '|' || c == '(' || c == ')' || c == '\n';
}

bool is_redirection(char c) {
  return c == '<' || c == '>';
}

// A pattern character that opens an extended pattern when "(" follows it.
bool opens_extended_pattern(char c) {
  return c == '@' || c == '!' || c == '+' || c == '*' || c == '?';
}

// The characters a backslash escapes inside double quotes.
constexpr std::string_view kEscapedInDoubleQuotes = "$`\"\\\n";

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  std::vector<ShellWord> run() {
    const std::size_t n = text_.size();
    std::size_t i = 0;
    while (i < n) {
      const char c = text_[i];
      if (is_blank(c)) {
        finish_word();
        ++i;
      } else if (c == '\\') {
        // A backslash before a line end joins the lines; before anything else it quotes it.
        if (i + 1 < n && text_[i + 1] != '\n') append(text_[i + 1], true);
        i += 2;
      } else if (c == '\'') {
        const std::size_t close = text_.find('\'', i + 1);
        const std::size_t end = close == std::string_view::npos ? n : close;
        append_quoted(text_.substr(i + 1, end - i - 1));
        i = end + 1;
      } else if (c == '"') {
        i = double_quoted(i + 1);
      } else if (c == '(' && extended_pattern_open()) {
        i = extended_pattern(i);
      } else if (is_redirection(c) || (c == '&' && i + 1 < n && text_[i + 1] == '>')) {
        // "2>" names a descriptor, not a word; "&>" sends both streams.
        if (started_ && only_digits_) {
          current_.clear();
          started_ = false;
        } else {
          finish_word();
        }
        ++i;
        while (i < n && (is_redirection(text_[i]) || text_[i] == '&' || text_[i] == '|' ||
                         text_[i] == '-')) {
          ++i;
        }
        next_redirect_ = true;
      } else if (ends_command(c)) {
        finish_word();
        const char next = i + 1 < n ? text_[i + 1] : '\0';
        bool pipe = false;
        if (c == '|' && next == '|') {
          i += 2;
        } else if (c == '|') {
          pipe = true;
          i += next == '&' ? 2 : 1;
        } else if ((c == '&' && next == '&') || (c == ';' && next == ';')) {
          i += 2;
        } else {
          ++i;
        }
        next_command_ = true;
        next_piped_ = pipe;
        next_redirect_ = false;
      } else {
        append(c, false);
        ++i;
      }
    }
    finish_word();
    return std::move(words_);
  }

 private:
  void append(char c, bool quoted) {
    if (quoted || !is_ascii_digit(c)) only_digits_ = false;
    last_unquoted_ = quoted ? '\0' : c;
    current_ += c;
    started_ = true;
  }

  void append_quoted(std::string_view part) {
    current_ += part;
    only_digits_ = false;
    last_unquoted_ = '\0';
    started_ = true;
  }

  // Reads a double-quoted part that starts at `i`; returns the index after its closing quote.
  std::size_t double_quoted(std::size_t i) {
    std::string part;
    const std::size_t n = text_.size();
    while (i < n && text_[i] != '"') {
      if (text_[i] == '\\' && i + 1 < n &&
          kEscapedInDoubleQuotes.find(text_[i + 1]) != std::string_view::npos) {
        if (text_[i + 1] != '\n') part += text_[i + 1];
        i += 2;
      } else {
        part += text_[i++];
      }
    }
    append_quoted(part);
    return i + 1;
  }

  bool extended_pattern_open() const { return started_ && opens_extended_pattern(last_unquoted_); }

  // Takes "(...)" after a pattern character into the word, nested parentheses included.
  std::size_t extended_pattern(std::size_t i) {
    int depth = 0;
    const std::size_t n = text_.size();
    for (; i < n; ++i) {
      const char c = text_[i];
      current_ += c;
      if (c == '(') ++depth;
      if (c == ')' && --depth == 0) return i + 1;
    }
    return n;
  }

  void finish_word() {
    if (!started_) return;
    ShellWord word;
    word.text = std::move(current_);
    word.command = next_command_ && !next_redirect_;
    word.piped = word.command && next_piped_;
    word.redirect = next_redirect_;
    words_.push_back(std::move(word));
    // A redirection may come before the command word ("> out cat x"): it leaves that word to
    // come.
    if (!next_redirect_) {
      next_command_ = false;
      next_piped_ = false;
    }
    next_redirect_ = false;
    current_.clear();
    started_ = false;
    only_digits_ = true;
    last_unquoted_ = '\0';
  }

  std::string_view text_;
  std::vector<ShellWord> words_;
  std::string current_;
  bool started_ = false;       // a word is open (also an empty quoted one: '')
  bool only_digits_ = true;    // the open word is unquoted digits so far
  char last_unquoted_ = '\0';  // the open word's last character, when it was not quoted
  bool next_command_ = true;
  bool next_piped_ = false;
  bool next_redirect_ = false;
};

// One brace group of a word: where it stands and the words it stands for.
struct BraceGroup {
  std::size_t open = 0;
  std::size_t close = 0;
  std::vector<std::string> items;
};

// "{x..y}" or "{x..y..step}" of integers or of single characters; nothing when `inner` is not
// a sequence; `too_many` when it is one with more than `limit` items.
std::optional<std::vector<std::string>> sequence(std::string_view inner, std::size_t limit,
                                                 bool& too_many) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dots = inner.find("..", start);
    if (dots == std::string_view::npos) break;
    parts.push_back(inner.substr(start, dots - start));
    start = dots + 2;
  }
  parts.push_back(inner.substr(start));
  if (parts.size() != 2 && parts.size() != 3) return std::nullopt;
  const auto number = [](std::string_view s) -> std::optional<std::int64_t> {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || error != std::errc() || end != s.data() + s.size()) return std::nullopt;
    // Far enough from the ends that the step arithmetic below cannot overflow.
    if (value > (INT64_MAX >> 2) || value < -(INT64_MAX >> 2)) return std::nullopt;
    return value;
  };
  std::int64_t step = 1;
  if (parts.size() == 3) {
    const auto given = number(parts[2]);
    if (!given) return std::nullopt;
    step = *given == 0 ? 1 : (*given < 0 ? -*given : *given);
  }
  std::int64_t from = 0;
  std::int64_t to = 0;
  bool letters = false;
  if (const auto a = number(parts[0]), b = number(parts[1]); a && b) {
    from = *a;
    to = *b;
  } else if (parts[0].size() == 1 && parts[1].size() == 1) {
    from = static_cast<unsigned char>(parts[0][0]);
    to = static_cast<unsigned char>(parts[1][0]);
    letters = true;
  } else {
    return std::nullopt;
  }
  const std::int64_t span = from <= to ? to - from : from - to;
  if (static_cast<std::uint64_t>(span / step) + 1 > limit) {
    too_many = true;
    return std::nullopt;
  }
  std::vector<std::string> items;
  const std::int64_t direction = from <= to ? step : -step;
  for (std::int64_t v = from; from <= to ? v <= to : v >= to; v += direction) {
    items.push_back(letters ? std::string(1, static_cast<char>(v)) : std::to_string(v));
  }
  return items;
}

// The first group of `word` that brace expansion opens, if any.
std::optional<BraceGroup> first_group(const std::string& word, std::size_t limit, bool& too_many) {
  for (std::size_t open = word.find('{'); open != std::string::npos;
       open = word.find('{', open + 1)) {
    if (open > 0 && word[open - 1] == '$') continue;  // a variable, not alternatives
    int depth = 0;
    std::vector<std::size_t> commas;
    std::size_t close = std::string::npos;
    for (std::size_t j = open; j < word.size(); ++j) {
      if (word[j] == '{') ++depth;
      if (word[j] == '}' && --depth == 0) {
        close = j;
        break;
      }
      if (word[j] == ',' && depth == 1) commas.push_back(j);
    }
    if (close == std::string::npos) return std::nullopt;
    BraceGroup group{open, close, {}};
    if (!commas.empty()) {
      std::size_t start = open + 1;
      commas.push_back(close);
      for (const std::size_t comma : commas) {
        group.items.push_back(word.substr(start, comma - start));
        start = comma + 1;
      }
      return group;
    }
    const std::string_view inner = std::string_view(word).substr(open + 1, close - open - 1);
    if (auto items = sequence(inner, limit, too_many)) {
      group.items = std::move(*items);
      return group;
    }
    if (too_many) return std::nullopt;
  }
  return std::nullopt;
}

bool expand_braces(const std::string& word, std::size_t limit, std::vector<std::string>& out) {
  bool too_many = false;
  const auto group = first_group(word, limit, too_many);
  if (too_many) return false;
  if (!group) {
    out.push_back(word);
    return out.size() <= limit;
  }
  const std::string before = word.substr(0, group->open);
  const std::string after = word.substr(group->close + 1);
  for (const std::string& item : group->items) {
    if (!expand_braces(before + item + after, limit, out)) return false;
  }
  return true;
}

}  // namespace

std::vector<ShellWord> shell_words(std::string_view text) {
  return Lexer(text).run();
}

std::optional<std::vector<std::string>> brace_alternatives(const std::string& word,
                                                           std::size_t limit) {
  std::vector<std::string> out;
  if (!expand_braces(word, limit, out)) return std::nullopt;
  // An empty alternative makes no word at all ("{,a}" is just "a").
  if (out.size() != 1 || out.front() != word) std::erase(out, std::string());
  return out;
}

bool is_variable_name(std::string_view name) {
  if (name.empty() || is_ascii_digit(name.front())) return false;
  for (const char c : name) {
    if (!(c == '_' || is_ascii_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
      return false;
    }
  }
  return true;
}

std::optional<std::string_view> hidden_text(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '`') return text.substr(i, 1);
    if (i + 1 >= text.size()) break;
    const char next = text[i + 1];
    if ((c == '<' || c == '>') && next == '(') return text.substr(i, 2);
    if (c != '$') continue;
    if (next == '(') return text.substr(i, i + 2 < text.size() && text[i + 2] == '(' ? 3 : 2);
    // "$'...'" decodes escapes and "$\"...\"" is translated by the locale's message catalog.
    if (next == '\'' || next == '"') return text.substr(i, 2);
    if (next == '{') {
      const std::size_t close = text.find('}', i + 2);
      if (close == std::string_view::npos) return text.substr(i, 2);
      if (!is_variable_name(text.substr(i + 2, close - i - 2))) {
        return text.substr(i, close + 1 - i);
      }
    }
  }
  return std::nullopt;
}

}  // namespace kavor::tools
