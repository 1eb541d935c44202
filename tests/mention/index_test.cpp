#include "mention/index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mention/index_file.h"
#include "tree.h"

namespace kavor::mention {
namespace index_test {
namespace {

using test::entries_of;
using test::TempTree;

std::vector<std::string> paths(const std::vector<Entry>& list) {
  std::vector<std::string> out;
  for (const Entry& e : list) out.push_back(e.path + (e.is_dir ? "/" : ""));
  return out;
}

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Replaces the trailing checksum with the right one for the bytes before it.
std::string rechecksummed(std::string bytes) {
  bytes.resize(bytes.size() - 8);
  const std::uint64_t sum = fnv1a64(bytes);
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
  return bytes;
}

TEST(Index, EntryFieldsAndTimeEncoding) {
  const Entry e = Entry::make("src/main/App.java", 7, false);
  EXPECT_EQ(e.name_at, 9);
  EXPECT_EQ(e.depth, 3);
  const Entry top = Entry::make("README", 0, false);
  EXPECT_EQ(top.name_at, 0);
  EXPECT_EQ(top.depth, 1);
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "a/";
  EXPECT_EQ(Entry::make(deep + "x", 0, false).depth, 255);

  EXPECT_EQ(encode_mtime(-1), 0u);
  EXPECT_EQ(encode_mtime(1'700'000'000), 1'700'000'000u);
  EXPECT_EQ(encode_mtime(4'294'967'295LL), kMtimeTooLate);
  EXPECT_EQ(encode_mtime(1'000'000'000'000LL), kMtimeTooLate);
}

TEST(Index, SubtreesChildrenAndReplacement) {
  // "src-b", "src.txt" and "src0" sort around "src/..." but are not below it.
  std::vector<Entry> list = entries_of(
      {"src/", "src/a/", "src/a/x.c", "src/b.c", "src-b/", "src-b/y", "src.txt", "src0", "z"});
  EXPECT_EQ(paths(list), (std::vector<std::string>{"src/", "src-b/", "src-b/y", "src.txt", "src/a/",
                                                   "src/a/x.c", "src/b.c", "src0", "z"}));
  const auto [b, e] = subtree_range(list, "src");
  EXPECT_EQ(std::vector<Entry>(list.begin() + b, list.begin() + e).size(), 3u);
  EXPECT_EQ(subtree_range(list, ""), (std::pair<std::size_t, std::size_t>(0, list.size())));
  EXPECT_EQ(subtree_range(list, "nothing").first, subtree_range(list, "nothing").second);

  std::vector<std::string> kids;
  for (const std::size_t i : children_of(list, "src")) kids.push_back(list[i].path);
  EXPECT_EQ(kids, (std::vector<std::string>{"src/a", "src/b.c"}));
  kids.clear();
  for (const std::size_t i : children_of(list, "")) kids.push_back(list[i].path);
  EXPECT_EQ(kids, (std::vector<std::string>{"src", "src-b", "src.txt", "src0", "z"}));

  replace_subtree(list, "src", entries_of({"src/new.c", "src/q/", "src/q/r"}));
  EXPECT_EQ(paths(list), (std::vector<std::string>{"src/", "src-b/", "src-b/y", "src.txt",
                                                   "src/new.c", "src/q/", "src/q/r", "src0", "z"}));

  // Gone subtrees leave, times change in place, new paths arrive in order.
  Entry newer = list[4];
  newer.mtime = 99;
  apply_changes(list, {"src/q", "src-b"}, {{4, newer}}, entries_of({"src/p", "a"}));
  EXPECT_EQ(paths(list),
            (std::vector<std::string>{"a", "src/", "src.txt", "src/new.c", "src/p", "src0", "z"}));
  EXPECT_EQ(list[3].mtime, 99u);
}

TEST(Index, MergeOfAWalkKeepsTheFreshRecordOfEachPath) {
  std::vector<Entry> entries = entries_of({"a", "b/", "c"}, 1);
  // A walk's order is not byte order ("b/x" before "b.txt"), and it may meet a path twice.
  std::vector<Entry> pending;
  for (const char* p : {"b", "b/x", "b.txt", "a", "b/x"})
    pending.push_back(Entry::make(p, 2, false));
  const MergePlan plan = MergePlan::plan(entries, pending);
  plan.apply(entries, pending);
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(paths(entries), (std::vector<std::string>{"a", "b", "b.txt", "b/x", "c"}));
  for (const Entry& e : entries) EXPECT_EQ(e.mtime, e.path == "c" ? 1u : 2u) << e.path;
}

TEST(IndexFile, NameRoundTripAndOrderRepair) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(index_file_path({"/data/mention-index", true}, "a"),
            "/data/mention-index/af63dc4c8601ec8c.idx");
  EXPECT_EQ(index_file_path({"/tmp/kavor-mention", false}, "a"), "/tmp/kavor-mention/none.idx");
  EXPECT_EQ(temporary_path("/d/0123456789abcdef.idx"), "/d/0123456789abcdef.idx.tmp");

  const std::vector<Entry> entries = entries_of({"a/", "a/b.txt", "ملف.txt"}, 1234);
  const std::string bytes = serialize_index("/w", {"a/b.txt", "a"}, entries);
  EXPECT_EQ(bytes.substr(0, 4), "KMXI");
  const auto back = parse_index(bytes, "/w");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->picks, (std::vector<std::string>{"a/b.txt", "a"}));
  EXPECT_EQ(paths(back->entries), paths(entries));
  EXPECT_EQ(back->entries[1].mtime, 1234u);
  EXPECT_EQ(back->entries[1].name_at, 2);
  EXPECT_FALSE(parse_index(bytes, "/w2"));  // another root's file

  // Stored out of order with a repeat: sorted, the first of each path kept.
  std::vector<Entry> unsorted = {Entry::make("b", 1, false), Entry::make("a", 2, false),
                                 Entry::make("b", 3, false)};
  const auto repaired = parse_index(serialize_index("/w", {}, unsorted), "/w");
  ASSERT_TRUE(repaired);
  EXPECT_EQ(paths(repaired->entries), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(repaired->entries[1].mtime, 1u);
  // An is_dir byte other than 1 reads as a file.
  std::string odd = serialize_index("/w", {}, entries_of({"d/"}));
  odd[odd.size() - 9] = 7;
  const auto odd_back = parse_index(rechecksummed(odd), "/w");
  ASSERT_TRUE(odd_back);
  EXPECT_FALSE(odd_back->entries[0].is_dir);
}

// Every prefix of a file, every single flipped byte: refused, never a crash. With the checksum
// recomputed (a deliberate forgery), every length field still has to hold.
TEST(IndexFile, CutFlippedAndForgedFilesAreRefused) {
  const std::string bytes =
      serialize_index("/root", {"p1", "dir/p2"}, entries_of({"dir/", "dir/f", "x"}, 5));
  for (std::size_t n = 0; n < bytes.size(); ++n)
    EXPECT_FALSE(parse_index(std::string_view(bytes).substr(0, n), "/root")) << n;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (const unsigned char mask : {0x01, 0x80, 0xFF}) {
      std::string flipped = bytes;
      flipped[i] = static_cast<char>(flipped[i] ^ mask);
      EXPECT_FALSE(parse_index(flipped, "/root")) << i;
      const auto forged = parse_index(rechecksummed(flipped), "/root");
      if (forged) {
        for (const Entry& e : forged->entries) EXPECT_LE(e.path.size(), kMaxPathBytes);
      }
    }
  }
}

// A load derives each entry's fields and checks its text in the same pass that sums the file:
// what it derives must be what a walk derives, and text a walk cannot record must be refused
// wherever in the path it stands.
TEST(IndexFile, LoadedEntriesMatchWalkedOnesAndBrokenCharactersAreRefused) {
  const std::vector<std::string> texts = {
      "docs/گزارش‌ها/فاکتور_کتاب.md",  // Persian, a zero-width non-joiner
      "Ünïcode/ÉCOLE/naïve.txt",                          // Latin with case and marks
      "e\xCC\x81/cafe\xCC\x81",                           // combining marks fold to nothing
      "\xF0\x9F\x93\x81/\xF0\x9F\x93\x84.md",             // four-byte characters
      "ΣΊΣΥΦΟΣ/ﻙﺘﺎب/٣٤/۵۶.txt",  // Greek capitals, presentation forms, digits
      "mixed/ASCII_then_ä",      // a non-ASCII character last
  };
  std::vector<Entry> made;
  for (const std::string& text : texts) made.push_back(Entry::make(text, 9, text.size() % 2 == 0));
  sort_unique(made);
  const auto back = parse_index(serialize_index("/w", {}, made), "/w");
  ASSERT_TRUE(back);
  ASSERT_EQ(back->entries.size(), made.size());
  for (std::size_t i = 0; i < made.size(); ++i) {
    const Entry& want = made[i];
    const Entry& got = back->entries[i];
    EXPECT_EQ(got.path, want.path);
    EXPECT_EQ(got.chars, want.chars) << want.path;
    EXPECT_EQ(got.name_at, want.name_at) << want.path;
    EXPECT_EQ(got.depth, want.depth) << want.path;
    EXPECT_EQ(got.is_dir, want.is_dir) << want.path;
  }

  for (const std::string& bad : {
           std::string("a/\xC0\xAF"),        // overlong "/"
           std::string("\xED\xA0\x80/x"),    // a surrogate
           std::string("x/\xE2\x82"),        // cut short by the end
           std::string("\xE2\x82/\xAC"),     // cut short by a "/"
           std::string("a\x80z"),            // a lone continuation byte
           std::string("\xF4\x90\x80\x80"),  // beyond U+10FFFF
           std::string("ok/\xD8\xA7\xD8"),   // valid, then a lead without its tail
       }) {
    const auto read = parse_index(serialize_index("/r", {}, {Entry::make(bad, 0, false)}), "/r");
    EXPECT_FALSE(read) << testing::PrintToString(bad);
  }
}

TEST(IndexFile, CountsTextAndPathsThatNoWalkWrites) {
  // Exactly the most entries, 300,000, is taken; one more is not.
  constexpr std::size_t kMost = 300'000;
  std::vector<Entry> many;
  many.reserve(kMost + 1);
  for (std::size_t i = 0; i <= kMost; ++i) many.push_back(Entry::make(std::to_string(i), 0, false));
  sort_unique(many);
  const Entry extra = many.back();
  many.pop_back();
  const auto full = parse_index(serialize_index("/r", {}, many), "/r");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->entries.size(), kMost);
  many.push_back(extra);
  EXPECT_FALSE(parse_index(serialize_index("/r", {}, many), "/r"));

  for (const std::string& bad : {std::string("a\xFF"), std::string("../x"), std::string("/abs"),
                                 std::string("a//b"), std::string("a/./b"), std::string(""),
                                 std::string("a\0b", 3), std::string(kMaxPathBytes + 1, 'x')}) {
    std::vector<Entry> one = {Entry::make(bad, 0, false)};
    EXPECT_FALSE(parse_index(serialize_index("/r", {}, one), "/r")) << bad;
  }
  EXPECT_FALSE(parse_index(serialize_index("/r", {"bad\xC3"}, {}), "/r"));

  // A pick count above the most kept: reading stops after the 50th pick.
  std::vector<std::string> fifty;
  for (int i = 0; i < 50; ++i) fifty.push_back("p" + std::to_string(i));
  std::string claims_more = serialize_index("/r", fifty, entries_of({"e"}));
  const std::size_t count_at = 12 + 2;  // header, root "/r"
  std::string patched = claims_more.substr(0, count_at);
  put_u32(patched, 60);
  patched += claims_more.substr(count_at + 4);
  const auto read = parse_index(rechecksummed(patched), "/r");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->picks.size(), 50u);
  EXPECT_EQ(read->entries.size(), 1u);
}

// A load reads a large file a part at a time: records, a pick and the checksum that straddle
// the parts are read whole, and a damaged byte anywhere, in any part, still refuses the file.
TEST(IndexFile, LargeFilesLoadAsWrittenAndRefuseADamagedByteAnywhere) {
  std::vector<std::string> texts;
  for (int i = 0; i < 30'000; ++i) {
    texts.push_back("folder" + std::to_string(i % 37) + "/گزارش" + std::to_string(i / 37) +
                    "/file_" + std::to_string(i) + ".txt");
  }
  const std::vector<Entry> entries = entries_of(texts, 77);
  const std::string long_pick(60'000, 'p');
  const std::string bytes = serialize_index("/r", {"a", long_pick}, entries);
  ASSERT_GT(bytes.size(), (std::size_t{4} << 18) + 2);

  TempTree dir;
  const std::string file = dir / "large.idx";
  ASSERT_TRUE(write_index_file(file, bytes));
  const auto back = load_index_file(file, "/r");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->picks, (std::vector<std::string>{"a", long_pick}));
  ASSERT_EQ(back->entries.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    ASSERT_EQ(back->entries[i].path, entries[i].path);
    ASSERT_EQ(back->entries[i].chars, entries[i].chars);
  }

  // Near the start, around the first few part boundaries, in the middle, in the checksum.
  std::vector<std::size_t> places = {10, bytes.size() / 2, bytes.size() - 8, bytes.size() - 1};
  for (std::size_t part = 1; part <= 4; ++part) {
    for (const std::size_t at : {(part << 18) - 1, part << 18, (part << 18) + 1})
      places.push_back(at);
  }
  for (const std::size_t at : places) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x04);
    ASSERT_TRUE(write_index_file(file, damaged));
    EXPECT_FALSE(load_index_file(file, "/r")) << at;
    EXPECT_FALSE(test::fs::exists(file)) << at;
  }
  ASSERT_TRUE(write_index_file(file, bytes.substr(0, bytes.size() - 1)));
  EXPECT_FALSE(load_index_file(file, "/r"));
  ASSERT_TRUE(write_index_file(file, bytes + "x"));
  EXPECT_FALSE(load_index_file(file, "/r"));
}

TEST(IndexFile, LoadDeletesWhatItRefusesAndSavesThroughATemporarySibling) {
  TempTree dir;
  const std::string file = dir / "store/0000000000000001.idx";
  ASSERT_TRUE(write_index_file(file, serialize_index("/r", {}, entries_of({"a"}))));
  EXPECT_FALSE(test::fs::exists(temporary_path(file)));
  EXPECT_TRUE(load_index_file(file, "/r"));
  EXPECT_TRUE(test::fs::exists(file));

  EXPECT_FALSE(load_index_file(file, "/other"));  // refused: deleted
  EXPECT_FALSE(test::fs::exists(file));
  EXPECT_FALSE(load_index_file(file, "/r"));  // missing: nothing to do

  // A link in the file's place is not followed, and goes.
  dir.add("elsewhere.idx", serialize_index("/r", {}, entries_of({"a"})));
  ASSERT_EQ(symlink((dir / "elsewhere.idx").c_str(), file.c_str()), 0);
  EXPECT_FALSE(load_index_file(file, "/r"));
  EXPECT_FALSE(test::fs::is_symlink(file));
  EXPECT_TRUE(test::fs::exists(dir / "elsewhere.idx"));

  // A folder where the temporary file goes: the save fails and leaves the old file alone.
  ASSERT_TRUE(write_index_file(file, serialize_index("/r", {}, entries_of({"old"}))));
  test::fs::create_directories(temporary_path(file));
  EXPECT_FALSE(write_index_file(file, serialize_index("/r", {}, entries_of({"new"}))));
  EXPECT_EQ(paths(load_index_file(file, "/r")->entries), (std::vector<std::string>{"old"}));
  // A pipe where the temporary file goes: refused at once instead of waiting for a reader,
  // and cleared for the next save.
  test::fs::remove(temporary_path(file));
  ASSERT_EQ(mkfifo(temporary_path(file).c_str(), 0600), 0);
  EXPECT_FALSE(write_index_file(file, serialize_index("/r", {}, entries_of({"new"}))));
  EXPECT_TRUE(write_index_file(file, serialize_index("/r", {}, entries_of({"new"}))));
  EXPECT_EQ(paths(load_index_file(file, "/r")->entries), (std::vector<std::string>{"new"}));
  // A link at the file's place or the temporary name is never written through: the save
  // replaces the first and refuses (and removes) the second.
  dir.add("outside.idx", "kept");
  test::fs::remove(file);
  ASSERT_EQ(symlink((dir / "outside.idx").c_str(), file.c_str()), 0);
  EXPECT_TRUE(write_index_file(file, serialize_index("/r", {}, entries_of({"new"}))));
  EXPECT_FALSE(test::fs::is_symlink(file));
  ASSERT_EQ(symlink((dir / "outside.idx").c_str(), temporary_path(file).c_str()), 0);
  EXPECT_FALSE(write_index_file(file, serialize_index("/r", {}, entries_of({"newer"}))));
  EXPECT_FALSE(test::fs::is_symlink(temporary_path(file)));
  EXPECT_TRUE(write_index_file(file, serialize_index("/r", {}, entries_of({"newer"}))));
  EXPECT_EQ(test::fs::file_size(dir / "outside.idx"), 4u);  // still "kept"
  // A file where the folder should be.
  dir.add("blocked");
  EXPECT_FALSE(write_index_file(dir / "blocked/x.idx", "data"));
}

}  // namespace
}  // namespace index_test
}  // namespace kavor::mention
