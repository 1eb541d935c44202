#include "tools/command_scope.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <unordered_set>

#include "platform/text.h"
#include "tools/paths.h"
#include "tools/shell_commands.h"
#include "tools/shell_text.h"
#include "tools/word_expansion.h"
#include "walk/name_pattern.h"

namespace kavor::tools {

namespace {

// Bounds that keep one check short whatever the text; a text past one cannot be judged.
constexpr std::size_t kMaxMatches = 4096;    // names the patterns of one text may match
constexpr std::size_t kMaxListed = 65536;    // folder entries read to match them
constexpr std::size_t kMaxFolders = 64;      // folders "cd" may lead to
constexpr std::size_t kMaxPathBytes = 4096;  // the longest path the kernel takes (PATH_MAX)

constexpr std::string_view kSeparators = " \t\n\r\"'`;|&<>()[],=";
constexpr std::string_view kQuotes = "\"'`";
// Characters that make a word worth reading again as a command.
constexpr std::string_view kCommandCharacters = " \t\r\n;&|()<>";

// Nothing while the text stays inside; the first reason it reaches outside once one is found,
// which ends the check. Every step's answer is looked at: one dropped would let a text through.
class [[nodiscard]] Found {
 public:
  Found() = default;
  Found(OutsideReason reason) : reason_(std::move(reason)) {}
  explicit operator bool() const { return reason_.has_value(); }
  std::optional<OutsideReason> take() { return std::move(reason_); }

 private:
  std::optional<OutsideReason> reason_;
};

// A form the shell only fills in while it runs ("$(", "${X:-/etc}").
OutsideReason hidden(std::string_view form) {
  return outside(std::string(form), "stands for text only known once the command runs");
}

// A command word the shell rewrites before it runs it ("{cd,..}", "c[d]", "$a").
OutsideReason rewritten(const std::string& name) {
  return outside(name, "is a command name the shell may turn into any command");
}

std::string basename_of(const std::string& word) {
  const auto slash = word.find_last_of('/');
  return slash == std::string::npos ? word : word.substr(slash + 1);
}

// "NAME=value", "NAME+=value" or "NAME[i]=value": the name, or nothing.
std::optional<std::string> assigned_name(const std::string& word) {
  const auto equals = word.find('=');
  if (equals == std::string::npos || equals == 0) return std::nullopt;
  std::string name = word.substr(0, equals);
  if (name.back() == '+') name.pop_back();
  const auto bracket = name.find('[');
  if (bracket != std::string::npos && name.back() == ']') name = name.substr(0, bracket);
  if (!is_variable_name(name)) return std::nullopt;
  return name;
}

// An option or duration given to a prefix command ("timeout 5s", "nice -n 10").
bool prefix_option(const std::string& word) {
  return !word.empty() &&
         (word.front() == '-' || (is_ascii_digit(word.front()) &&
                                  word.find_first_not_of("0123456789.smhd") == std::string::npos));
}

// A word the shell expands as a pattern.
bool has_pattern(std::string_view word) {
  return word.find_first_of("*?[") != std::string_view::npos ||
         word.find("@(") != std::string_view::npos || word.find("!(") != std::string_view::npos ||
         word.find("+(") != std::string_view::npos;
}

bool listed(std::string_view list, std::string_view option) {
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = std::min(list.find(' ', start), list.size());
    if (list.substr(start, end - start) == option) return true;
    start = end + 1;
  }
  return false;
}

// What an option word does with the options in `list`: nothing, take the next word as its value,
// or carry its value glued on ("-Cdir", "-kCdir", "--chdir=dir").
struct OptionUse {
  bool next = false;
  std::optional<std::string> glued;
  bool any() const { return next || glued; }
};

OptionUse option_use(std::string_view list, const std::string& word) {
  if (list.empty() || word.size() < 2 || word[0] != '-') return {};
  if (word[1] == '-') {
    const auto equals = word.find('=');
    if (!listed(list, std::string_view(word).substr(0, equals))) return {};
    if (equals == std::string::npos) return {true, std::nullopt};
    return {false, word.substr(equals + 1)};
  }
  // Short options may be bundled: the first that takes a value takes the rest of the word, or
  // the next word when it is the last.
  for (std::size_t i = 1; i < word.size(); ++i) {
    if (!listed(list, std::string{'-', word[i]})) continue;
    if (i + 1 == word.size()) return {true, std::nullopt};
    return {false, word.substr(i + 1)};
  }
  return {};
}

// How the text writes a folder option before its folder: "git -C " or, glued, "make -kC".
std::string option_lead(std::string_view command, const std::string& option, const OptionUse& use) {
  const std::string written =
      use.glued ? option.substr(0, option.size() - use.glued->size()) : option + " ";
  return std::string(command) + " " + written;
}

// A function definition, "name() ...": its body may run any number of times.
bool defines_function(std::string_view text) {
  for (auto open = text.find('('); open != std::string_view::npos;
       open = text.find('(', open + 1)) {
    const auto close = text.find_first_not_of(" \t", open + 1);
    if (close != std::string_view::npos && text[close] == ')') return true;
  }
  return false;
}

// One path component with pattern characters, matched as the shell matches names. An extended
// pattern ("@(a|b)") is taken to match every name the shell shows it; a malformed one matches
// none, and the shell leaves it as written.
class ComponentPattern {
 public:
  explicit ComponentPattern(const std::string& component)
      : component_(component), extended_(component.find('(') != std::string::npos) {
    if (extended_) return;
    if (Result<walk::NamePattern> compiled = walk::NamePattern::compile(component); compiled.ok())
      compiled_ = std::move(compiled).value();
  }
  bool matches(const std::string& name) const {
    if (extended_) return !walk::NamePattern::hidden_from(component_, name);
    return compiled_ && compiled_->matches(name);
  }

 private:
  std::string component_;
  bool extended_;
  std::optional<walk::NamePattern> compiled_;
};

// Where a path the text names leads.
enum class Place {
  Inside,
  Outside,       // by its text
  ThroughLink,   // inside by its text, outside once its links are followed
  PastLinkLimit  // through more links than the kernel follows
};

// A word that moves the folder later words are read from ("cd DIR", "git -C DIR"): the folders
// it is read from, those it lands in, and how the text writes the move before the word.
struct Move {
  const std::vector<fs::path>& from;
  std::vector<fs::path>& landed;
  std::string lead;  // "cd ", "git -C ", "make -kC"
};

OutsideReason place_reason(Place place, const std::string& word, const Move* move) {
  const std::string shown = in_quotes((move ? move->lead : "") + word) + " ";
  switch (place) {
    case Place::Inside:
    case Place::Outside:
      return {word,
              shown + (move ? "leaves the workspace." : "names a place outside the workspace.")};
    case Place::ThroughLink:
      return {word, shown + (move ? "leaves the workspace through a link."
                                  : "leads outside the workspace through a link.")};
    case Place::PastLinkLimit:
      return {word, shown + "passes through more links than the system follows."};
  }
  return {word, shown + "leaves the workspace."};
}

// One command of the text: its words from the command word on, and whether a pipe feeds it.
struct Command {
  std::vector<const ShellWord*> words;
  std::vector<const ShellWord*> redirects;
  bool piped = false;
};

class Check {
 public:
  Check(const fs::path& cwd, const Scope& scope, const EnvLookup& env)
      : scope_(scope), expansion_(cwd, env), folders_{cwd} {}

  Found run(const std::string& command) {
    // 1. What the text assigns, wherever it stands: a loop may use a value before the line
    //    that sets it.
    judging_ = false;
    if (Found found = read(command, 0)) return found;
    // 2. The shell's words, in order, with the folders "cd" leads to.
    judging_ = true;
    if (Found found = read(command, 0)) return found;
    // 3. The pieces between quotes and punctuation, from every folder the text may be in.
    for (const std::string& word : command_words(command)) {
      if (Found found = judge_piece(word)) return found;
    }
    return {};
  }

 private:
  // ---- Reading the text as commands ----

  Found read(std::string_view text, int depth) {
    if (depth > kMaxNesting) {
      return outside(std::string(text),
                     "is quoted more than " + std::to_string(kMaxNesting) + " levels deep");
    }
    if (const auto form = hidden_text(text)) return hidden(*form);
    if (defines_function(text)) repeats_ = true;
    const std::vector<ShellWord> words = shell_words(text);
    std::vector<Command> commands;
    for (const ShellWord& word : words) {
      if (word.command || commands.empty()) commands.push_back({{}, {}, word.piped});
      (word.redirect ? commands.back().redirects : commands.back().words).push_back(&word);
    }
    for (const Command& command : commands) {
      if (Found found = read_command(command, depth)) return found;
    }
    return {};
  }

  Found read_command(const Command& command, int depth) {
    for (const ShellWord* target : command.redirects) {
      if (Found found = judge(target->text, Position::Path)) return found;
      // A here-string may feed a shell: "bash <<< cd".
      if (Found found = read(target->text, depth + 1)) return found;
    }
    const auto& words = command.words;
    // Assignments, keywords and prefixes come before the command's name.
    std::size_t k = 0;
    const ShellCommand* prefix = nullptr;
    for (; k < words.size(); ++k) {
      const std::string& word = words[k]->text;
      const ShellCommand* known = shell_command(word);
      if (assigned_name(word)) {
        if (Found found = assign(word)) return found;
      } else if (known != nullptr && known->prefix) {
        prefix = known;
      } else if (prefix != nullptr && prefix_option(word)) {
        // "env -S" runs a text of its own, which may be a shell reading the pipe.
        if (option_use(prefix->splits, word).any()) {
          return outside(std::string(prefix->name) + " " + word,
                         "makes a text into a command that may be anything");
        }
        if (Found found = judge(word, Position::Ordinary)) return found;
        const OptionUse folder = option_use(prefix->folders, word);
        if (folder.glued) {
          if (Found found = move_to({*folder.glued}, option_lead(prefix->name, word, folder))) {
            return found;
          }
        }
        if ((folder.next || option_use(prefix->values, word).next) && k + 1 < words.size()) {
          ++k;
          Found found = folder.next
                            ? move_to({words[k]->text}, option_lead(prefix->name, word, folder))
                            : judge(words[k]->text, Position::Ordinary);
          if (found) return found;
        }
        continue;
      } else if (known == nullptr || !known->keyword) {
        break;
      }
      if (Found found = judge(word, Position::Ordinary)) return found;
    }
    if (k == words.size()) {
      // Prefixes with nothing to run ("sudo -s", "sudo -i") start a shell, which reads the pipe.
      if (prefix != nullptr && command.piped && judging_) {
        return outside(std::string(prefix->name),
                       "with nothing to run starts a shell, which runs what the pipe feeds it");
      }
      return {};
    }
    const std::string& name = words[k]->text;
    std::vector<std::string> args;
    for (std::size_t i = k + 1; i < words.size(); ++i) args.push_back(words[i]->text);

    if (Found found = check_name(name, command.piped)) return found;
    if (Found found = judge(name, Position::Ordinary)) return found;
    if (Found found = read_again_if_command(name, "", depth)) return found;
    const std::string base = basename_of(name);
    // "function NAME BODY" and "coproc [NAME] COMMAND": the body is a command of its own.
    if ((base == "function" || base == "coproc") && k + 1 < words.size()) {
      const ShellCommand* after_name =
          k + 2 < words.size() ? shell_command(words[k + 2]->text) : nullptr;
      const bool named = base == "function" || (after_name != nullptr && after_name->compound);
      Command body;
      body.words.assign(words.begin() + static_cast<std::ptrdiff_t>(k + (named ? 2 : 1)),
                        words.end());
      if (Found found = read_command(body, depth)) return found;
    }
    if (Found found = enter_option_folders(base, args)) return found;
    if (base == "cd" || base == "pushd") return change_folder(base, args);
    const ShellCommand* known = shell_command(base);
    if (known != nullptr && known->repeats) repeats_ = true;
    if (base == "for" || base == "select") loop_values(args);
    if (known != nullptr && known->fills_variables) {
      fill_unseen(args, "is filled by '" + base + "' while the command runs");
    }
    if (base == "printf") fill_printed(args);
    if (known != nullptr && known->declares) {
      if (Found found = declare(base, args)) return found;
    }
    bool path_next = base == "source" || base == ".";
    std::string previous = name;
    for (const std::string& arg : args) {
      const bool path = path_next && !arg.empty() && arg.front() != '-';
      if (Found found = judge(arg, path ? Position::Path : Position::Ordinary)) return found;
      if (path) path_next = false;
      if (Found found = read_again_if_command(arg, previous, depth)) return found;
      previous = arg;
    }
    return {};
  }

  // Quoted text that reads as a command may be run by a shell the text starts ("sh -c",
  // "bash <<<", "trap", "find -exec sh -c"): it is read as one.
  Found read_again_if_command(const std::string& word, const std::string& previous, int depth) {
    const bool after_c =
        previous.size() >= 2 && previous[0] == '-' && previous[1] != '-' && previous.back() == 'c';
    if (after_c || word.find_first_of(kCommandCharacters) != std::string::npos) {
      return read(word, depth + 1);
    }
    return {};
  }

  // A command name the check cannot read, or a command that runs text the check never sees.
  Found check_name(const std::string& name, bool piped) {
    if (!judging_) return {};
    // Only a value the environment gives is known for what it is; one the text sets may be
    // "cd" or "eval".
    for (const std::string& variable : referenced_variables(name)) {
      if (expansion_.set_by_text(variable) || !expansion_.environment(variable)) {
        return rewritten(name);
      }
    }
    // A command word that brace expansion or a pattern rewrites ("{cd,..}", "c[d]") is not the
    // command that runs. "[" and "[[" are the test commands.
    if (name != "[" && name != "[[" && has_pattern(name)) return rewritten(name);
    const auto alternatives = brace_alternatives(name, kMaxAlternatives);
    if (!alternatives || alternatives->size() != 1 || alternatives->front() != name) {
      return rewritten(name);
    }
    const std::string base = basename_of(name);
    const ShellCommand* known = shell_command(base);
    if (known == nullptr) return {};
    if (known->runs_unseen_text) return outside(base, known->why);
    if (piped && known->shell) return outside(base, "runs whatever the pipe feeds it");
    return {};
  }

  // ---- What the text assigns ----

  Found assign(const std::string& word) {
    if (judging_) return {};
    const std::string name = *assigned_name(word);
    // Word splitting at other characters makes pieces of values the check never sees whole.
    if (name == "IFS") return outside(word, "changes where the shell cuts words");
    const auto equals = word.find('=');
    std::string value = word.substr(equals + 1);
    if (word[equals - 1] == '+') value = "${" + name + "}" + value;
    expansion_.add_value(name, value);
    return {};
  }

  // "for NAME in words": NAME takes each word; without "in", the script's arguments.
  void loop_values(const std::vector<std::string>& args) {
    if (judging_ || args.empty() || !is_variable_name(args[0])) return;
    if (args.size() < 2 || args[1] != "in") {
      expansion_.add_unseen(args[0],
                            "takes the script's arguments, which the command does not show");
      return;
    }
    for (std::size_t i = 2; i < args.size(); ++i) expansion_.add_value(args[0], args[i]);
  }

  // The variables "read", "mapfile" or "getopts" fill: every name among the arguments.
  void fill_unseen(const std::vector<std::string>& args, const std::string& cause) {
    if (judging_) return;
    for (const std::string& arg : args) {
      if (is_variable_name(arg)) expansion_.add_unseen(arg, cause);
    }
  }

  // "printf -v NAME".
  void fill_printed(const std::vector<std::string>& args) {
    if (judging_) return;
    const std::string cause = "is filled by 'printf -v' while the command runs";
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args[i] == "-v" && i + 1 < args.size()) {
        expansion_.add_unseen(args[i + 1], cause);
      } else if (args[i].rfind("-v", 0) == 0) {
        expansion_.add_unseen(args[i].substr(2), cause);
      }
    }
  }

  Found declare(const std::string& base, const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
      // A name reference makes one variable stand for another.
      if (!arg.empty() && arg.front() == '-' && arg.find('n') != std::string::npos) {
        return outside(base + " " + arg, "makes one variable stand for another");
      }
      if (assigned_name(arg)) {
        if (Found found = assign(arg)) return found;
      }
    }
    return {};
  }

  // ---- Folders ----

  Found change_folder(const std::string& base, const std::vector<std::string>& args) {
    if (!judging_) return {};
    const bool cd = base == "cd";
    std::vector<std::string> targets;
    bool options = true;
    for (const std::string& arg : args) {
      if (arg == "-") {
        return outside(base + " -", "goes back to a folder the command does not name");
      }
      if (options && arg == "--") {
        options = false;
      } else if (options && arg.size() > 1 && (arg[0] == '-' || (!cd && arg[0] == '+'))) {
        // An option of cd, or a place on the folder stack, which holds folders judged here.
      } else {
        targets.push_back(arg);
      }
    }
    if (cd && targets.empty()) return outside("cd", "with no folder goes to the home folder");
    if (cdpath_set()) {
      for (const std::string& target : targets) {
        if (target.empty() || std::string_view("/.~").find(target.front()) == std::string::npos) {
          return outside(base + " " + target, "may lead to any folder, since CDPATH is set");
        }
      }
    }
    return move_to(targets, base + " ");
  }

  // The folders a command's own options send it to ("git -C DIR", "make --directory=DIR",
  // "cmake -E chdir DIR"): the text's relative paths may be read from there.
  Found enter_option_folders(const std::string& base, const std::vector<std::string>& args) {
    const ShellCommand* known = shell_command(base);
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (base == "cmake" && args[i] == "-E" && i + 2 < args.size() && args[i + 1] == "chdir") {
        if (Found found = move_to({args[i + 2]}, "cmake -E chdir ")) return found;
      }
      if (known == nullptr) continue;
      const OptionUse folder = option_use(known->folders, args[i]);
      if (folder.glued) {
        if (Found found = move_to({*folder.glued}, option_lead(base, args[i], folder))) {
          return found;
        }
      }
      if (folder.next && i + 1 < args.size()) {
        if (Found found = move_to({args[i + 1]}, option_lead(base, args[i], folder))) {
          return found;
        }
      }
    }
    return {};
  }

  // Adds the folders `targets` lead to to those the text may be in; `lead` is how the text
  // writes the move before each target.
  Found move_to(const std::vector<std::string>& targets, const std::string& lead) {
    if (!judging_) return {};
    // From every folder the text may be in, and, where a loop or a function may repeat a climb
    // that stays inside once, from the scope's own folders too.
    std::vector<fs::path> from = folders_;
    if (repeats_) {
      from.push_back(scope_.root);
      from.insert(from.end(), scope_.extras.begin(), scope_.extras.end());
    }
    std::vector<fs::path> landed;
    const Move move{from, landed, lead};
    for (const std::string& target : targets) {
      if (Found found = judge(target, Position::Path, &move)) return found;
    }
    for (const fs::path& folder : landed) {
      if (std::find(folders_.begin(), folders_.end(), folder) == folders_.end()) {
        folders_.push_back(folder);
      }
    }
    if (folders_.size() > kMaxFolders) {
      return outside(lead + targets.back(),
                     "takes the command to more than " + std::to_string(kMaxFolders) + " folders");
    }
    return {};
  }

  bool cdpath_set() const {
    const auto value = expansion_.environment("CDPATH");
    return (value && !value->empty()) || expansion_.set_by_text("CDPATH");
  }

  // ---- Words ----

  // Judges one word of the shell's cut: its brace alternatives, the value glued to a switch or
  // after "=", its variables, and the paths that makes.
  Found judge(const std::string& word, Position position, const Move* move = nullptr) {
    if (!judging_ || word.empty()) return {};
    if (const auto form = hidden_text(word)) return hidden(*form);
    // "find ... -exec" puts every name it visits, ".." among them, where "{}" stands: where a
    // path must be, that is a path the text does not name.
    if (position == Position::Path && word.find("{}") != std::string::npos) {
      return outside(word, "may be any name find visits, '..' among them");
    }
    const auto alternatives = brace_alternatives(word, kMaxAlternatives);
    if (!alternatives) {
      return outside(word, "expands to more than " + std::to_string(kMaxAlternatives) + " words");
    }
    for (const std::string& alternative : *alternatives) {
      std::vector<std::string> forms = {alternative};
      if (position == Position::Ordinary) {
        if (alternative.size() > 2 && alternative[0] == '-' && alternative[1] != '-') {
          forms.push_back(alternative.substr(2));
        }
        const auto equals = alternative.find('=');
        if (equals != std::string::npos) forms.push_back(alternative.substr(equals + 1));
      }
      for (const std::string& form : forms) {
        Judged<std::vector<std::string>> paths = expansion_.expand(form, position);
        if (!paths.ok()) return paths.reason();
        for (const std::string& path : paths.value()) {
          if (Found found = judge_path(path, word, move)) return found;
        }
      }
    }
    return {};
  }

  // A piece of the first cut: the leading reference forms of the environment are expanded,
  // and a bare reference counts only for the listed folders.
  Found judge_piece(const std::string& piece) {
    const bool switch_glued = piece.size() > 2 && piece[0] == '-' && piece[1] != '-';
    Judged<std::vector<std::string>> paths =
        expansion_.expand_leading(switch_glued ? piece.substr(2) : piece);
    if (!paths.ok()) return paths.reason();
    for (const std::string& path : paths.value()) {
      if (Found found = judge_path(path, piece, nullptr)) return found;
    }
    return {};
  }

  // ---- Paths ----

  // Judges one path a word stands for, from every folder the text may be in (or, for a move,
  // the folders it is read from); `word` is how the text writes it.
  Found judge_path(const std::string& path, const std::string& word, const Move* move) {
    if (path.empty() || path == "-") return {};
    std::string text = path;
    const auto lower = [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    if (text.size() >= 5 && std::equal(text.begin(), text.begin() + 5,
                                       "file:", [&](char a, char b) { return lower(a) == b; })) {
      text = text.substr(5);
      if (text.rfind("//", 0) == 0) {
        const auto slash = text.find('/', 2);  // after the host, if any
        text = slash == std::string::npos ? "/" : text.substr(slash);
      }
    } else if (text.find("://") != std::string::npos) {
      return {};
    }
    const fs::path given(text);
    const std::vector<fs::path>& from = move ? move->from : folders_;
    const std::vector<fs::path> bases = given.is_absolute() ? std::vector<fs::path>{{}} : from;
    std::vector<fs::path>* landed = move ? &move->landed : nullptr;
    for (const fs::path& base : bases) {
      const fs::path joined = given.is_absolute() ? given : base / given;
      std::vector<fs::path> paths = {joined};
      if (has_pattern(text)) {
        Judged<std::vector<fs::path>> found = matches(joined, word);
        if (!found.ok()) return found.reason();
        paths = std::move(found.value());
      }
      for (const fs::path& p : paths) {
        const Place place = check(p, landed);
        if (place != Place::Inside) return place_reason(place, word, move);
      }
    }
    return {};
  }

  // Resolves a path as the file tools do, and as the kernel does (".." after a link leads to
  // the link target's parent); both must be inside.
  Place check(const fs::path& path, std::vector<fs::path>* landed) {
    if (landed == nullptr && !checked_.insert(path.string()).second) return Place::Inside;
    const fs::path lexical = normalize(path);
    if (path.native().size() > kMaxPathBytes) {
      // The kernel refuses a path this long whole, so no link in it is ever followed; resolving
      // it a component at a time would cost its length squared (a long quoted text is read as
      // one word too).
      return scope_.contains(lexical) ? Place::Inside : Place::Outside;
    }
    fs::path by_text;
    fs::path by_kernel;
    try {
      by_text = canonical_prefix(lexical);
      const bool climbs = std::find(path.begin(), path.end(), "..") != path.end();
      by_kernel = climbs ? canonical_prefix(path) : by_text;
    } catch (const PathError&) {
      return Place::PastLinkLimit;
    }
    if (!scope_.contains(by_text) || !scope_.contains(by_kernel)) {
      return scope_.contains(lexical) ? Place::ThroughLink : Place::Outside;
    }
    if (landed != nullptr) {
      landed->push_back(by_text);
      if (by_kernel != by_text) landed->push_back(by_kernel);
    }
    return Place::Inside;
  }

  // The paths a pattern stands for now: each component with pattern characters is matched
  // against the entries of the folders before it. A component that matches nothing stays as
  // written, as the shell leaves a word that matches nothing.
  Judged<std::vector<fs::path>> matches(const fs::path& pattern, const std::string& word) {
    std::vector<fs::path> found = {pattern.root_path()};
    for (const fs::path& part : pattern.relative_path()) {
      const std::string component = part.string();
      if (!has_pattern(component)) {
        for (fs::path& f : found) f /= part;
        continue;
      }
      const ComponentPattern names(component);
      // Some shells (dash, which "sh -c" runs) let ".*" match "..".
      const bool climbs = component.front() == '.' && names.matches("..");
      std::vector<fs::path> next;
      for (const fs::path& folder : found) {
        if (climbs) next.push_back(folder / "..");
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
          if (++listed_ > kMaxListed) {
            return outside(
                word, "makes the check read more than " + std::to_string(kMaxListed) + " names");
          }
          const std::string name = it->path().filename().string();
          if (!names.matches(name)) continue;
          next.push_back(folder / name);
          if (++matched_ > kMaxMatches) {
            return outside(word, "brings the names matched past " + std::to_string(kMaxMatches));
          }
        }
      }
      if (next.empty()) {
        for (fs::path& f : found) f /= part;
      } else {
        found = std::move(next);
      }
    }
    return found;
  }

  const Scope& scope_;
  WordExpansion expansion_;
  bool judging_ = false;
  bool repeats_ = false;           // a loop or function may run some commands more than once
  std::vector<fs::path> folders_;  // where the text may be
  std::unordered_set<std::string> checked_;
  std::size_t matched_ = 0;
  std::size_t listed_ = 0;
};

}  // namespace

EnvLookup process_environment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
}

std::vector<std::string> command_words(const std::string& command) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= command.size()) {
    const std::size_t end = command.find_first_of(kSeparators, start);
    std::string word =
        command.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const auto first = word.find_first_not_of(kQuotes);
    word = first == std::string::npos
               ? std::string()
               : word.substr(first, word.find_last_not_of(kQuotes) - first + 1);
    if (!word.empty() && word != "-" && word.find("://") == std::string::npos)
      words.push_back(word);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return words;
}

std::optional<OutsideReason> command_reaches_outside(const std::string& command,
                                                     const fs::path& cwd, const Scope& scope,
                                                     const EnvLookup& env) {
  return Check(cwd, scope, env).run(command).take();
}

}  // namespace kavor::tools
