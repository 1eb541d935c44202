// Lists the files below a folder whose relative path matches a glob, the way the glob tool
// walks (ignore files honoured, hidden files included, ".git" and "node_modules" skipped), and
// prints them one per line. bench/run-walk times it against another file finder.
//
//   walk_glob_bench FOLDER PATTERN         print the matching paths
//   walk_glob_bench --time N FOLDER PATTERN
//                                          walk N times in this process, print the median
//   walk_glob_bench --generate FOLDER [FILES]
//                                          create the deterministic benchmark tree
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "walk/glob.h"
#include "walk/walker.h"

namespace {

using kavor::walk::Glob;
using kavor::walk::WalkEntry;
using kavor::walk::WalkNext;
using kavor::walk::WalkOptions;

int usage() {
  std::fprintf(stderr,
               "usage: walk_glob_bench FOLDER PATTERN\n"
               "       walk_glob_bench --time N FOLDER PATTERN\n"
               "       walk_glob_bench --generate FOLDER [FILES]\n");
  return 2;
}

// Walks and matches; calls `emit` for every match. Returns the number of matches.
template <typename Emit>
std::size_t list_matches(const std::string& folder, const Glob& glob, Emit&& emit) {
  std::size_t matches = 0;
  WalkOptions options;
  kavor::walk::walk(folder, options, [&](const WalkEntry& e) {
    if (glob.matches(e.rel)) {
      ++matches;
      emit(e.rel);
    }
    return WalkNext::Continue;
  });
  return matches;
}

// A small linear congruential generator: the same tree on every machine.
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

// Folders five levels deep, five sub-folders each, files spread over them, with ignore files
// that exclude whole folders, extensions and single names, and re-include some of them.
int generate(const std::string& root, std::size_t total_files) {
  static const char* const kExtensions[] = {".rs",  ".c", ".h",  ".txt", ".md",    ".json",
                                            ".log", ".o", ".RS", ".tmp", ".rs.bak"};
  static const char* const kFolders[] = {"src",    "lib", "core", "util",    "net",
                                         "target", "gen", "docs", ".hidden", "a b"};
  Lcg rng{42};
  std::vector<std::string> folders{root};
  if (mkdir(root.c_str(), 0755) != 0) {
    std::perror(root.c_str());
    return 1;
  }
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const std::size_t depth = static_cast<std::size_t>(std::count(
        folders[i].begin() + static_cast<std::ptrdiff_t>(root.size()), folders[i].end(), '/'));
    if (depth >= 5) continue;
    for (int k = 0; k < 5; ++k) {
      const std::string name =
          std::string(kFolders[rng.below(std::size(kFolders))]) + "_" + std::to_string(k);
      const std::string path = folders[i] + "/" + (k == 0 && rng.below(4) == 0 ? "target" : name);
      if (mkdir(path.c_str(), 0755) == 0) folders.push_back(path);
    }
  }
  if (!write_file(root + "/.gitignore", "*.log\n*.o\ntarget/\n/docs_*/\n*.tmp\n!keep.tmp\n"))
    return 1;
  for (std::size_t i = 1; i < folders.size(); i += 37) {
    if (!write_file(folders[i] + "/.gitignore",
                    "!important.log\n/gen_*/\n**/util_*/*.rs\n!**/util_*/main.rs\n"))
      return 1;
  }
  for (std::size_t n = 0; n < total_files; ++n) {
    const std::string& folder = folders[rng.below(static_cast<std::uint32_t>(folders.size()))];
    std::string name;
    switch (rng.below(20)) {
      case 0:
        name = ".env" + std::to_string(n);
        break;
      case 1:
        name = "keep.tmp";
        break;
      case 2:
        name = "important.log";
        break;
      case 3:
        name = "main.rs";
        break;
      default:
        name = "file " + std::to_string(n) + kExtensions[rng.below(std::size(kExtensions))];
    }
    if (!write_file(folder + "/" + name, "x\n")) {
      std::perror(name.c_str());
      return 1;
    }
  }
  std::printf("%zu folders, %zu files\n", folders.size(), total_files);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--generate") == 0)
    return generate(argv[2], argc >= 4 ? std::strtoul(argv[3], nullptr, 10) : 100000);

  int runs = 0;
  int arg = 1;
  if (argc >= 2 && std::strcmp(argv[1], "--time") == 0) {
    if (argc < 3) return usage();
    runs = std::atoi(argv[2]);
    arg = 3;
  }
  if (argc - arg != 2) return usage();
  const std::string folder = argv[arg];
  const kavor::Result<Glob> glob =
      Glob::compile(kavor::walk::normalize_glob_pattern(argv[arg + 1]));
  if (!glob.ok()) {
    std::fprintf(stderr, "Bad glob pattern: %s\n", glob.message().c_str());
    return 2;
  }

  if (runs > 0) {
    std::vector<double> ms;
    std::size_t matches = 0;
    for (int i = 0; i < runs; ++i) {
      const auto begin = std::chrono::steady_clock::now();
      matches = list_matches(folder, glob.value(), [](std::string_view) {});
      ms.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
              .count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%zu matches, median %.2f ms over %d runs\n", matches, ms[ms.size() / 2], runs);
    return 0;
  }

  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  list_matches(folder, glob.value(), [](std::string_view rel) {
    std::fwrite(rel.data(), 1, rel.size(), stdout);
    std::fputc('\n', stdout);
  });
  return std::fflush(stdout) == 0 ? 0 : 1;
}
