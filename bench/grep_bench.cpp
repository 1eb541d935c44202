// Runs the grep tool over a folder the way a call does (decode, then run) and reports how long
// the run took and how large the answer was. bench/run-grep times it against another searcher.
//
//   grep_bench [-i] [--print] FOLDER PATTERN
//                          one run; prints "{bytes} bytes of output in {ms} ms", or with
//                          --print the output itself
//   grep_bench --generate FOLDER [FILES]
//                          create the deterministic benchmark tree
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/json.h"
#include "tools/file_tools.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: grep_bench [-i] [--print] FOLDER PATTERN\n"
               "       grep_bench --generate FOLDER [FILES]\n");
  return 2;
}

struct Lcg {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
};

bool write_file(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  return std::fclose(f) == 0 && ok;
}

// One source-like line; every 40009th line carries the rare word the benchmark looks for.
void append_line(Lcg& rng, std::uint64_t line, std::string& out) {
  static const char* const kWords[] = {"let",    "value",  "return", "struct",  "impl",    "for",
                                       "while",  "match",  "buffer", "index",   "parse",   "config",
                                       "result", "error",  "handle", "request", "token",   "stream",
                                       "Option", "String", "Vec",    "self",    "context", "state"};
  const std::uint32_t indent = rng.below(4) * 4;
  out.append(indent, ' ');
  const std::uint32_t words = 2 + rng.below(10);
  for (std::uint32_t w = 0; w < words; ++w) {
    if (w > 0) out.push_back(rng.below(5) == 0 ? '.' : ' ');
    out += kWords[rng.below(std::size(kWords))];
    if (rng.below(7) == 0) out += std::to_string(rng.below(1000));
  }
  if (line % 40009 == 17) out += " // zebraquokka marker";
  out += rng.below(3) == 0 ? ";\n" : " {\n";
}

// Folders four levels deep; files of 2 to 20 KB of source-like text; ignore files that exclude
// a folder name and an extension; a node_modules folder; a few binary and oversized files.
int generate(const std::string& root, std::size_t total_files) {
  static const char* const kFolders[] = {"src",   "lib",  "core", "util",   "net",
                                         "build", "docs", "api",  ".config"};
  static const char* const kExtensions[] = {".rs", ".c", ".h", ".ts", ".md", ".txt", ".log"};
  Lcg rng{7};
  std::vector<std::string> folders{root};
  if (mkdir(root.c_str(), 0755) != 0) {
    std::perror(root.c_str());
    return 1;
  }
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const auto depth = static_cast<std::size_t>(std::count(
        folders[i].begin() + static_cast<std::ptrdiff_t>(root.size()), folders[i].end(), '/'));
    if (depth >= 4) continue;
    for (int k = 0; k < 6; ++k) {
      const std::string path =
          folders[i] + "/" + kFolders[rng.below(std::size(kFolders))] + "_" + std::to_string(k);
      if (mkdir(path.c_str(), 0755) == 0) folders.push_back(path);
    }
  }
  const std::string modules = root + "/node_modules";
  mkdir(modules.c_str(), 0755);
  folders.push_back(modules);
  if (!write_file(root + "/.gitignore", "*.log\nbuild_*/\n")) return 1;

  std::uint64_t line = 0;
  std::uint64_t bytes = 0;
  std::string content;
  for (std::size_t n = 0; n < total_files; ++n) {
    const std::string& folder = folders[rng.below(static_cast<std::uint32_t>(folders.size()))];
    const std::string path =
        folder + "/file_" + std::to_string(n) + kExtensions[rng.below(std::size(kExtensions))];
    content.clear();
    const std::size_t target = 2000 + rng.below(18000);
    while (content.size() < target) append_line(rng, line++, content);
    if (n % 997 == 3) content[0] = '\0';                // binary
    if (n % 4999 == 11) content.append(3u << 20, 'z');  // above the size limit
    if (!write_file(path, content)) {
      std::perror(path.c_str());
      return 1;
    }
    bytes += content.size();
  }
  std::printf("%zu folders, %zu files, %llu bytes\n", folders.size(), total_files,
              static_cast<unsigned long long>(bytes));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--generate") == 0)
    return generate(argv[2], argc >= 4 ? std::strtoul(argv[3], nullptr, 10) : 20000);

  bool ignore_case = false;
  bool print = false;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-'; ++arg) {
    if (std::strcmp(argv[arg], "-i") == 0) {
      ignore_case = true;
    } else if (std::strcmp(argv[arg], "--print") == 0) {
      print = true;
    } else {
      return usage();
    }
  }
  if (argc - arg != 2) return usage();
  char* real = realpath(argv[arg], nullptr);
  if (real == nullptr) {
    std::perror(argv[arg]);
    return 2;
  }
  kavor::tools::Scope scope;
  scope.root = real;
  std::free(real);

  const kavor::common::Json args = {
      {"path", "."}, {"pattern", argv[arg + 1]}, {"ignore_case", ignore_case}};
  const auto begin = std::chrono::steady_clock::now();
  auto decoded = kavor::tools::grep_tool()(args, scope);
  if (!decoded.ok()) {
    std::fprintf(stderr, "%s\n", decoded.message().c_str());
    return 1;
  }
  const kavor::tools::ToolResult result = decoded.value().run(nullptr);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  if (!result.ok()) {
    std::fprintf(stderr, "%s\n", result.message().c_str());
    return 1;
  }
  if (print) {
    std::fwrite(result.value().output.data(), 1, result.value().output.size(), stdout);
    std::fputc('\n', stdout);
  } else {
    std::printf("%zu bytes of output in %.1f ms\n", result.value().output.size(), ms);
  }
  return 0;
}
