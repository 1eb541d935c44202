#include "tools/command_scope.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <unordered_set>

#include "platform/text.h"
#include "tools/paths.h"
#include "tools/shell_text.h"
#include "walk/wildmatch.h"

namespace kavor::tools {

namespace {

// Bounds that keep one check short whatever the text; a text past one cannot be judged.
constexpr int kMaxNesting = 4;                  // quoted commands inside quoted commands
constexpr std::size_t kMaxAlternatives = 1024;  // words one word may expand to
constexpr std::size_t kMaxMatches = 4096;       // names the patterns of one text may match
constexpr std::size_t kMaxListed = 65536;       // folder entries read to match them
constexpr std::size_t kMaxFolders = 64;         // folders "cd" may lead to
constexpr std::size_t kMaxPathBytes = 4096;     // the longest path the kernel takes (PATH_MAX)

constexpr std::string_view kSeparators = " \t\n\r\"'`;|&<>()[],=";
constexpr std::string_view kQuotes = "\"'`";
// Characters that make a word worth reading again as a command.
constexpr std::string_view kCommandCharacters = " \t\r\n;&|()<>";
// "$1", "$@", "$?" and the other parameters the shell sets itself.
constexpr std::string_view kSpecialParameters = "0123456789@*#?$!-_";
// What may follow a tilde and name a user or a place on the folder stack.
constexpr std::string_view kUserNameCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-+";
// A bare reference counts as a path only for these folders.
constexpr const char* kFolderVariables[] = {"TMP", "HOME", "TEMP", "TMPDIR", "USERPROFILE"};

// Words after which the next word still names the command.
constexpr std::string_view kKeywords[] = {"!",    "{",  "if",    "then", "else",
                                          "elif", "do", "while", "until"};
// Commands that run the command named after their own options.
constexpr std::string_view kPrefixes[] = {"builtin", "command", "exec",    "nohup",  "sudo",
                                          "env",     "nice",    "timeout", "stdbuf", "time"};
// Commands that run text the check never sees as words: text handed to them to parse again,
// or arguments they build from what they read.
constexpr std::string_view kRunsUnseenText[] = {"eval", "alias", "xargs", "parallel"};
// Shells: fed by a pipe, they run whatever the program before them printed.
constexpr std::string_view kShells[] = {"sh",   "bash", "dash", "zsh",     "ksh",  "mksh",
                                        "fish", "csh",  "tcsh", "busybox", "pwsh", "powershell"};
// Commands that fill the variables they are given with what they read.
// Commands that may run others more than once.
constexpr std::string_view kRepeaters[] = {"for", "while", "until", "select", "function"};
constexpr std::string_view kReaders[] = {"read", "mapfile", "readarray", "getopts"};
constexpr std::string_view kDeclarers[] = {"declare", "typeset", "local", "export", "readonly"};
// Words that open a compound command, which may follow the name of a coprocess.
constexpr std::string_view kCompound[] = {"{",   "if",   "while",  "until",
                                          "for", "case", "select", "[["};

// Options of a command, each written as the shell passes it ("-u", "--unset"), space-separated.
struct CommandOptions {
  std::string_view command;
  // Options of a prefix that take the next word as their value: that word is not the command
  // the prefix runs.
  std::string_view values;
  // Options that name the folder the command works in, or runs another command in.
  std::string_view folders;
};
constexpr CommandOptions kOptions[] = {
    {"env", "-u --unset", "-C --chdir"},
    {"sudo",
     "-u -g -C -h -p -r -t -T -U -R --user --group --close-from --host --prompt --role --type "
     "--command-timeout --other-user --chroot",
     "-D --chdir"},
    {"nice", "-n --adjustment", ""},
    {"timeout", "-s -k --signal --kill-after", ""},
    {"stdbuf", "-i -o -e --input --output --error", ""},
    {"exec", "-a", ""},
    {"time", "-f -o --format --output", ""},
    {"git", "", "-C"},
    {"make", "", "-C --directory"},
    {"gmake", "", "-C --directory"},
    {"tar", "", "-C --directory"},
    {"ninja", "", "-C"},
    {"go", "", "-C"},
    {"cargo", "", "-C"},
    {"pnpm", "", "-C --dir"},
    {"yarn", "", "--cwd"},
    {"npm", "", "--prefix"},
    {"nsenter", "", "-w --wd"},
    {"unshare", "", "--wd"},
    {"systemd-run", "", "--working-directory"},
    {"bwrap", "", "--chdir"},
};
constexpr CommandOptions kNoOptions = {"", "", ""};
// Options of env that have it split a text into a command of its own.
constexpr std::string_view kSplitsText = "-S --split-string";

// Thrown when the text reaches outside or cannot be judged; ends the check.
struct Outside {};

template <std::size_t N>
bool one_of(const std::string_view (&list)[N], std::string_view word) {
  return std::find(std::begin(list), std::end(list), word) != std::end(list);
}

bool starts_path(std::string_view rest) {
  return rest.empty() || rest.front() == '/' || rest.front() == '\\';
}

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_listed_folder(const std::string& name) {
  return std::any_of(std::begin(kFolderVariables), std::end(kFolderVariables),
                     [&](const char* v) { return name == v; });
}

bool all_of_chars(std::string_view s, std::string_view allowed) {
  return s.find_first_not_of(allowed) == std::string_view::npos;
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
  return !word.empty() && (word.front() == '-' ||
                           (is_ascii_digit(word.front()) && all_of_chars(word, "0123456789.smhd")));
}

// A word the shell expands as a pattern.
bool has_pattern(std::string_view word) {
  return word.find_first_of("*?[") != std::string_view::npos ||
         word.find("@(") != std::string_view::npos || word.find("!(") != std::string_view::npos ||
         word.find("+(") != std::string_view::npos;
}

const CommandOptions* options_of(std::string_view command) {
  for (const CommandOptions& options : kOptions) {
    if (options.command == command) return &options;
  }
  return nullptr;
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

// A function definition, "name() ...": its body may run any number of times.
bool defines_function(std::string_view text) {
  for (auto open = text.find('('); open != std::string_view::npos;
       open = text.find('(', open + 1)) {
    const auto close = text.find_first_not_of(" \t", open + 1);
    if (close != std::string_view::npos && text[close] == ')') return true;
  }
  return false;
}

// One path component with pattern characters, matched as the shell matches names: a name
// starting with "." only by a pattern starting with "."; an extended pattern matches any name.
class NamePattern {
 public:
  explicit NamePattern(const std::string& pattern) : pattern_(pattern) {
    extended_ = pattern.find('(') != std::string::npos;
    if (extended_) return;
    Result<walk::detail::Wildmatch> compiled =
        walk::detail::Wildmatch::compile(pattern, walk::detail::Dialect::Tool);
    if (compiled.ok()) compiled_ = std::move(compiled).value();
  }
  bool matches(const std::string& name) const {
    if (!name.empty() && name.front() == '.' && pattern_.front() != '.') return false;
    if (extended_) return true;
    return compiled_ && compiled_->matches(name);
  }

 private:
  std::string pattern_;
  bool extended_ = false;
  std::optional<walk::detail::Wildmatch> compiled_;
};

// Where a word stands, which decides how strictly its variables must be known.
enum class Position {
  Ordinary,  // any argument
  Path,      // must be a path: the target of cd, pushd, source, "." or a redirection
};

// One command of the text: its words from the command word on, and whether a pipe feeds it.
struct Command {
  std::vector<const ShellWord*> words;
  std::vector<const ShellWord*> redirects;
  bool piped = false;
};

class Check {
 public:
  Check(const fs::path& cwd, const Scope& scope, const EnvLookup& env)
      : cwd_(cwd), scope_(scope), env_(env), folders_{cwd} {}

  // Throws Outside (or PathError) when the command may reach outside.
  void run(const std::string& command) {
    // 1. What the text assigns, wherever it stands: a loop may use a value before the line
    //    that sets it.
    judging_ = false;
    read(command, 0);
    // 2. The shell's words, in order, with the folders "cd" leads to.
    judging_ = true;
    read(command, 0);
    // 3. The pieces between quotes and punctuation, from every folder the text may be in.
    for (const std::string& word : command_words(command)) judge_piece(word);
  }

 private:
  // ---- Reading the text as commands ----

  void read(std::string_view text, int depth) {
    if (depth > kMaxNesting || has_hidden_text(text)) throw Outside{};
    if (defines_function(text)) repeats_ = true;
    const std::vector<ShellWord> words = shell_words(text);
    std::vector<Command> commands;
    for (const ShellWord& word : words) {
      if (word.command || commands.empty()) commands.push_back({{}, {}, word.piped});
      (word.redirect ? commands.back().redirects : commands.back().words).push_back(&word);
    }
    for (const Command& command : commands) read_command(command, depth);
  }

  void read_command(const Command& command, int depth) {
    for (const ShellWord* target : command.redirects) {
      judge(target->text, Position::Path);
      // A here-string may feed a shell: "bash <<< cd".
      read(target->text, depth + 1);
    }
    const auto& words = command.words;
    // Assignments, keywords and prefixes come before the command's name.
    std::size_t k = 0;
    const CommandOptions* prefix = nullptr;
    for (; k < words.size(); ++k) {
      const std::string& word = words[k]->text;
      if (assigned_name(word)) {
        assign(word);
      } else if (one_of(kPrefixes, word)) {
        prefix = options_of(word);
        if (prefix == nullptr) prefix = &kNoOptions;
      } else if (prefix != nullptr && prefix_option(word)) {
        // "env -S" runs a text of its own, which may be a shell reading the pipe.
        if (prefix->command == "env" && option_use(kSplitsText, word).any()) throw Outside{};
        judge(word, Position::Ordinary);
        const OptionUse folder = option_use(prefix->folders, word);
        if (folder.glued) move_to({*folder.glued});
        if ((folder.next || option_use(prefix->values, word).next) && k + 1 < words.size()) {
          ++k;
          if (folder.next) {
            move_to({words[k]->text});
          } else {
            judge(words[k]->text, Position::Ordinary);
          }
        }
        continue;
      } else if (!one_of(kKeywords, word)) {
        break;
      }
      judge(word, Position::Ordinary);
    }
    if (k == words.size()) {
      // Prefixes with nothing to run ("sudo -s", "sudo -i") start a shell, which reads the pipe.
      if (prefix != nullptr && command.piped && judging_) throw Outside{};
      return;
    }
    const std::string& name = words[k]->text;
    std::vector<std::string> args;
    for (std::size_t i = k + 1; i < words.size(); ++i) args.push_back(words[i]->text);

    check_name(name, command.piped);
    judge(name, Position::Ordinary);
    read_again_if_command(name, "", depth);
    const std::string base = basename_of(name);
    // "function NAME BODY" and "coproc [NAME] COMMAND": the body is a command of its own.
    if ((base == "function" || base == "coproc") && k + 1 < words.size()) {
      const bool named =
          base == "function" || (k + 2 < words.size() && one_of(kCompound, words[k + 2]->text));
      Command body;
      body.words.assign(words.begin() + static_cast<std::ptrdiff_t>(k + (named ? 2 : 1)),
                        words.end());
      read_command(body, depth);
    }
    enter_option_folders(base, args);
    if (base == "cd" || base == "pushd") {
      change_folder(args, base == "cd");
      return;
    }
    if (one_of(kRepeaters, base)) repeats_ = true;
    if (base == "for" || base == "select") loop_values(args);
    if (one_of(kReaders, base)) fill_unknown(args, false);
    if (base == "printf") fill_unknown(args, true);
    if (one_of(kDeclarers, base)) declare(args);
    bool path_next = base == "source" || base == ".";
    std::string previous = name;
    for (const std::string& arg : args) {
      const bool path = path_next && !arg.empty() && arg.front() != '-';
      judge(arg, path ? Position::Path : Position::Ordinary);
      if (path) path_next = false;
      read_again_if_command(arg, previous, depth);
      previous = arg;
    }
  }

  // Quoted text that reads as a command may be run by a shell the text starts ("sh -c",
  // "bash <<<", "trap", "find -exec sh -c"): it is read as one.
  void read_again_if_command(const std::string& word, const std::string& previous, int depth) {
    const bool after_c =
        previous.size() >= 2 && previous[0] == '-' && previous[1] != '-' && previous.back() == 'c';
    if (after_c || word.find_first_of(kCommandCharacters) != std::string::npos) {
      read(word, depth + 1);
    }
  }

  // A command name the check cannot read, or a command that runs text the check never sees.
  void check_name(const std::string& name, bool piped) {
    if (!judging_) return;
    for (std::size_t at = name.find('$'); at != std::string::npos; at = name.find('$', at + 1)) {
      std::size_t end = at + 1;
      if (end < name.size() && name[end] == '{') ++end;
      std::string variable;
      while (end < name.size() && is_name_char(name[end])) variable += name[end++];
      if (variable.empty()) continue;
      // Only a value the environment gives is known for what it is; one the text sets may be
      // "cd" or "eval".
      if (values_.count(variable) || unknown_.count(variable) || !env_(variable)) {
        throw Outside{};
      }
    }
    // A command word that brace expansion or a pattern rewrites ("{cd,..}", "c[d]") is not the
    // command that runs. "[" and "[[" are the test commands.
    if (name != "[" && name != "[[" && has_pattern(name)) throw Outside{};
    const auto alternatives = brace_alternatives(name, kMaxAlternatives);
    if (!alternatives || alternatives->size() != 1 || alternatives->front() != name) {
      throw Outside{};
    }
    const std::string base = basename_of(name);
    if (one_of(kRunsUnseenText, base)) throw Outside{};
    if (piped && one_of(kShells, base)) throw Outside{};
  }

  // ---- What the text assigns ----

  // A value the text gives a variable is kept as written; one built from other variables
  // ("d=$HOME/x", "PATH+=:bin") is expanded where the variable is used.
  void assign(const std::string& word) {
    if (judging_) return;
    const std::string name = *assigned_name(word);
    // Word splitting at other characters makes pieces of values the check never sees whole.
    if (name == "IFS") throw Outside{};
    const auto equals = word.find('=');
    std::string value = word.substr(equals + 1);
    if (word[equals - 1] == '+') value = "${" + name + "}" + value;
    add_values(name, value);
  }

  void add_values(const std::string& name, const std::string& value) {
    auto alternatives = brace_alternatives(value, kMaxAlternatives);
    if (!alternatives) {
      unknown_.insert(name);
      return;
    }
    auto& values = values_[name];
    values.insert(values.end(), alternatives->begin(), alternatives->end());
    if (values.size() > kMaxAlternatives) unknown_.insert(name);
  }

  // "for NAME in words": NAME takes each word; without "in", the script's arguments.
  void loop_values(const std::vector<std::string>& args) {
    if (judging_ || args.empty() || !is_variable_name(args[0])) return;
    if (args.size() < 2 || args[1] != "in") {
      unknown_.insert(args[0]);
      return;
    }
    for (std::size_t i = 2; i < args.size(); ++i) add_values(args[0], args[i]);
  }

  // The variables "read", "mapfile" or "getopts" fill (every name among the arguments), or
  // "printf -v NAME".
  void fill_unknown(const std::vector<std::string>& args, bool printf) {
    if (judging_) return;
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (!printf) {
        if (is_variable_name(args[i])) unknown_.insert(args[i]);
      } else if (args[i] == "-v" && i + 1 < args.size()) {
        unknown_.insert(args[i + 1]);
      } else if (args[i].rfind("-v", 0) == 0) {
        unknown_.insert(args[i].substr(2));
      }
    }
  }

  void declare(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
      // A name reference makes one variable stand for another.
      if (!arg.empty() && arg.front() == '-' && arg.find('n') != std::string::npos) throw Outside{};
      if (assigned_name(arg)) assign(arg);
    }
  }

  // ---- Folders ----

  void change_folder(const std::vector<std::string>& args, bool cd) {
    if (!judging_) return;
    std::vector<std::string> targets;
    bool options = true;
    for (const std::string& arg : args) {
      if (arg == "-") throw Outside{};  // the previous folder, which the text does not name
      if (options && arg == "--") {
        options = false;
      } else if (options && arg.size() > 1 && (arg[0] == '-' || (!cd && arg[0] == '+'))) {
        // An option of cd, or a place on the folder stack, which holds folders judged here.
      } else {
        targets.push_back(arg);
      }
    }
    if (cd && targets.empty()) throw Outside{};  // "cd" alone goes home
    if (cdpath_set()) {
      for (const std::string& target : targets) {
        if (target.empty() || std::string_view("/.~").find(target.front()) == std::string::npos) {
          throw Outside{};
        }
      }
    }
    move_to(targets);
  }

  // The folders a command's own options send it to ("git -C DIR", "make --directory=DIR",
  // "cmake -E chdir DIR"): the text's relative paths may be read from there.
  void enter_option_folders(const std::string& base, const std::vector<std::string>& args) {
    const CommandOptions* options = options_of(base);
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (base == "cmake" && args[i] == "-E" && i + 2 < args.size() && args[i + 1] == "chdir") {
        move_to({args[i + 2]});
      }
      if (options == nullptr) continue;
      const OptionUse folder = option_use(options->folders, args[i]);
      if (folder.glued) move_to({*folder.glued});
      if (folder.next && i + 1 < args.size()) move_to({args[i + 1]});
    }
  }

  // Adds the folders `targets` lead to to those the text may be in.
  void move_to(const std::vector<std::string>& targets) {
    if (!judging_) return;
    // From every folder the text may be in, and, where a loop or a function may repeat a climb
    // that stays inside once, from the scope's own folders too.
    std::vector<fs::path> from = folders_;
    if (repeats_) {
      from.push_back(scope_.root);
      from.insert(from.end(), scope_.extras.begin(), scope_.extras.end());
    }
    std::vector<fs::path> landed;
    for (const std::string& target : targets) judge(target, Position::Path, &from, &landed);
    for (const fs::path& folder : landed) {
      if (std::find(folders_.begin(), folders_.end(), folder) == folders_.end()) {
        folders_.push_back(folder);
      }
    }
    if (folders_.size() > kMaxFolders) throw Outside{};
  }

  bool cdpath_set() const {
    const auto value = env_("CDPATH");
    return (value && !value->empty()) || values_.count("CDPATH") || unknown_.count("CDPATH");
  }

  // ---- Words ----

  // Judges one word of the shell's cut: its brace alternatives, the value glued to a switch or
  // after "=", its variables, and the paths that makes.
  void judge(const std::string& word, Position position,
             const std::vector<fs::path>* from = nullptr, std::vector<fs::path>* landed = nullptr) {
    if (!judging_ || word.empty()) return;
    if (has_hidden_text(word)) throw Outside{};
    // "find ... -exec" puts every name it visits, ".." among them, where "{}" stands: where a
    // path must be, that is a path the text does not name.
    if (position == Position::Path && word.find("{}") != std::string::npos) throw Outside{};
    const auto alternatives = brace_alternatives(word, kMaxAlternatives);
    if (!alternatives) throw Outside{};
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
        for (const std::string& path : expand(form, position)) {
          judge_path(path, from ? *from : folders_, landed);
        }
      }
    }
  }

  // A piece of the first cut: the leading reference forms of the environment are expanded,
  // and a bare reference counts only for the listed folders.
  void judge_piece(std::string word) {
    if (word.size() > 2 && word[0] == '-' && word[1] != '-') word = word.substr(2);
    for (const std::string& path : expand_leading(word)) judge_path(path, folders_, nullptr);
  }

  // The values the text gives a variable, those built from other variables expanded. Inside
  // such a value the variable itself stands for what it held before: "PATH=$PATH:bin".
  std::vector<std::string> text_values(const std::string& name, int depth) {
    if (unknown_.count(name)) throw Outside{};
    const auto it = values_.find(name);
    if (it == values_.end() || expanding_.count(name)) return {};
    std::vector<std::string> values;
    expanding_.insert(name);
    for (const std::string& value : it->second) {
      for (std::string& v : expand(value, Position::Ordinary, depth + 1)) {
        values.push_back(std::move(v));
      }
    }
    expanding_.erase(name);
    return values;
  }

  // The environment's value; "$PWD" is the current folder, "$OLDPWD" one the text never names.
  std::optional<std::string> env_value(const std::string& name, bool leading) const {
    if (name == "PWD") return leading ? std::string(".") : cwd_.string();
    if (name == "OLDPWD") return std::nullopt;
    return env_(name);
  }

  // Tilde and variables of a word of the shell's cut; every string it may stand for.
  std::vector<std::string> expand(const std::string& form, Position position, int depth = 0) {
    if (depth > kMaxNesting) throw Outside{};
    const std::string word = expand_tilde(form);
    if (word.find('$') == std::string::npos) return {word};
    if (const auto lone = lone_reference(word)) {
      std::vector<std::string> values = text_values(*lone, depth);
      const auto env = env_value(*lone, true);
      if (position == Position::Path) {
        if (env) values.push_back(*env);
        // Empty or unset, the word disappears: "cd $X" is "cd".
        if (values.empty() || std::any_of(values.begin(), values.end(),
                                          [](const std::string& v) { return v.empty(); })) {
          throw Outside{};
        }
      } else if (env && is_listed_folder(*lone)) {
        values.push_back(*env);  // any other lone "$NAME" of the environment names no file
      }
      return values;
    }

    // References among other text: every combination of their values. The environment's value
    // counts where the reference makes whole path components ("a/$X/b"); glued to other text
    // ("$PATH:bin") it is left as written, as the first cut leaves it.
    std::vector<std::string> results = {""};
    std::size_t i = 0;
    while (i < word.size()) {
      const auto dollar = word.find('$', i);
      const std::string literal = word.substr(i, dollar == std::string::npos ? dollar : dollar - i);
      for (std::string& r : results) r += literal;
      if (dollar == std::string::npos) break;
      std::size_t end = dollar + 1;
      std::string name;
      bool special = false;
      if (end < word.size() && word[end] == '{') {
        const auto close = word.find('}', end);
        name = word.substr(end + 1, close - end - 1);  // a plain name: hidden text was refused
        end = close + 1;
      } else if (end < word.size() && kSpecialParameters.find(word[end]) != std::string::npos &&
                 !(word[end] == '_' && end + 1 < word.size() && is_name_char(word[end + 1]))) {
        special = true;
        ++end;
      } else {
        while (end < word.size() && is_name_char(word[end])) name += word[end++];
      }
      if (!special && name.empty()) {
        for (std::string& r : results) r += '$';  // a dollar sign that names nothing
        i = dollar + 1;
        continue;
      }
      const bool leading = dollar == 0;
      const bool whole =
          (leading || word[dollar - 1] == '/') && (end == word.size() || word[end] == '/');
      const bool builds_path = leading && end < word.size() && starts_path(word.substr(end));
      std::vector<std::string> values;
      if (!special) {
        values = text_values(name, depth);
        const auto env = env_value(name, leading);
        if (env && (whole || builds_path || position == Position::Path)) {
          values.push_back(*env);
        } else if (env && values.empty()) {
          values.push_back(word.substr(dollar, end - dollar));
        }
      }
      if (values.empty()) {
        if (position == Position::Path || builds_path) throw Outside{};
        values = {""};
      }
      std::vector<std::string> next;
      for (const std::string& r : results) {
        for (const std::string& v : values) next.push_back(r + v);
      }
      if (next.size() > kMaxAlternatives) throw Outside{};
      results = std::move(next);
      i = end;
    }
    return results;
  }

  // "~" and "~/x" are the home folder, "~+" the current one.
  std::string expand_tilde(const std::string& word) const {
    if (word.empty() || word.front() != '~') return word;
    const auto slash = word.find('/');
    const std::string prefix = word.substr(1, slash == std::string::npos ? slash : slash - 1);
    const std::string rest = slash == std::string::npos ? "" : word.substr(slash);
    if (prefix.empty()) {
      const auto home = env_("HOME");
      if (!home || home->empty()) throw Outside{};
      return *home + rest;
    }
    if (prefix == "+") return "." + rest;
    // "~name" (a user's home), "~-" (the previous folder), "~N" (the folder stack). Other text
    // after a tilde names no user and stays as written ("~5%").
    if (all_of_chars(prefix, kUserNameCharacters)) throw Outside{};
    return word;
  }

  // "$NAME" or "${NAME}" making up the whole word.
  static std::optional<std::string> lone_reference(const std::string& word) {
    if (word.size() > 1 && word[0] == '$' && is_variable_name(word.substr(1))) {
      return word.substr(1);
    }
    if (word.size() > 3 && word.rfind("${", 0) == 0 && word.back() == '}' &&
        is_variable_name(word.substr(2, word.size() - 3))) {
      return word.substr(2, word.size() - 3);
    }
    return std::nullopt;
  }

  // The first cut's leading "~", "$NAME", "${NAME}", "$env:NAME" or "%NAME%"; nothing when the
  // word starts with a reference that does not stand for a folder here.
  std::vector<std::string> expand_leading(const std::string& word) {
    if (word.empty() || word == "-" || word.find("://") != std::string::npos) return {};
    if (word.front() == '~') {
      if (!starts_path(std::string_view(word).substr(1))) return {};  // judged in the shell's cut
      const auto home = env_("HOME");
      if (!home || home->empty()) throw Outside{};
      return {*home + word.substr(1)};
    }
    std::string name;
    std::size_t end = 0;
    bool percent = false;
    if (word.rfind("$env:", 0) == 0) {
      end = 5;
      while (end < word.size() && is_name_char(word[end])) name += word[end++];
    } else if (word.rfind("${", 0) == 0) {
      const auto close = word.find('}');
      if (close == std::string::npos) return {};
      name = word.substr(2, close - 2);
      end = close + 1;
    } else if (word.front() == '$') {
      end = 1;
      while (end < word.size() && is_name_char(word[end])) name += word[end++];
    } else if (word.front() == '%') {
      const auto close = word.find('%', 1);
      if (close == std::string::npos) return {word};
      name = word.substr(1, close - 1);
      end = close + 1;
      percent = true;
    } else {
      return {word};
    }
    if (name.empty()) return {};
    const std::string rest = word.substr(end);
    if (!starts_path(rest)) return {};
    if (rest.empty() && !is_listed_folder(name)) return {};
    std::vector<std::string> values;
    if (percent) {
      // cmd leaves an unknown %NAME% as written.
      const auto value = env_(name);
      if (!value || value->empty()) return {};
      values = {*value};
    } else {
      values = text_values(name, 0);
      if (const auto env = env_value(name, true)) values.push_back(*env);
      if (values.empty() && !rest.empty()) throw Outside{};  // "$X/y" with X unset is "/y"
    }
    std::vector<std::string> paths;
    for (const std::string& value : values) {
      if (!value.empty() || !rest.empty()) paths.push_back(value + rest);
    }
    return paths;
  }

  // ---- Paths ----

  void judge_path(const std::string& word, const std::vector<fs::path>& from,
                  std::vector<fs::path>* landed) {
    if (word.empty() || word == "-") return;
    std::string text = word;
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
      return;
    }
    const fs::path given(text);
    const std::vector<fs::path> bases = given.is_absolute() ? std::vector<fs::path>{{}} : from;
    for (const fs::path& base : bases) {
      const fs::path joined = given.is_absolute() ? given : base / given;
      if (has_pattern(text)) {
        for (const fs::path& match : matches(joined)) check(match, landed);
      } else {
        check(joined, landed);
      }
    }
  }

  // Resolves a path as the file tools do, and as the kernel does (".." after a link leads to
  // the link target's parent); both must be inside.
  void check(const fs::path& path, std::vector<fs::path>* landed) {
    if (landed == nullptr && !checked_.insert(path.string()).second) return;
    if (path.native().size() > kMaxPathBytes) {
      // The kernel refuses a path this long whole, so no link in it is ever followed; resolving
      // it a component at a time would cost its length squared (a long quoted text is read as
      // one word too).
      if (!scope_.contains(normalize(path))) throw Outside{};
      return;
    }
    const fs::path by_text = canonical_prefix(normalize(path));
    const bool climbs = std::find(path.begin(), path.end(), "..") != path.end();
    const fs::path by_kernel = climbs ? canonical_prefix(path) : by_text;
    if (!scope_.contains(by_text) || !scope_.contains(by_kernel)) throw Outside{};
    if (landed != nullptr) {
      landed->push_back(by_text);
      if (by_kernel != by_text) landed->push_back(by_kernel);
    }
  }

  // The paths a pattern stands for now: each component with pattern characters is matched
  // against the entries of the folders before it. A component that matches nothing stays as
  // written, as the shell leaves a word that matches nothing.
  std::vector<fs::path> matches(const fs::path& pattern) {
    std::vector<fs::path> found = {pattern.root_path()};
    for (const fs::path& part : pattern.relative_path()) {
      const std::string component = part.string();
      if (!has_pattern(component)) {
        for (fs::path& f : found) f /= part;
        continue;
      }
      const NamePattern names(component);
      // Some shells (dash, which "sh -c" runs) let ".*" match "..".
      const bool climbs = component.front() == '.' && names.matches("..");
      std::vector<fs::path> next;
      for (const fs::path& folder : found) {
        if (climbs) next.push_back(folder / "..");
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
          if (++listed_ > kMaxListed) throw Outside{};
          const std::string name = it->path().filename().string();
          if (!names.matches(name)) continue;
          next.push_back(folder / name);
          if (++matched_ > kMaxMatches) throw Outside{};
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

  fs::path cwd_;
  const Scope& scope_;
  const EnvLookup& env_;
  bool judging_ = false;
  bool repeats_ = false;           // a loop or function may run some commands more than once
  std::vector<fs::path> folders_;  // where the text may be
  std::map<std::string, std::vector<std::string>> values_;  // values the text assigns
  std::set<std::string> unknown_;                           // variables filled unseen
  std::set<std::string> expanding_;                         // values being expanded now
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

bool command_reaches_outside(const std::string& command, const fs::path& cwd, const Scope& scope,
                             const EnvLookup& env) {
  try {
    Check(cwd, scope, env).run(command);
    return false;
  } catch (const Outside&) {
    return true;
  } catch (const PathError&) {
    return true;  // more links than the kernel follows
  }
}

}  // namespace kavor::tools
