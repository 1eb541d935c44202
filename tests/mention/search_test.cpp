#include "mention/search.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "tree.h"

namespace kavor::mention {
namespace search_test {
namespace {

using test::entries_of;
using test::TempTree;

constexpr std::uint32_t kNow = 2'000'000'000;

std::vector<std::string> paths(const std::vector<Hit>& hits) {
  std::vector<std::string> out;
  for (const Hit& h : hits) out.push_back(h.path);
  return out;
}

using Ranges = std::vector<std::array<std::uint32_t, 2>>;

SearchResult find(const Index& index, std::string_view query, std::size_t limit = 50) {
  return search_index(index, prepare_query(query), limit, {}, kNow);
}

TEST(Search, RankingHighlightsAndScopes) {
  Index index;
  index.entries = entries_of({"README.md", "readme-old/", "readme-old/x.txt", "src/",
                              "src/MyClass.java", "src/main.rs", "src/b/", "src/a/", "src/B.txt",
                              "src/a.txt", "docs/", "docs/main.md"});
  const SearchResult readme = find(index, "readme");
  ASSERT_GE(readme.hits.size(), 2u);
  EXPECT_EQ(readme.hits[0].path, "README.md");
  EXPECT_EQ(readme.hits[0].ranges, (Ranges{{0, 6}}));
  EXPECT_EQ(readme.hits[1].path, "readme-old");

  const SearchResult mc = find(index, "mc");
  ASSERT_FALSE(mc.hits.empty());
  EXPECT_EQ(mc.hits[0].path, "src/MyClass.java");
  EXPECT_EQ(mc.hits[0].name_at, 4u);
  EXPECT_EQ(mc.hits[0].ranges, (Ranges{{4, 5}, {6, 7}}));

  // A folder part lists that folder's children: folders first, then by lower-cased name.
  const SearchResult listing = find(index, "src/");
  EXPECT_EQ(paths(listing.hits),
            (std::vector<std::string>{"src/a", "src/b", "src/a.txt", "src/B.txt", "src/main.rs",
                                      "src/MyClass.java"}));
  for (const Hit& h : listing.hits) EXPECT_TRUE(h.ranges.empty());
  // Folders are found whatever their case; "\" separates too; ranges count the folder part.
  for (const char* query : {"SRC/main", "src\\main", "  src/main", "/src//main"}) {
    const SearchResult r = find(index, query);
    ASSERT_EQ(paths(r.hits), (std::vector<std::string>{"src/main.rs"})) << query;
    EXPECT_EQ(r.hits[0].ranges, (Ranges{{4, 8}}));
  }
  EXPECT_TRUE(find(index, "main ").hits.empty());  // trailing white space must match
  EXPECT_EQ(find(index, "nowhere/x").status, SearchStatus::NotIndexed);
  EXPECT_TRUE(find(index, "README.md/x").hits.empty());  // a file has no children

  // Limits: absent 50, at least 1, at most 100.
  EXPECT_EQ(clamp_limit(std::nullopt), 50u);
  EXPECT_EQ(clamp_limit(0), 1u);
  EXPECT_EQ(clamp_limit(-7), 1u);
  EXPECT_EQ(clamp_limit(0.5), 1u);
  EXPECT_EQ(clamp_limit(2.7), 2u);
  EXPECT_EQ(clamp_limit(500), 100u);
  EXPECT_EQ(clamp_limit(1e300), 100u);
  EXPECT_EQ(find(index, "s", clamp_limit(0)).hits.size(), 1u);
}

TEST(Search, EmptyQueryListsPicksRecentFilesThenTheRoot) {
  Index index;
  std::vector<std::string> list = {"z/", "y.txt", "a/", "a/old.txt", "b.txt", "logs/"};
  for (int i = 0; i < 25; ++i) list.push_back("logs/" + std::to_string(100 + i) + ".log");
  index.entries = entries_of(list, 0);
  for (Entry& e : index.entries) {
    if (e.path.rfind("logs/", 0) == 0) e.mtime = 1000 + std::stoi(e.path.substr(5, 3));
  }
  index.entries[find_path(index.entries, "a/old.txt").second].mtime = 10;
  index.picks = {"b.txt", "gone.txt", "a"};
  index.pending = entries_of({"p/"});

  const SearchResult r = find(index, "", 100);
  std::vector<std::string> expected = {"b.txt", "a"};
  for (int i = 124; i > 104; --i) expected.push_back("logs/" + std::to_string(i) + ".log");
  for (const char* child : {"logs", "p", "z", "y.txt"}) expected.push_back(child);
  EXPECT_EQ(paths(r.hits), expected);
  EXPECT_EQ(find(index, "  ", 3).hits.size(), 3u);
  EXPECT_EQ(paths(find(index, "\u200C", 2).hits), (std::vector<std::string>{"b.txt", "a"}));
}

TEST(Search, PersianSpellingsPicksPendingAndUtf16Ranges) {
  Index index;
  index.entries = entries_of({"گزارش‌ها/", "گزارش‌ها/کتاب۱۲.md",
                              "\U0001F600/readme", "notes/plan.txt", "other/plan.txt"});
  const SearchResult persian = find(index, "كتاب12");
  ASSERT_EQ(paths(persian.hits), (std::vector<std::string>{"گزارش‌ها/کتاب۱۲.md"}));
  EXPECT_EQ(persian.hits[0].name_at, 9u);
  EXPECT_EQ(persian.hits[0].ranges, (Ranges{{9, 15}}));
  EXPECT_EQ(paths(find(index, "گزارشها/").hits),
            (std::vector<std::string>{"گزارش‌ها/کتاب۱۲.md"}));

  const SearchResult emoji = find(index, "readme");
  ASSERT_EQ(emoji.hits.size(), 1u);
  EXPECT_EQ(emoji.hits[0].name_at, 3u);  // a surrogate pair, then "/"
  EXPECT_EQ(emoji.hits[0].ranges, (Ranges{{3, 9}}));

  // The later of two equal paths wins once picked.
  EXPECT_EQ(find(index, "plan").hits[0].path, "notes/plan.txt");
  index.picks = {"other/plan.txt"};
  EXPECT_EQ(find(index, "plan").hits[0].path, "other/plan.txt");

  // Pending entries of a running walk are found too, after equal entries.
  index.pending = entries_of({"walk/plan.txt", "notes/plan.txt"});
  index.picks.clear();
  EXPECT_EQ(paths(find(index, "plan").hits),
            (std::vector<std::string>{"notes/plan.txt", "other/plan.txt", "notes/plan.txt",
                                      "walk/plan.txt"}));
}

// Above the parallel threshold the scope is cut into chunks, each keeping 2 x limit: the
// result must be the plain best of everything, in order.
TEST(Search, ChunkedRankingEqualsScoringEverythingAndGoesStale) {
  Index index;
  std::vector<std::string> list;
  for (int i = 0; i < 60'000; ++i) {
    list.push_back("dir" + std::to_string(i % 97) + "/mod" + std::to_string(i % 13) + "/file" +
                   std::to_string(i) + (i % 3 == 0 ? ".cpp" : ".h"));
  }
  index.entries = entries_of(list, 0);
  for (std::size_t i = 0; i < index.entries.size(); i += 7) index.entries[i].mtime = kNow - 100;

  for (const char* query : {"f1", "mod3fi", "d9m1f", "file5999.h"}) {
    const PreparedQuery q = prepare_query(query);
    std::vector<std::pair<std::int32_t, std::size_t>> all;
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
      const Entry& e = index.entries[i];
      Subject s;
      s.path = e.path;
      s.name_at = e.name_at;
      s.depth = e.depth;
      s.ascii = true;
      s.mtime = e.mtime;
      if (const auto v = score(q.token, s, kNow)) all.emplace_back(-*v, i);
    }
    std::sort(all.begin(), all.end());
    const SearchResult r = search_index(index, q, 20, {}, kNow);
    ASSERT_EQ(r.hits.size(), std::min<std::size_t>(20, all.size())) << query;
    for (std::size_t k = 0; k < r.hits.size(); ++k)
      EXPECT_EQ(r.hits[k].path, index.entries[all[k].second].path) << query << " #" << k;
  }

  // A newer search has taken the counter: this one gives up.
  std::atomic<std::uint64_t> counter{8};
  const SearchResult stale = search_index(index, prepare_query("f"), 10, {&counter, 7}, kNow);
  EXPECT_EQ(stale.status, SearchStatus::Stale);
  EXPECT_TRUE(stale.hits.empty());
  EXPECT_EQ(search_index(index, prepare_query("f"), 10, {&counter, 8}, kNow).hits.size(), 10u);
}

TEST(Search, FoldersTheIndexLeavesOutAreListedFromTheDisk) {
  TempTree t;
  t.add_all({"node_modules/react/index.js", "node_modules/redux/", "node_modules/lodash/", "src/x",
             "outside/secret", "env/"});
  TempTree elsewhere;
  elsewhere.add("secret.txt");
  ASSERT_EQ(symlink(elsewhere.path().c_str(), (t / "escape").c_str()), 0);

  const PreparedQuery q = prepare_query("node_modules/re");
  const auto listing = list_unindexed_folder(t.path(), q.folder);
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->size(), 3u);
  const SearchResult r = search_listing(*listing, {}, q, 50, {}, kNow);
  EXPECT_EQ(paths(r.hits), (std::vector<std::string>{"node_modules/react", "node_modules/redux"}));
  EXPECT_EQ(r.hits[0].ranges, (Ranges{{13, 15}}));
  const SearchResult all =
      search_listing(*listing, {}, prepare_query("node_modules/"), 50, {}, kNow);
  EXPECT_EQ(all.hits.size(), 3u);

  for (const char* bad : {"..", "node_modules/..", "escape", "a:b", "src/x", "missing", "./src"})
    EXPECT_FALSE(list_unindexed_folder(t.path(), bad)) << bad;

  // Typing the name of an excluded folder at the root puts it first.
  std::vector<Hit> hits(2);
  hits[0].path = "a";
  hits[1].path = "b";
  add_typed_excluded_folder(hits, t.path(), " node_modules ", 2);
  ASSERT_EQ(paths(hits), (std::vector<std::string>{"node_modules", "a"}));
  EXPECT_TRUE(hits[0].is_dir);
  EXPECT_EQ(hits[0].ranges, (Ranges{{0, 12}}));
  for (const char* not_excluded : {"src", "env", "node_modules/", "missing_modules", "vendor"}) {
    std::vector<Hit> none;
    add_typed_excluded_folder(none, t.path(), not_excluded, 5);
    EXPECT_TRUE(none.empty()) << not_excluded;
  }
}

}  // namespace
}  // namespace search_test
}  // namespace kavor::mention
