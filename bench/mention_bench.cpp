// Timing programs for the workspace mention index; bench/run-mention drives them against fd
// and fzf on the same trees.
//
//   mention_bench --generate FOLDER ENTRIES   create the deterministic benchmark tree
//   mention_bench --list FOLDER               print the paths a full walk records, one a line
//   mention_bench --walk FOLDER [THREADS]     walk and record, print the count (timed whole)
//   mention_bench --load FOLDER RUNS          save FOLDER's index file, then read it RUNS times;
//                                             print the median load time
//   mention_bench --search FOLDER LIST FZF ROUNDS QUERY...
//                                             type each query key by key through ws_search's
//                                             core and run `FZF --filter` on the same prefix
//                                             over LIST (the paths of the index), interleaved;
//                                             print median and 99th percentile of both
//   mention_bench --memory FOLDER             resident memory of an open index of FOLDER,
//                                             loaded from its file
//   mention_bench --load-fresh FOLDER RUNS    save FOLDER's index file, then load it once in
//                                             each of RUNS fresh processes; print the median
//                                             and spread of the load, of opening the index
//                                             until it is searchable, and of the floor: reading
//                                             the file's bytes and walking its records
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/utf8.h"
#include "mention/index_file.h"
#include "mention/mentions.h"
#include "mention/walk_settings.h"

extern char** environ;

namespace {

using namespace kavor::mention;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int usage() {
  std::fprintf(stderr,
               "usage: mention_bench --generate FOLDER ENTRIES | --list FOLDER | --walk FOLDER |\n"
               "       --load FOLDER RUNS | --search FOLDER LIST FZF ROUNDS QUERY... |\n"
               "       --memory FOLDER | --load-fresh FOLDER RUNS\n");
  return 2;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of this process in ms: under a loaded machine a steadier figure than the wall clock.
double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
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

// A tree shaped like a large project: folders of source files several levels deep, tests and
// docs, hidden tool folders, some Persian names, and ignore files that exclude logs, build
// output and one folder, with a re-inclusion.
int generate(const std::string& root, std::size_t total) {
  static const char* const kFolderWords[] = {
      "src",    "lib",        "components", "utils", "services",
      "models", "views",      "api",        "core",  "internal",
      "pkg",    "handlers",   "tests",      "docs",  "scripts",
      "config", "assets",     "styles",     "hooks", "store",
      "routes", "middleware", "helpers",    "types", "گزارش‌ها",
      "اسناد"};
  static const char* const kFileWords[] = {
      "user",    "account", "session", "router", "button",  "modal",    "table",      "index",
      "main",    "app",     "server",  "client", "request", "response", "parser",     "token",
      "cache",   "logger",  "config",  "schema", "query",   "payment",  "invoice",    "order",
      "product", "search",  "filter",  "list",   "item",    "view",     "controller", "service",
      "helper",  "util",    "test",    "design", "readme",  "کتاب",     "گزارش",      "فاکتور"};
  static const char* const kExtensions[] = {".ts", ".tsx",  ".js",  ".py", ".rs", ".go",  ".java",
                                            ".md", ".json", ".css", ".c",  ".h",  ".cpp", ".log"};
  Lcg rng{7};
  if (mkdir(root.c_str(), 0755) != 0) {
    std::perror(root.c_str());
    return 1;
  }
  const auto write = [](const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  };
  write(root + "/.gitignore", "*.log\n/dist-out/\n!keep.log\n");
  write(root + "/README.md", "");
  std::vector<std::string> folders{root};
  std::size_t made = 2;
  const auto name = [&](bool camel) {
    std::string n = kFileWords[rng.below(std::size(kFileWords))];
    std::string second = kFileWords[rng.below(std::size(kFileWords))];
    if (camel && static_cast<unsigned char>(second[0]) < 0x80) {
      second[0] = static_cast<char>(std::toupper(second[0]));
      return n + second;
    }
    return n + "_" + second;
  };
  while (made < total) {
    const std::string& parent = folders[rng.below(static_cast<std::uint32_t>(folders.size()))];
    const auto depth =
        std::count(parent.begin() + static_cast<std::ptrdiff_t>(root.size()), parent.end(), '/');
    if (depth < 8 && rng.below(12) == 0) {
      std::string folder = parent + "/" + kFolderWords[rng.below(std::size(kFolderWords))];
      if (rng.below(20) == 0) folder = parent + "/." + kFolderWords[rng.below(10)];
      if (rng.below(3) == 0) folder += std::to_string(rng.below(100));
      if (mkdir(folder.c_str(), 0755) == 0) {
        folders.push_back(folder);
        ++made;
        if (rng.below(40) == 0) write(folder + "/.ignore", "*.tmp\n");
      }
      continue;
    }
    std::string file = parent + "/" + name(rng.below(2) == 0) +
                       (rng.below(4) == 0 ? std::to_string(rng.below(1000)) : "") +
                       kExtensions[rng.below(std::size(kExtensions))];
    const int fd = open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) {
      close(fd);
      ++made;
    }
  }
  std::printf("created %zu entries in %zu folders\n", made, folders.size());
  return 0;
}

// As the worker walks: the top folders shared among the cores, at most four (or `threads`).
std::vector<Entry> walk_all(const std::string& folder, bool* truncated = nullptr,
                            unsigned threads = 0) {
  std::vector<Entry> out;
  if (threads == 0) threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 4u));
  const WalkOutcome o =
      walk_entries_shared({folder, ""}, threads, [&](Entry e) { out.push_back(std::move(e)); });
  if (truncated) *truncated = o.truncated;
  return out;
}

Root root_of(const std::string& folder) {
  kavor::Result<Root> root = resolve_root(folder);
  if (!root.ok()) {
    std::fprintf(stderr, "%s\n", root.message().c_str());
    std::exit(1);
  }
  return std::move(root).value();
}

// Opens the folder's index and waits until the worker has loaded or walked it.
void wait_ready(Mentions& mentions, const Root& root) {
  for (;;) {
    const auto info = mentions.open_info(root).value();
    if (!info.indexing) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string scratch_folder() {
  std::string pattern = (fs::temp_directory_path() / "mention-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return pattern;
}

long resident_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Whether a load gives back what the walk recorded, field by field.
bool same_entries(const std::vector<Entry>& a, const std::vector<Entry>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Entry& x, const Entry& y) {
    return x.path == y.path && x.mtime == y.mtime && x.name_at == y.name_at && x.depth == y.depth &&
           x.is_dir == y.is_dir && x.chars == y.chars;
  });
}

int load(const std::string& folder, int runs) {
  const Root root = root_of(folder);
  std::vector<Entry> entries = walk_all(root.path);
  sort_unique(entries);
  const std::string scratch = scratch_folder();
  const std::string file = scratch + "/index.idx";
  if (!write_index_file(file, serialize_index(root.text, {}, entries))) return 1;
  std::vector<double> times;
  std::vector<double> cpu;
  std::size_t count = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const double cpu_start = cpu_ms();
    const auto content = load_index_file(file, root.text);
    times.push_back(ms_since(start));
    cpu.push_back(cpu_ms() - cpu_start);
    if (!content) return 1;
    count = content->entries.size();
    if (i == 0 && !same_entries(content->entries, entries)) {
      std::fprintf(stderr, "the loaded entries differ from the walked ones\n");
      return 1;
    }
  }
  std::printf("load of %zu entries (%lld bytes): median %.1f ms (%.1f ms CPU) over %d runs\n",
              count, static_cast<long long>(fs::file_size(file)), percentile(times, 0.5),
              percentile(cpu, 0.5), runs);
  fs::remove_all(scratch);
  return 0;
}

// Runs `fzf --filter QUERY` over the list; wall time in ms, its peak resident memory in kB.
double run_fzf(const std::string& fzf, const std::string& list, const std::string& query,
               long* peak_kb, double* cpu) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, list.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {fzf, "--filter", query};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, fzf.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double ms = ms_since(start);
  posix_spawn_file_actions_destroy(&actions);
  if (peak_kb) *peak_kb = std::max(*peak_kb, usage.ru_maxrss);
  const auto tv_ms = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
  };
  if (cpu) *cpu = tv_ms(usage.ru_utime) + tv_ms(usage.ru_stime);
  return ms;
}

int search(const std::string& folder, const std::string& list, const std::string& fzf, int rounds,
           const std::vector<std::string>& queries) {
  const std::string scratch = scratch_folder();
  Mentions mentions(IndexLocation{scratch, true}, {});
  const Root root = root_of(folder);
  wait_ready(mentions, root);
  {
    // The list fzf reads: the same paths, one a line.
    auto handle = mentions.open(root);
    std::shared_lock lock(handle->index.lock);
    std::ofstream out(list, std::ios::binary);
    for (const Entry& e : handle->index.entries) out << e.path << '\n';
    std::printf("index of %zu entries\n", handle->index.entries.size());
  }
  std::vector<double> ours;
  std::vector<double> theirs;
  std::vector<double> ours_cpu;
  std::vector<double> theirs_cpu;
  long fzf_peak_kb = 0;
  std::size_t hits = 0;
  for (int round = 0; round < rounds; ++round) {
    for (const std::string& query : queries) {
      // Key by key, as the user types.
      for (std::size_t pos = 0; pos < query.size();) {
        kavor::common::next_code_point(query, pos);
        const std::string typed = query.substr(0, pos);
        const auto start = Clock::now();
        const double cpu_start = cpu_ms();
        const auto resolved = resolve_root(folder);  // as the command does, every keystroke
        const SearchReply reply = mentions.search(resolved.value(), typed, kDefaultLimit);
        ours.push_back(ms_since(start));
        ours_cpu.push_back(cpu_ms() - cpu_start);
        hits += reply.hits.size();
        if (!fzf.empty()) {
          double their_cpu = 0;
          theirs.push_back(run_fzf(fzf, list, typed, &fzf_peak_kb, &their_cpu));
          theirs_cpu.push_back(their_cpu);
        }
      }
    }
  }
  std::printf(
      "ws_search over %d rounds, %zu keystrokes: median %.2f ms, p99 %.2f ms "
      "(CPU median %.2f ms, p99 %.2f ms)\n",
      rounds, ours.size(), percentile(ours, 0.5), percentile(ours, 0.99), percentile(ours_cpu, 0.5),
      percentile(ours_cpu, 0.99));
  if (!theirs.empty()) {
    std::printf(
        "fzf --filter, same keystrokes: median %.2f ms, p99 %.2f ms (CPU median %.2f ms, p99 "
        "%.2f ms), peak memory %ld kB\n",
        percentile(theirs, 0.5), percentile(theirs, 0.99), percentile(theirs_cpu, 0.5),
        percentile(theirs_cpu, 0.99), fzf_peak_kb);
    std::printf("ratio (ours / fzf): median %.3f, p99 %.3f\n",
                percentile(ours, 0.5) / percentile(theirs, 0.5),
                percentile(ours, 0.99) / percentile(theirs, 0.99));
  }
  std::fprintf(stderr, "(%zu hits in all)\n", hits);
  fs::remove_all(scratch);
  return 0;
}

// Resident memory of an index loaded from its file, measured in a fresh process so that no
// memory freed by the walk that wrote the file is counted or reused.
int memory(const std::string& folder, const char* self) {
  const std::string scratch = scratch_folder();
  const Root root = root_of(folder);
  {
    std::vector<Entry> entries = walk_all(root.path);
    sort_unique(entries);
    const std::string file = index_file_path({scratch, true}, root.text);
    if (!write_index_file(file, serialize_index(root.text, {}, entries))) return 1;
  }
  std::vector<std::string> args = {self, "--memory-open", folder, scratch};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return 1;
  int status = 0;
  waitpid(pid, &status, 0);
  fs::remove_all(scratch);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int memory_open(const std::string& folder, const std::string& scratch) {
  const Root root = root_of(folder);
  const long before = resident_kb();
  Mentions mentions(IndexLocation{scratch, true}, {});
  wait_ready(mentions, root);
  // Let the start-up check settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long after = resident_kb();
  const auto info = mentions.open_info(root).value();
  std::printf(
      "open index of %llu entries, loaded from its file: %.1f MB resident (process %.1f "
      "MB, of which %.1f MB before opening)\n",
      static_cast<unsigned long long>(info.count), (after - before) / 1024.0, after / 1024.0,
      before / 1024.0);
  return 0;
}

// ---- Loads in fresh processes ----
//
// A load in a long-running process reuses the memory an earlier load freed; the first load of
// a program's life pays for every page it touches. Each figure below comes from a process of
// its own that does one thing and reports its times on its standard output.

// Reads the file into memory and walks its records (lengths only): what the disk and the
// memory cost before anything is checked or built. The count of entries, or -1.
long long read_and_walk(const std::string& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  fstat(fd, &st);
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  if (got != bytes.size()) return -1;
  std::size_t pos = 0;
  const auto u32 = [&] {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + pos, 4);
    pos += 4;
    return v;
  };
  const auto u16 = [&] {
    std::uint16_t v = 0;
    std::memcpy(&v, bytes.data() + pos, 2);
    pos += 2;
    return v;
  };
  pos = 8;
  pos += u32();  // root text
  for (std::uint32_t picks = u32(); picks > 0; --picks) pos += u16();
  const std::uint32_t count = u32();
  std::uint64_t seen = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t n = u16();
    seen += static_cast<unsigned char>(bytes[pos]);  // touch the path
    pos += n + 5;
  }
  return pos + 8 == bytes.size() && seen > 0 ? static_cast<long long>(count) : -1;
}

// One timed thing in this process: prints "WALL_MS CPU_MS COUNT".
int fresh_child(const std::string& what, const std::string& folder, const std::string& scratch) {
  const Root root = root_of(folder);
  const std::string file = index_file_path({scratch, true}, root.text);
  long long count = -1;
  const auto start = Clock::now();
  const double cpu_start = cpu_ms();
  std::optional<IndexFileContent> content;  // freed after the timing, as the index keeps it
  if (what == "load") {
    content = load_index_file(file, root.text);
    if (content) count = static_cast<long long>(content->entries.size());
  } else if (what == "floor") {
    count = read_and_walk(file);
  } else if (what == "open") {
    // Searchable once the entries are in, which the worker announces before it goes on to
    // check the folders.
    const long long expected = std::atoll(std::getenv("MENTION_BENCH_EXPECTED"));
    std::mutex mutex;
    std::condition_variable announced;
    std::vector<Clock::time_point> announcements;
    Mentions mentions(IndexLocation{scratch, true}, [&](const std::string&, std::uint64_t) {
      std::lock_guard lock(mutex);
      announcements.push_back(Clock::now());
      announced.notify_all();
    });
    const auto opened = Clock::now();
    const double cpu_opened = cpu_ms();
    mentions.open(root);
    double wall = 0;
    for (std::size_t seen = 0;; ++seen) {
      {
        std::unique_lock lock(mutex);
        announced.wait(lock, [&] { return announcements.size() > seen; });
        wall = std::chrono::duration<double, std::milli>(announcements[seen] - opened).count();
      }
      const auto info = mentions.open_info(root).value();
      if (static_cast<long long>(info.count) >= expected) {
        count = static_cast<long long>(info.count);
        break;
      }
    }
    std::printf("%.3f %.3f %lld\n", wall, cpu_ms() - cpu_opened, count);
    std::fflush(stdout);
    std::_Exit(0);  // nothing is saved: the file stays as the parent wrote it
  }
  std::printf("%.3f %.3f %lld\n", ms_since(start), cpu_ms() - cpu_start, count);
  return count < 0 ? 1 : 0;
}

struct FreshTimes {
  std::vector<double> wall;
  std::vector<double> cpu;
  long long count = -1;
};

bool spawn_child(const char* self, const std::vector<std::string>& args_in, FreshTimes& out) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<std::string> args{self};
  args.insert(args.end(), args_in.begin(), args_in.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  if (spawned != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  double wall = 0;
  double cpu = 0;
  long long count = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(text.c_str(), "%lf %lf %lld", &wall, &cpu, &count) != 3 || count < 0)
    return false;
  out.wall.push_back(wall);
  out.cpu.push_back(cpu);
  out.count = count;
  return true;
}

int load_fresh(const std::string& folder, int runs, const char* self) {
  const std::string scratch = scratch_folder();
  const Root root = root_of(folder);
  std::string file = index_file_path({scratch, true}, root.text);
  {
    std::vector<Entry> entries = walk_all(root.path);
    sort_unique(entries);
    if (!write_index_file(file, serialize_index(root.text, {}, entries))) return 1;
    setenv("MENTION_BENCH_EXPECTED", std::to_string(entries.size()).c_str(), 1);
  }
  FreshTimes load_t;
  FreshTimes open_t;
  FreshTimes floor_t;
  // Interleaved, so that a busy moment of the machine falls on all three alike.
  for (int i = 0; i < runs; ++i) {
    if (!spawn_child(self, {"--fresh-child", "load", folder, scratch}, load_t) ||
        !spawn_child(self, {"--fresh-child", "open", folder, scratch}, open_t) ||
        !spawn_child(self, {"--fresh-child", "floor", folder, scratch}, floor_t)) {
      std::fprintf(stderr, "a fresh process failed\n");
      fs::remove_all(scratch);
      return 1;
    }
  }
  const auto line = [&](const char* what, const FreshTimes& t) {
    std::printf("%s: median %.1f ms (spread %.1f-%.1f ms; %.1f ms CPU) over %d fresh processes\n",
                what, percentile(t.wall, 0.5), percentile(t.wall, 0), percentile(t.wall, 1),
                percentile(t.cpu, 0.5), runs);
  };
  std::printf("fresh-process load of %lld entries (%lld bytes):\n", load_t.count,
              static_cast<long long>(fs::file_size(file)));
  line("  load (open to entries ready)", load_t);
  line("  open to searchable index", open_t);
  line("  floor (read the bytes, walk the records)", floor_t);
  std::printf("  ratio load / floor: median %.2f\n",
              percentile(load_t.wall, 0.5) / percentile(floor_t.wall, 0.5));
  fs::remove_all(scratch);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  if (mode == "--generate" && argc == 4)
    return generate(argv[2], std::strtoull(argv[3], nullptr, 10));
  if (mode == "--list" && argc == 3) {
    for (const Entry& e : walk_all(argv[2])) std::printf("%s\n", e.path.c_str());
    return 0;
  }
  if (mode == "--walk" && (argc == 3 || argc == 4)) {
    bool truncated = false;
    const unsigned threads = argc == 4 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
    const auto entries = walk_all(argv[2], &truncated, threads);
    std::printf("%zu%s\n", entries.size(), truncated ? " (truncated)" : "");
    return 0;
  }
  if (mode == "--load" && argc == 4) return load(argv[2], std::atoi(argv[3]));
  if (mode == "--search" && argc >= 7) {
    std::vector<std::string> queries(argv + 6, argv + argc);
    return search(argv[2], argv[3], argv[4], std::atoi(argv[5]), queries);
  }
  if (mode == "--memory" && argc == 3) return memory(argv[2], argv[0]);
  if (mode == "--memory-open" && argc == 4) return memory_open(argv[2], argv[3]);
  if (mode == "--load-fresh" && argc == 4) return load_fresh(argv[2], std::atoi(argv[3]), argv[0]);
  if (mode == "--fresh-child" && argc == 5) return fresh_child(argv[2], argv[3], argv[4]);
  return usage();
}
