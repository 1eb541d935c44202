// The open indexes with their real workers over real folders: inotify, threads, index files.
#include "mention/mentions.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "common/timing.h"
#include "mention/walk_settings.h"
#include "mention/worker.h"
#include "tree.h"

namespace kavor::mention {
namespace mentions_test {
namespace {

using namespace std::chrono_literals;
using test::TempTree;
namespace fs = std::filesystem;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return done();
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Runs the workers' clocks faster for one test.
class Speedup {
 public:
  explicit Speedup(int factor) { common::timing::set_speedup(factor); }
  ~Speedup() { common::timing::set_speedup(1); }
};

void create_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
}

// Fills `folder` with `count` names, all hard links of one file: many entries for the walk at
// a fraction of the cost of as many files.
void fill_with_links(const std::string& folder, int count, const std::string& stem = "f") {
  fs::create_directories(folder);
  const std::string first = folder + "/" + stem + "0";
  create_file(first);
  for (int i = 1; i < count; ++i) {
    const std::string name = folder + "/" + stem + std::to_string(i);
    ASSERT_EQ(::link(first.c_str(), name.c_str()), 0) << name;
  }
}

class MentionsTest : public ::testing::Test {
 protected:
  Mentions& mentions() {
    if (!mentions_) {
      mentions_ = std::make_unique<Mentions>(
          IndexLocation{data_ / "mention-index", true},
          [this](const std::string& root, std::uint64_t revision) {
            {
              std::lock_guard lock(mutex_);
              events_.emplace_back(root, revision);
            }
            if (on_event_) on_event_(root);
          },
          entry_cap_);
    }
    return *mentions_;
  }
  // Ends every worker (they save), as the application does at exit.
  void restart() { mentions_.reset(); }

  Root root_of(const std::string& text) {
    Result<Root> r = resolve_root(text);
    if (!r.ok()) {
      ADD_FAILURE() << r.message();
      return Root{};
    }
    return std::move(r).value();
  }
  std::vector<std::string> found(const Root& root, const std::string& query,
                                 std::size_t limit = 100) {
    std::vector<std::string> out;
    for (const Hit& h : mentions().search(root, query, limit).hits) out.push_back(h.path);
    return out;
  }
  bool finds(const Root& root, const std::string& query, const std::string& path) {
    const auto hits = found(root, query);
    return std::find(hits.begin(), hits.end(), path) != hits.end();
  }
  IndexInfo info(const Root& root) { return mentions().open_info(root).value(); }
  bool ready(const Root& root) { return !info(root).indexing; }
  std::vector<std::string> picks(const Root& root) {
    auto handle = mentions().open(root);
    std::shared_lock lock(handle->index.lock);
    return handle->index.picks;
  }
  std::string file_of(const Root& root) {
    return index_file_path({data_ / "mention-index", true}, root.text);
  }
  std::size_t events_for(const Root& root) {
    std::lock_guard lock(mutex_);
    return std::count_if(events_.begin(), events_.end(),
                         [&](const auto& e) { return e.first == root.text; });
  }

  TempTree data_;
  std::size_t entry_cap_ = kMaxEntries;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::uint64_t>> events_;
  // Runs on the worker's thread after each event, before the worker goes on.
  std::function<void(const std::string& root)> on_event_;
  std::unique_ptr<Mentions> mentions_;
};

TEST_F(MentionsTest, RootsAreKeyedByTheirCanonicalPath) {
  TempTree t;
  t.add_all({"Work/a.txt", "file.txt"});
  ASSERT_EQ(symlink((t / "Work").c_str(), (t / "via-link").c_str()), 0);
  const Root plain = root_of(t / "Work");
  for (const std::string& spelling :
       {"  " + (t / "Work") + "/ ", t / "Work//", t / "via-link", t / "Work/../Work"})
    EXPECT_EQ(root_of(spelling).text, plain.text) << spelling;
  mentions().open(plain);
  mentions().open(root_of(t / "via-link/"));
  EXPECT_EQ(mentions().open_roots().size(), 1u);

  const auto error = [](const std::string& text) { return resolve_root(text).message(); };
  EXPECT_EQ(error(" \t "), "No workspace folder is selected.");
  EXPECT_EQ(error(t / "file.txt"), "The workspace is not a folder.");
  EXPECT_EQ(error(t / "missing"), "Cannot open the workspace folder: No such file or directory");
  // Letter case matters on this file system: another spelling is another (missing) folder.
  EXPECT_EQ(error(t / "WORK"), "Cannot open the workspace folder: No such file or directory");
  EXPECT_EQ(error("Work"), "Cannot open the workspace folder: the path is not absolute");
  EXPECT_EQ(error(t.path() + std::string("\0/x", 3)),
            "Cannot open the workspace folder: the path contains a NUL character");
}

TEST_F(MentionsTest, AFourthFolderEvictsTheLeastRecentlyUsed) {
  TempTree t;
  t.add_all({"a/", "b/", "c/", "d/"});
  const Root a = root_of(t / "a"), b = root_of(t / "b"), c = root_of(t / "c"), d = root_of(t / "d");
  // Uses follow each other closely, within one tick of any clock: the order of use counts.
  for (const Root* r : {&a, &b, &c}) mentions().open(*r);
  mentions().search(a, "x", 5);  // a is used again: b is now the oldest
  mentions().open(d);
  EXPECT_EQ(mentions().open_roots(), (std::vector<std::string>{a.text, c.text, d.text}));
}

TEST_F(MentionsTest, PicksStayUniqueBoundedAndInsideTheWorkspace) {
  TempTree t;
  t.add("ws/src/main.rs");
  for (int i = 0; i < 51; ++i) t.add("ws/f" + std::to_string(i));
  t.add("secret/key");
  ASSERT_EQ(symlink((t / "secret").c_str(), (t / "ws/out").c_str()), 0);
  const Root ws = root_of(t / "ws");

  EXPECT_TRUE(mentions().pick(ws, "src/main.rs").ok());
  EXPECT_TRUE(mentions().pick(ws, "f0").ok());
  EXPECT_TRUE(mentions().pick(ws, "src/main.rs").ok());
  EXPECT_EQ(picks(ws), (std::vector<std::string>{"src/main.rs", "f0"}));
  for (int i = 1; i < 51; ++i) ASSERT_TRUE(mentions().pick(ws, "f" + std::to_string(i)).ok());
  const auto kept = picks(ws);
  EXPECT_EQ(kept.size(), 50u);
  EXPECT_EQ(kept.front(), "f50");
  EXPECT_EQ(kept.back(), "f1");  // src/main.rs and f0 dropped, oldest first

  for (const char* outside : {"../secret/key", "src/../../secret/key", "out/key", "..", "missing",
                              "src/missing.rs", "/etc/passwd", "", "src//main.rs", "./f1"})
    EXPECT_EQ(mentions().pick(ws, outside).message(), "that path is not inside the workspace")
        << outside;
}

// Queries a page could send by mistake or on purpose: nothing crashes, nothing outside the
// workspace is listed, and every answer keeps to its limit.
TEST_F(MentionsTest, OddQueriesStayInsideTheWorkspace) {
  TempTree t;
  t.add_all({"ws/src/main.rs", "ws/a..b/c", "ws/x:y", "secret/key.pem"});
  const Root ws = root_of(t / "ws");
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  const std::vector<std::string> queries = {std::string("\0", 1),
                                            std::string("src\0/", 5),
                                            "..",
                                            "../",
                                            "../secret/",
                                            "../secret/key",
                                            "/etc/",
                                            "x:y",
                                            "C:\\Windows\\",
                                            "\u200C\u200D\u064B",
                                            std::string(100'000, 'a'),
                                            std::string(5'000, '/') + "main",
                                            "src/../../secret/"};
  for (const std::string& query : queries) {
    const SearchReply reply = mentions().search(ws, query, 7);
    EXPECT_LE(reply.hits.size(), 7u);
    for (const Hit& h : reply.hits) EXPECT_EQ(h.path.find("secret"), std::string::npos) << h.path;
  }
  EXPECT_EQ(found(ws, "x:y"), (std::vector<std::string>{"x:y"}));
  EXPECT_EQ(found(ws, std::string(5'000, '/') + "main"), (std::vector<std::string>{"src/main.rs"}));
}

// Creating, deleting and renaming files and folders shows in search within 2.5 seconds.
TEST_F(MentionsTest, TheWorkerFollowsTheDisk) {
  TempTree t;
  t.add_all({"src/app.c", "docs/guide.md", ".config/settings.json"});
  const Root ws = root_of(t.path());
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  EXPECT_TRUE(finds(ws, "settings", ".config/settings.json"));  // hidden files are indexed

  const auto within = [&](const std::function<bool()>& seen) { return eventually(seen, 2500ms); };
  t.add("src/fresh_module.c");
  EXPECT_TRUE(within([&] { return finds(ws, "fresh_module", "src/fresh_module.c"); }));
  t.add("new_folder/inner/deep_note.txt");
  EXPECT_TRUE(within([&] { return finds(ws, "deep_note", "new_folder/inner/deep_note.txt"); }));
  fs::remove(t / "src/app.c");
  EXPECT_TRUE(within([&] { return !finds(ws, "app.c", "src/app.c"); }));
  fs::rename(t / "new_folder", t / "renamed_folder");
  EXPECT_TRUE(within([&] {
    return finds(ws, "deep_note", "renamed_folder/inner/deep_note.txt") &&
           !finds(ws, "deep_note", "new_folder/inner/deep_note.txt");
  }));
  // The moved folder is watched under its new name.
  t.add("renamed_folder/inner/later.txt");
  EXPECT_TRUE(within([&] { return finds(ws, "later", "renamed_folder/inner/later.txt"); }));
  fs::remove_all(t / "renamed_folder");
  EXPECT_TRUE(within([&] { return found(ws, "renamed").empty(); }));
  // A new ignore rule takes its folder's files out.
  t.add("docs/.gitignore", "*.md\n");
  EXPECT_TRUE(within([&] { return !finds(ws, "guide", "docs/guide.md"); }));
  EXPECT_GT(events_for(ws), 3u);
}

// A change made the moment a walk or a rescan has read the disk, before its result reaches the
// index, is too late for the reading: only a watch placed before the reading can report it.
// The worker is paused there twice: after the first walk, and after a rescan that found and
// walked a new folder.
TEST_F(MentionsTest, ChangesRightAfterAReadingAreNotLost) {
  static const TempTree* tree = nullptr;
  static std::atomic<int> stage{0};
  struct Unhook {
    ~Unhook() { set_read_hook_for_tests(nullptr); }
  } unhook;
  TempTree t;
  t.add_all({"src/app.c", "docs/guide.md"});
  tree = &t;
  stage = 0;
  set_read_hook_for_tests([](const std::string& folder) {
    if (!folder.empty()) return;
    int expected = 0;
    if (stage.compare_exchange_strong(expected, 1)) {
      tree->add("src/late.c");
      fs::remove(*tree / "docs/guide.md");
      return;
    }
    expected = 2;
    if (stage.compare_exchange_strong(expected, 3)) {
      tree->add("fresh/inner/later.txt");
      fs::remove(*tree / "fresh/first.txt");
    }
  });
  const Root ws = root_of(t.path());
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  const auto within = [&](const std::function<bool()>& seen) { return eventually(seen, 2500ms); };
  EXPECT_EQ(stage.load(), 1);
  EXPECT_TRUE(within([&] { return finds(ws, "late", "src/late.c"); }));
  EXPECT_TRUE(within([&] { return !finds(ws, "guide", "docs/guide.md"); }));

  stage = 2;
  t.add("fresh/first.txt");
  EXPECT_TRUE(within([&] { return stage.load() == 3; }));
  EXPECT_TRUE(within([&] {
    return finds(ws, "later", "fresh/inner/later.txt") && !finds(ws, "first", "fresh/first.txt");
  }));
}

TEST_F(MentionsTest, ABurstOfTenThousandFilesIsTakenInWithinTwoSeconds) {
  TempTree t;
  t.add("burst/");
  const Root ws = root_of(t.path());
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  for (int i = 0; i < 10'000; ++i) create_file(t / ("burst/n" + std::to_string(i)));
  EXPECT_TRUE(eventually([&] { return info(ws).count == 10'001; }, 2500ms)) << info(ws).count;

  // The buffer's rule: due 250 ms after the last event, 2 s after the first at the latest,
  // and at once when 4096 events wait.
  EventBuffer buffer;
  const auto t0 = EventBuffer::Clock::now();
  buffer.add({FsEvent::Kind::Changed, "a", false}, t0);
  EXPECT_EQ(buffer.due(), t0 + 250ms);
  for (int i = 1; i < 20; ++i) buffer.add({FsEvent::Kind::Changed, "a", false}, t0 + i * 200ms);
  EXPECT_EQ(buffer.due(), t0 + 2000ms);
  while (!buffer.full()) buffer.add({FsEvent::Kind::Modified, "b", false}, t0);
  EXPECT_EQ(buffer.size(), 4096u);
  EXPECT_EQ(buffer.take().size(), 4096u);
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(save_delay(0), 10s);
  EXPECT_EQ(save_delay(3), 80s);
  EXPECT_EQ(save_delay(40), 640s);
}

// Unused for 20 minutes (here on a clock 1000 times faster), the worker saves and ends; the
// next search opens the index again from its file, picks and all.
TEST_F(MentionsTest, AnIdleIndexEndsAndComesBackFromItsFile) {
  Speedup fast(1000);
  TempTree t;
  t.add_all({"lib/util.py", "main.py"});
  const Root ws = root_of(t.path());
  ASSERT_TRUE(mentions().pick(ws, "lib/util.py").ok());
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  auto handle = mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return !handle->alive.load(); }, 5s));
  EXPECT_TRUE(fs::exists(file_of(ws)));
  handle.reset();

  mentions().search(ws, "", 10);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  EXPECT_EQ(found(ws, "").front(), "lib/util.py");
  EXPECT_EQ(info(ws).count, 3u);
}

TEST_F(MentionsTest, DamagedOrForeignFilesAreDroppedAndTheFolderWalkedAgain) {
  TempTree t;
  t.add_all({"one/a.txt", "two/b.txt"});
  const Root one = root_of(t / "one"), two = root_of(t / "two");
  ASSERT_TRUE(mentions().pick(one, "a.txt").ok());
  ASSERT_TRUE(mentions().pick(two, "b.txt").ok());
  ASSERT_TRUE(eventually([&] { return ready(one) && ready(two); }));
  restart();
  ASSERT_TRUE(fs::exists(file_of(one)));
  ASSERT_TRUE(fs::exists(file_of(two)));

  // One file replaced by a copy of the other's (a file for another root); the other's last
  // byte flipped.
  fs::copy_file(file_of(one), file_of(two), fs::copy_options::overwrite_existing);
  {
    std::fstream f(file_of(one), std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(-1, std::ios::end);
    const char last = static_cast<char>(f.get());
    f.seekp(-1, std::ios::end);
    f.put(static_cast<char>(last ^ 0x20));
  }
  for (const Root* r : {&one, &two}) {
    mentions().open(*r);
    ASSERT_TRUE(eventually([&] { return ready(*r); }));
    EXPECT_TRUE(picks(*r).empty());  // walked again: the picks were in the dropped file
    EXPECT_EQ(info(*r).count, 1u);
  }
}

// With the data folder inside the workspace (a home folder opened as the workspace), the
// index must neither list its own file nor take each save for a change to save again.
TEST_F(MentionsTest, AnIndexStoredInsideItsWorkspaceLeavesItsOwnFileAlone) {
  Speedup fast(4);  // saves 2.5 s after a change: each in another second, as in real use
  TempTree t;
  t.add_all({"src/a.c", ".local/share/"});
  Mentions inside(IndexLocation{t / ".local/share/mention-index", true}, {});
  const Root ws = root_of(t.path());
  ASSERT_TRUE(inside.pick(ws, "src/a.c").ok());
  const std::string file = index_file_path({t / ".local/share/mention-index", true}, ws.text);
  ASSERT_TRUE(eventually([&] { return fs::exists(file); }));
  // Every save renames a new file into place: count them.
  const auto inode = [&] {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  int saves = 0;
  auto last = inode();
  const auto until = std::chrono::steady_clock::now() + 6s;
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(50ms);
    if (const auto now = inode(); now != last) {
      ++saves;
      last = now;
    }
  }
  EXPECT_EQ(saves, 0);
  for (const Hit& h : inside.search(ws, "idx", 20).hits)
    EXPECT_EQ(h.path.find("mention-index"), std::string::npos) << h.path;
  EXPECT_FALSE(inside.search(ws, ".local/share", 5).hits.empty());
}

// What changed while no index was open is found when the index comes back from its file: a
// new file at the top (no entry records the root's time) and one deeper down.
TEST_F(MentionsTest, ChangesMadeWhileClosedAreFoundOnReopening) {
  TempTree t;
  t.add_all({"src/lib/old.rs", "top.md"});
  const Root ws = root_of(t.path());
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  restart();
  ASSERT_TRUE(fs::exists(file_of(ws)));
  // Folder times are kept in whole seconds: the changes come a second later, as they would.
  std::this_thread::sleep_for(1100ms);
  t.add_all({"added_at_top.txt", "src/lib/added_below.rs"});
  fs::remove(t / "top.md");
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  EXPECT_TRUE(finds(ws, "added_at_top", "added_at_top.txt"));
  EXPECT_TRUE(finds(ws, "added_below", "src/lib/added_below.rs"));
  EXPECT_FALSE(finds(ws, "top.md", "top.md"));
}

// A walk stopped half-way is not stored as the folder's index; the next opening walks again.
TEST_F(MentionsTest, AnIndexClosedDuringItsFirstWalkIsNotSaved) {
  static std::atomic<bool> read{false};
  static std::atomic<bool> closed{false};
  struct Unhook {
    ~Unhook() {
      closed = true;
      set_read_hook_for_tests(nullptr);
    }
  } unhook;
  TempTree t;
  for (int d = 0; d < 40; ++d) fill_with_links(t / ("d" + std::to_string(d)), 250);
  const Root ws = root_of(t.path());

  // Closed once the walk has read the whole tree, before any of it reached the index.
  read = false;
  closed = false;
  set_read_hook_for_tests([](const std::string& folder) {
    if (!folder.empty() || closed.load()) return;
    read = true;
    while (!closed.load()) std::this_thread::sleep_for(1ms);
  });
  auto handle = mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return read.load(); }));
  mentions().close(ws);
  closed = true;
  ASSERT_TRUE(eventually([&] { return !handle->alive.load(); }));
  EXPECT_FALSE(fs::exists(file_of(ws)));
  set_read_hook_for_tests(nullptr);

  // Closed while the walk goes on, as soon as a first part of it shows. Should the walk win
  // the race, it is whole and saved.
  handle = mentions().open(ws);
  ASSERT_TRUE(eventually([&] {
    std::shared_lock lock(handle->index.lock);
    return !handle->index.pending.empty() || !handle->index.indexing;
  }));
  mentions().close(ws);
  ASSERT_TRUE(eventually([&] { return !handle->alive.load(); }));
  const bool finished_first = [&] {
    std::shared_lock lock(handle->index.lock);
    return handle->index.entries.size() == 10'040;
  }();
  EXPECT_EQ(fs::exists(file_of(ws)), finished_first);
  handle.reset();
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));
  EXPECT_EQ(info(ws).count, 10'040u);
}

// A stop that comes once the finished index shows (here from the event that announces it, before
// the worker takes its next step) finds a whole index, which is saved.
TEST_F(MentionsTest, AnIndexClosedRightAfterItsFirstWalkIsSaved) {
  TempTree t;
  fill_with_links(t / "d", 500);
  const Root ws = root_of(t.path());
  std::atomic<bool> closed{false};
  on_event_ = [&](const std::string&) {
    if (!closed.load() && ready(ws) && !closed.exchange(true)) mentions().close(ws);
  };
  auto handle = mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return closed.load() && !handle->alive.load(); }));
  on_event_ = nullptr;
  EXPECT_TRUE(fs::exists(file_of(ws)));
}

// Searches run while the worker writes, while their index is closed, and while a fourth
// folder evicts one of three: answers stay well-formed and nothing crashes.
TEST_F(MentionsTest, SearchesDuringWalksClosesAndEvictions) {
  TempTree t;
  for (int r = 0; r < 4; ++r) {
    for (int d = 0; d < 10; ++d)
      fill_with_links(t / ("r" + std::to_string(r) + "/d" + std::to_string(d)), 100, "file");
  }
  std::vector<Root> roots;
  for (int r = 0; r < 4; ++r) roots.push_back(root_of(t / ("r" + std::to_string(r))));
  Mentions& shared = mentions();
  std::atomic<bool> stop{false};
  std::atomic<int> searches{0};
  std::vector<std::thread> searchers;
  for (int s = 0; s < 3; ++s) {
    searchers.emplace_back([&, s] {
      const char* queries[] = {"file1", "d3/", "f", "", "d1/file2", "D2/FI", "zz/q"};
      for (int i = 0; !stop.load(); ++i) {
        const SearchReply reply = shared.search(roots[(i + s) % 4], queries[i % 7], 20);
        EXPECT_LE(reply.hits.size(), 20u);
        for (const Hit& h : reply.hits) EXPECT_FALSE(h.path.empty());
        ++searches;
      }
    });
  }
  for (int round = 0; round < 30; ++round) {
    mentions().open(roots[round % 4]);
    if (round % 5 == 0) mentions().close(roots[(round + 2) % 4]);
    std::this_thread::sleep_for(15ms);
  }
  stop = true;
  for (auto& s : searchers) s.join();
  EXPECT_GT(searches.load(), 30);
  EXPECT_LE(mentions().open_roots().size(), 3u);
  for (const std::string& text : mentions().open_roots()) {
    const Root r = root_of(text);
    ASSERT_TRUE(eventually([&] { return ready(r); }));
    EXPECT_EQ(info(r).count, 10u * 101u);
  }
}

// Folders renamed back and forth, files made and removed, while the worker rescans: once the
// churn stops, the index holds what a fresh walk records.
TEST_F(MentionsTest, AfterChurnTheIndexEqualsAFreshWalk) {
  TempTree t;
  for (int d = 0; d < 12; ++d) fill_with_links(t / ("d" + std::to_string(d) + "/sub"), 30);
  const Root ws = root_of(t.path());
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }));

  std::atomic<bool> stop{false};
  std::thread churn([&] {
    for (int round = 0; !stop.load(); ++round) {
      const std::string d = t / ("d" + std::to_string(round % 12));
      std::error_code ec;
      fs::rename(d, d + "-moved", ec);
      create_file(d + "-moved/sub/new" + std::to_string(round));
      fs::rename(d + "-moved", d, ec);
      fs::remove(d + "/sub/f" + std::to_string(round % 30), ec);
      if (round % 7 == 0) fs::create_directories(d + "/sub/deeper" + std::to_string(round), ec);
    }
  });
  std::this_thread::sleep_for(1500ms);
  stop = true;
  churn.join();

  std::vector<std::string> fresh;
  walk_entries({ws.path, ""}, [&](Entry e) { fresh.push_back(e.path + (e.is_dir ? "/" : "")); });
  std::sort(fresh.begin(), fresh.end());
  const auto indexed = [&] {
    auto handle = mentions().open(ws);
    std::shared_lock lock(handle->index.lock);
    std::vector<std::string> out;
    for (const Entry& e : handle->index.entries) out.push_back(e.path + (e.is_dir ? "/" : ""));
    return out;
  };
  if (!eventually([&] { return indexed() == fresh; }, 5s)) {
    std::vector<std::string> only_indexed;
    std::vector<std::string> only_fresh;
    const auto now = indexed();
    std::set_difference(now.begin(), now.end(), fresh.begin(), fresh.end(),
                        std::back_inserter(only_indexed));
    std::set_difference(fresh.begin(), fresh.end(), now.begin(), now.end(),
                        std::back_inserter(only_fresh));
    ADD_FAILURE() << only_indexed.size()
                  << " only indexed (first: " << (only_indexed.empty() ? "" : only_indexed.front())
                  << "), " << only_fresh.size()
                  << " only on the disk (first: " << (only_fresh.empty() ? "" : only_fresh.front())
                  << ")";
  }
}

// A folder with more than 300,000 items stops at exactly 300,000 entries.
TEST_F(MentionsTest, AWalkStopsAtThreeHundredThousandEntries) {
  TempTree t;
  for (int d = 0; d < 300; ++d) fill_with_links(t / ("d" + std::to_string(d)), 1000);
  const Root ws = root_of(t.path());
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }, 120s));
  const IndexInfo full = info(ws);
  EXPECT_EQ(full.count, 300'000u);
  EXPECT_TRUE(full.truncated);
  EXPECT_FALSE(found(ws, "f999", 5).empty());
}

// The cap reached in the first of several large top folders, while the others are still being
// walked beside it: the index is cut there, not cancelled, so it is saved with the picks made
// meanwhile, and the next opening reads the file instead of walking again.
TEST_F(MentionsTest, AnIndexCutAtTheCapIsSavedAndReadBackWithoutAWalk) {
  static std::atomic<int> root_walks{0};
  struct Unhook {
    ~Unhook() { set_read_hook_for_tests(nullptr); }
  } unhook;
  set_read_hook_for_tests([](const std::string& folder) {
    if (folder.empty()) ++root_walks;
  });
  entry_cap_ = 2'000;
  TempTree t;
  // Later folders are larger: whichever thread takes the first, another is inside a sibling.
  fill_with_links(t / "a0", 2'500);
  fill_with_links(t / "a1", 10'000);
  for (const char* big : {"a2", "a3", "a4"}) fill_with_links(t / big, 20'000);
  const Root ws = root_of(t.path());

  root_walks = 0;
  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }, 60s));
  EXPECT_EQ(info(ws).count, 2'000u);
  EXPECT_TRUE(info(ws).truncated);
  EXPECT_EQ(root_walks.load(), 1);
  ASSERT_TRUE(mentions().pick(ws, "a0/f7").ok());
  restart();
  EXPECT_TRUE(fs::exists(file_of(ws)));

  mentions().open(ws);
  ASSERT_TRUE(eventually([&] { return ready(ws); }, 60s));
  EXPECT_EQ(root_walks.load(), 1);
  EXPECT_EQ(info(ws).count, 2'000u);
  EXPECT_EQ(picks(ws), std::vector<std::string>{"a0/f7"});
}

}  // namespace
}  // namespace mentions_test
}  // namespace kavor::mention
