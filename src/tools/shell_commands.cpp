#include "tools/shell_commands.h"

namespace kavor::tools {

namespace {

// One row a command, in the order a reader of a command line meets them: keywords and compound
// commands, prefixes, what fills or declares variables, what runs unseen text, the shells, and
// the commands with folder options.
constexpr ShellCommand kCommands[] = {
    // ---- Keywords and compound commands ----
    {.name = "!", .keyword = true, .why = "negates the status of the command that follows it"},
    {.name = "{", .keyword = true, .compound = true, .why = "groups the commands that follow it"},
    {.name = "if", .keyword = true, .compound = true, .why = "runs a command as its condition"},
    {.name = "then", .keyword = true, .why = "opens the commands run when the condition holds"},
    {.name = "else", .keyword = true, .why = "opens the commands run when it does not"},
    {.name = "elif", .keyword = true, .why = "runs a command as a further condition"},
    {.name = "do", .keyword = true, .why = "opens the body of a loop"},
    {.name = "while",
     .keyword = true,
     .compound = true,
     .repeats = true,
     .why = "repeats its body as long as a command succeeds"},
    {.name = "until",
     .keyword = true,
     .compound = true,
     .repeats = true,
     .why = "repeats its body until a command succeeds"},
    {.name = "for",
     .compound = true,
     .repeats = true,
     .why = "repeats its body once for each word it is given"},
    {.name = "select",
     .compound = true,
     .repeats = true,
     .why = "repeats its body once for each choice made"},
    {.name = "case", .compound = true, .why = "runs the commands of the pattern a word matches"},
    {.name = "[[", .compound = true, .why = "tests a condition"},
    {.name = "function",
     .repeats = true,
     .why = "defines a function, whose body may run any number of times"},

    // ---- Prefixes: they run the command named after their options ----
    {.name = "builtin", .prefix = true, .why = "runs the shell's own command of that name"},
    {.name = "command", .prefix = true, .why = "runs the command of that name, not a function"},
    {.name = "exec",
     .prefix = true,
     .values = "-a",
     .why = "replaces the shell with the command it names"},
    {.name = "nohup", .prefix = true, .why = "runs the command it names, deaf to hang-ups"},
    {.name = "sudo",
     .prefix = true,
     .values = "-u -g -C -h -p -r -t -T -U -R --user --group --close-from --host --prompt --role "
               "--type --command-timeout --other-user --chroot",
     .folders = "-D --chdir",
     .why = "runs the command it names as another user, in the folder -D names"},
    {.name = "env",
     .prefix = true,
     .values = "-u --unset",
     .folders = "-C --chdir",
     .splits = "-S --split-string",
     .why = "runs the command it names with other variables, in the folder -C names"},
    {.name = "nice",
     .prefix = true,
     .values = "-n --adjustment",
     .why = "runs the command it names at another priority"},
    {.name = "timeout",
     .prefix = true,
     .values = "-s -k --signal --kill-after",
     .why = "runs the command it names for a limited time"},
    {.name = "stdbuf",
     .prefix = true,
     .values = "-i -o -e --input --output --error",
     .why = "runs the command it names with other buffering"},
    {.name = "time",
     .prefix = true,
     .values = "-f -o --format --output",
     .why = "runs the command it names and reports its time"},

    // ---- What fills or declares variables ----
    {.name = "read", .fills_variables = true, .why = "fills the variables it names from a line"},
    {.name = "mapfile", .fills_variables = true, .why = "fills the array it names from lines"},
    {.name = "readarray", .fills_variables = true, .why = "fills the array it names from lines"},
    {.name = "getopts",
     .fills_variables = true,
     .why = "fills the variable it names with each option in turn"},
    {.name = "declare", .declares = true, .why = "sets variables, or with -n a name reference"},
    {.name = "typeset", .declares = true, .why = "sets variables, or with -n a name reference"},
    {.name = "local", .declares = true, .why = "sets variables, or with -n a name reference"},
    {.name = "export", .declares = true, .why = "sets variables, or with -n a name reference"},
    {.name = "readonly", .declares = true, .why = "sets variables, or with -n a name reference"},

    // ---- What runs text the check never sees as words ----
    {.name = "eval",
     .runs_unseen_text = true,
     .why = "runs its arguments as a command line read anew"},
    {.name = "alias",
     .runs_unseen_text = true,
     .why = "makes a name stand for a text that runs later"},
    {.name = "xargs", .runs_unseen_text = true, .why = "runs commands built from what it reads"},
    {.name = "parallel", .runs_unseen_text = true, .why = "runs commands built from what it reads"},

    // ---- Shells: fed by a pipe, they run whatever the program before them printed ----
    {.name = "sh", .shell = true, .why = "is a shell"},
    {.name = "bash", .shell = true, .why = "is a shell"},
    {.name = "dash", .shell = true, .why = "is a shell"},
    {.name = "zsh", .shell = true, .why = "is a shell"},
    {.name = "ksh", .shell = true, .why = "is a shell"},
    {.name = "mksh", .shell = true, .why = "is a shell"},
    {.name = "fish", .shell = true, .why = "is a shell"},
    {.name = "csh", .shell = true, .why = "is a shell"},
    {.name = "tcsh", .shell = true, .why = "is a shell"},
    {.name = "busybox", .shell = true, .why = "is a shell among its other programs"},
    {.name = "pwsh", .shell = true, .why = "is a shell"},
    {.name = "powershell", .shell = true, .why = "is a shell"},

    // ---- Commands with options that move them to another folder ----
    {.name = "git", .folders = "-C", .why = "works in the folder -C names"},
    {.name = "make", .folders = "-C --directory", .why = "works in the folder -C names"},
    {.name = "gmake", .folders = "-C --directory", .why = "works in the folder -C names"},
    {.name = "tar", .folders = "-C --directory", .why = "reads and writes in the folder -C names"},
    {.name = "ninja", .folders = "-C", .why = "works in the folder -C names"},
    {.name = "go", .folders = "-C", .why = "works in the folder -C names"},
    {.name = "cargo", .folders = "-C", .why = "works in the folder -C names"},
    {.name = "pnpm", .folders = "-C --dir", .why = "works in the folder -C names"},
    {.name = "yarn", .folders = "--cwd", .why = "works in the folder --cwd names"},
    {.name = "npm", .folders = "--prefix", .why = "works in the folder --prefix names"},
    {.name = "nsenter", .folders = "-w --wd", .why = "runs its command in the folder -w names"},
    {.name = "unshare", .folders = "--wd", .why = "runs its command in the folder --wd names"},
    {.name = "systemd-run",
     .folders = "--working-directory",
     .why = "runs its command in the folder --working-directory names"},
    {.name = "bwrap", .folders = "--chdir", .why = "runs its command in the folder --chdir names"},
};

}  // namespace

const ShellCommand* shell_command(std::string_view name) {
  for (const ShellCommand& command : kCommands) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

}  // namespace kavor::tools
