// The export reader on archives made by the real tools, and on archives built to hurt it.
#include "importer/export_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>

#include "importer/archives.h"
#include "importer/zip_reader.h"

namespace kavor::importer {
namespace export_reader_test {
namespace {

using test::ArchiveFolder;
using test::build_zip;
using test::RawItem;

std::string error_of(const ReadResult& result) {
  return result.message();
}

const std::vector<UploadPart>& parts_of(const ReadResult& result) {
  static const std::vector<UploadPart> none;
  return result.ok() ? result.value() : none;
}

ReadResult read_bytes(const std::string& bytes, ReadOptions options = {}) {
  return read_export(*memory_archive(bytes), options);
}

std::string gunzip(const std::string& gz) {
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  std::string out;
  char buffer[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    status = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  }
  inflateEnd(&z);
  return status == Z_STREAM_END ? out : "not gzip";
}

// Letters that compress about as well as real text does (far below the ratio limit).
std::string words(std::size_t length, std::uint32_t seed) {
  std::string out(length, ' ');
  for (char& c : out) {
    seed = seed * 1103515245u + 12345u;
    if ((seed >> 16) % 6 != 0) c = static_cast<char>('a' + (seed >> 16) % 26);
  }
  return out;
}

std::string conversation(int i, std::size_t padding = 0) {
  return R"({"conversation_id":"c)" + std::to_string(i) + R"(","title":"a } and a \" and \\",)" +
         R"("mapping":{"n":{"message":")" + words(padding, static_cast<std::uint32_t>(i)) +
         R"( ]"}}})";
}

std::string joined(const std::vector<std::string>& objects) {
  std::string out = "[";
  for (std::size_t i = 0; i < objects.size(); ++i) out += (i ? "," : "") + objects[i];
  return out + "]";
}

// `bytes` with the end record's item counts (this disk's and the total), directory size and
// directory offset replaced.
std::string with_end_record(std::string bytes, std::uint16_t count, std::uint32_t size,
                            std::uint32_t offset) {
  std::string fields;
  test::put16(fields, count);
  test::put16(fields, count);
  test::put32(fields, size);
  test::put32(fields, offset);
  return bytes.replace(bytes.size() - 14, fields.size(), fields);
}

TEST(ExportReaderTest, ArchivesOfTheRealToolsGiveTheSameParts) {
  ArchiveFolder folder;
  const std::vector<std::string> objects = {conversation(1), R"({"id":"c2","mapping":{}})",
                                            R"({"title":"a foreign object"})"};
  const std::string list =
      "[\n  " + objects[0] + ",\n  " + objects[1] + " ,\n" + objects[2] + "]\n";
  const std::string memories = R"({"memories":[{"text":"likes tea"}]})";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"conversations.json", list}, {"memories.json", memories}, {"chat.html", "<html>"}};
  for (const auto& [name, content] : files) folder.write(name, content);

  const QString zip = QStringLiteral("zip");
  const QStringList inputs = {"conversations.json", "memories.json", "chat.html"};
  const std::string each = "    for n, c in zip(names, contents):\n";
  const std::vector<std::pair<std::string, std::string>> made = {
      // archive, tool's output
      {"zip-deflated.zip", folder.run(zip, QStringList{"-q", "zip-deflated.zip"} + inputs)},
      {"zip-stored.zip", folder.run(zip, QStringList{"-q", "-0", "zip-stored.zip"} + inputs)},
      {"zip-zip64.zip", folder.run(zip, QStringList{"-q", "-fz", "zip-zip64.zip"} + inputs)},
      {"py.zip", folder.python_zip("py.zip", files, "zipfile.ZipFile(path, 'w', 8)",
                                   each + "        z.writestr(n, c)")},
      {"py-streamed.zip",  // data descriptors after each item
       folder.python_zip("py-streamed.zip", files, "zipfile.ZipFile(Unseekable(path), 'w', 8)",
                         each + "        with z.open(n, 'w') as f: f.write(c)")},
      {"py-zip64.zip",
       folder.python_zip("py-zip64.zip", files, "zipfile.ZipFile(path, 'w')",
                         each + "        with z.open(n, 'w', force_zip64=True) as f: f.write(c)")},
  };
  for (const auto& [archive, output] : made) {
    SCOPED_TRACE(archive);
    ASSERT_EQ(output.rfind("failed", 0), std::string::npos) << output;
    const ReadResult result = read_export(folder.path(archive));
    ASSERT_EQ(error_of(result), "");
    const auto& parts = parts_of(result);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].kind + " " + parts[0].name, "conversations conversations.json");
    EXPECT_EQ(parts[0].raw_size, joined(objects).size());
    EXPECT_EQ(parts[1].kind + " " + parts[1].name, "file memories.json");
    EXPECT_EQ(parts[1].raw_size, memories.size());
    // The real gzip takes the parts back to exactly the text: no name, system "unknown".
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(parts[i].gzip[3], '\0');
      EXPECT_EQ(static_cast<unsigned char>(parts[i].gzip[9]), 255);
      EXPECT_EQ(folder.run(QStringLiteral("gzip"), {QStringLiteral("-dc")}, parts[i].gzip),
                i == 0 ? joined(objects) : memories);
    }
  }
}

TEST(ExportReaderTest, ItemsArePickedByTheLowerCasedLastComponent) {
  const std::uint64_t small = 1000;
  const std::uint64_t three_mib = 3 << 20;
  const std::vector<std::tuple<std::string, std::uint64_t, ItemKind>> table = {
      {"conversations.json", small, ItemKind::Conversations},
      {"Export/Sub/CONVERSATIONS.JSON", small, ItemKind::Conversations},
      {"conversations-12.json", small, ItemKind::Conversations},
      {"conversations-.json", small, ItemKind::Ignored},
      {"conversations-1a.json", small, ItemKind::Ignored},
      {"conversations.json/", small, ItemKind::Ignored},
      {"old-conversations.json", small, ItemKind::Ignored},
      {"memories.json", small, ItemKind::SideFile},
      {"memory_2024.json", small, ItemKind::SideFile},
      {"Custom_Instructions.json", small, ItemKind::SideFile},
      {"user_instructions.json", small, ItemKind::SideFile},
      {"customs.json", small, ItemKind::SideFile},
      {"conversation_instructions.json", small, ItemKind::Ignored},
      {"memory.json", three_mib, ItemKind::Ignored},
      {"memory.json", kMaxSideFileSize, ItemKind::SideFile},
      {"memories.txt", small, ItemKind::Ignored},
      {"chat.html", small, ItemKind::Ignored},
  };
  for (const auto& [name, size, kind] : table) {
    EXPECT_EQ(classify_item(name, size), kind) << name << " " << size;
  }
}

TEST(ExportReaderTest, PartsAreCutAtThreeMebibytesPerFileAndObjectsStayWhole) {
  std::vector<std::string> first;
  std::vector<std::string> second;
  for (int i = 0; i < 2600; ++i) first.push_back(conversation(i, 3000 + i % 7));
  for (int i = 0; i < 5; ++i) second.push_back(conversation(10000 + i));
  // Larger than what a part keeps in memory: compressed while it arrives.
  std::vector<std::string> huge = {conversation(99, kCompressWhileReadingAbove + 1000)};
  const std::string archive = build_zip({{"a/conversations-2.json", joined(second)},
                                         {"b/conversations-10.json", joined(huge)},
                                         {"z/conversations-1.json", joined(first)}});
  const ReadResult result = read_bytes(archive);
  ASSERT_EQ(error_of(result), "");

  // In the byte order of the full names; within a file, a part takes objects until they reach
  // 3 MiB, and the file's last part takes the rest.
  std::vector<std::pair<std::string, std::string>> expected;
  for (const auto& [name, objects] :
       {std::pair{"conversations-2.json", &second}, std::pair{"conversations-10.json", &huge},
        std::pair{"conversations-1.json", &first}}) {
    std::vector<std::string> part;
    std::uint64_t collected = 0;
    for (std::size_t i = 0; i < objects->size(); ++i) {
      part.push_back((*objects)[i]);
      collected += (*objects)[i].size();
      if (collected >= kPartFlushAt || i + 1 == objects->size()) {
        expected.emplace_back(name, joined(part));
        part.clear();
        collected = 0;
      }
    }
  }
  const auto& parts = parts_of(result);
  ASSERT_EQ(parts.size(), expected.size());
  EXPECT_EQ(parts.size(), 5u);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].name, expected[i].first);
    EXPECT_EQ(parts[i].raw_size, expected[i].second.size());
    EXPECT_TRUE(gunzip(parts[i].gzip) == expected[i].second) << i;
  }
}

TEST(ExportReaderTest, ConversationListsAndTheirVerdicts) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {R"({"a":1})", "conversations.json is not a JSON list"},
      {"", "conversations.json is not a JSON list"},
      {"[", "conversations.json ends too early"},
      {R"([{"id":"a","mapping":{}})", "conversations.json ends too early"},
      {R"([{"id":"a","mapping":{"t":"}"})", "conversations.json ends too early"},
      {"[]", "this export has no conversations"},
      {R"([1, "x", null])", "this export has no conversations"},
      {R"([{"title":"x"}])", "this does not look like a ChatGPT export"},
      {R"([{"id":"","mapping":{}}])", "this does not look like a ChatGPT export"},
      {R"([{"conversation_id":null,"id":"x","mapping":{}}])",
       "this does not look like a ChatGPT export"},
      {R"([{"id":"a","mapping":[]}])", "this does not look like a ChatGPT export"},
      {R"([{"id":"a","mapping":{}},{"id":"b" "mapping":{}}])",
       "a conversation in this export is not valid JSON"},
      {R"([{"id":"a","mapping":{"x":1e400}}])", "a conversation in this export is not valid JSON"},
      {"[{\"id\":\"a\",\"mapping\":{\"x\":\"\xff\"}}]",
       "a conversation in this export is not valid JSON"},
      {R"(junk [ {"conversation\u005fid":"a","mapping":{"x":"}{]["}} , 5, {"id":7} ] trail)", ""},
  };
  for (const auto& [list, message] : table) {
    const ReadResult result = read_bytes(build_zip({{"conversations.json", list}}));
    EXPECT_EQ(error_of(result), message) << list;
    if (message.empty()) {
      EXPECT_EQ(gunzip(parts_of(result).at(0).gzip),
                R"([{"conversation\u005fid":"a","mapping":{"x":"}{]["}},{"id":7}])");
    }
  }
}

TEST(ExportReaderTest, HostileAndDamagedArchivesGetTheirMessage) {
  ArchiveFolder folder;
  const std::string list = joined({conversation(1, 2000), conversation(2)});
  const RawItem good{"conversations.json", list};
  const std::string valid = build_zip({good});
  auto patched = [&](std::size_t at_from_end, std::uint32_t value, int width) {
    std::string bytes = valid;
    for (int i = 0; i < width; ++i) {
      bytes[bytes.size() - at_from_end + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
  };
  auto item = [&](auto change) {
    RawItem changed = good;
    change(changed);
    return build_zip({changed});
  };
  const std::string deflated = test::raw_deflate(list);
  folder.write("conversations.json", list);
  folder.run(QStringLiteral("zip"), {"-q", "-P", "secret", "enc.zip", "conversations.json"});
  folder.run(QStringLiteral("zip"), {"-q", "-Z", "bzip2", "bz.zip", "conversations.json"});
  std::string second_header_broken = build_zip({good, {"memories.json", "{}"}});
  second_header_broken[second_header_broken.find("PK\x03\x04", 4)] = 'X';
  std::string zip64_broken = build_zip({good}, true);
  zip64_broken[zip64_broken.rfind("PK\x06\x06")] = 'X';
  // Two items, and an end record that counts fewer: other readers list both.
  const std::string two = build_zip({good, {"memories.json", "{}"}});
  const auto two_at = static_cast<std::uint32_t>(two.find("PK\x01\x02"));
  const auto two_size = static_cast<std::uint32_t>(two.size() - 22 - two_at);
  // Zip bombs: items sharing one compressed kernel, or an item whose data runs over the next.
  const std::string bomb_kernel = std::string(300'000, 'a');
  RawItem kernel_again("conversations-1.json", bomb_kernel);
  kernel_again.same_data_as = 0;
  RawItem covering("conversations.json", "[]", 0);
  covering.compressed = 2 + 30 + 20 + 2;

  // (archive, expected message, whether reading must stop before inflating anything)
  const std::vector<std::tuple<std::string, std::string, std::string>> table = {
      {"21 bytes", std::string(21, 'P'), "this file is too small to be a zip"},
      {"text", "hello, this is a text file and not an archive at all\n", "this is not a zip file"},
      {"no end record", "PK\x03\x04" + std::string(100, '\0'), "this is not a zip file"},
      {"index past the end", patched(6, 0x7FFFFFF0, 4), "the zip is truncated or damaged"},
      {"zip64 without locator", patched(12, 0xFFFF, 2), "broken zip64 end"},
      {"zip64 end damaged", zip64_broken, "broken zip64 end"},
      {"huge index", patched(10, (256u << 20) + 1, 4), "the zip index is too large"},
      {"count too high", patched(12, 2, 2), "broken zip index"},
      {"count short of the index", with_end_record(two, 1, two_size, two_at), "broken zip index"},
      {"count of none", with_end_record(two, 0, two_size, two_at), "broken zip index"},
      {"header past the end", item([](RawItem& i) { i.offset = 1u << 30; }),
       "the zip is truncated or damaged"},
      {"encrypted", folder.read("enc.zip"), "this zip is password protected"},
      {"bzip2", folder.read("bz.zip"), "unsupported zip method 12"},
      {"checksum", item([](RawItem& i) { i.crc = 1; }),
       "conversations.json is corrupted (checksum mismatch)"},
      {"longer than recorded", item([&](RawItem& i) { i.uncompressed = list.size() - 1; }),
       "conversations.json is larger than the zip says"},
      {"stored longer", item([&](RawItem& i) { i.method = 0, i.uncompressed = list.size() - 1; }),
       "conversations.json is larger than the zip says"},
      {"shorter than recorded", item([&](RawItem& i) { i.uncompressed = list.size() + 1; }),
       "conversations.json is incomplete"},
      {"1 KiB claiming 1 MiB", build_zip({{"conversations.json", std::string(1 << 20, '[')}}),
       "a file in this zip is suspiciously compressed"},
      {"over 4 GiB", item([](RawItem& i) { i.uncompressed = (4ULL << 30) + 1; }),
       "a file in this zip is too large"},
      {"corrupt deflate", item([](RawItem& i) { i.stored = std::string(64, '\xff'); }),
       "corrupt deflate stream"},
      {"cut deflate", item([&](RawItem& i) { i.stored = deflated.substr(0, deflated.size() / 2); }),
       "incomplete deflate stream"},
      {"broken local header", second_header_broken, "broken zip entry"},
      {"side file not JSON", build_zip({good, {"memories.json", "{nope"}}),
       "memories.json is not valid JSON"},
      {"two items, one kernel", build_zip({{"conversations.json", bomb_kernel}, kernel_again}),
       "the zip is truncated or damaged"},
      {"data covering the next header", build_zip({covering, {"conversations-1.json", "[]", 0}}),
       "the zip is truncated or damaged"},
  };
  for (const auto& [what, bytes, message] : table) {
    int progress = 0;
    ReadOptions options;
    options.progress = [&](const char*, std::uint64_t, std::uint64_t, std::uint64_t) {
      ++progress;
    };
    EXPECT_EQ(error_of(read_bytes(bytes, options)), message) << what;
    // Overlap and every directory fault stop the reader before it opens a single item.
    if (message == "the zip is truncated or damaged" || message.rfind("broken zip", 0) == 0) {
      EXPECT_EQ(progress, message == "broken zip entry" ? 2 : 0) << what;
    }
  }

  // A large side file stays behind; a zip64 end record is followed, also when the plain end
  // record marks only the directory's size as kept there.
  const ReadResult with_big_side =
      read_bytes(build_zip({good, {"memory.json", std::string(3 << 20, ' ') + "{}"}}, true));
  ASSERT_EQ(error_of(with_big_side), "");
  EXPECT_EQ(parts_of(with_big_side).size(), 1u);
  const std::string zip64 = build_zip({good}, true);
  const ReadResult size_in_zip64 = read_bytes(
      with_end_record(zip64, 1, 0xFFFFFFFF, static_cast<std::uint32_t>(zip64.find("PK\x01\x02"))));
  ASSERT_EQ(error_of(size_in_zip64), "");
  EXPECT_EQ(parts_of(size_in_zip64).size(), 1u);

  // The compressed total counts every part.
  ReadOptions small_total;
  small_total.max_upload_total = 100;
  EXPECT_EQ(error_of(read_bytes(valid, small_total)), "this export is too large to import");

  // Files that are not archives at all.
  folder.write("big.zip", "PK\x03\x04");
  std::filesystem::resize_file(folder.path("big.zip"), kMaxArchiveSize + 1);  // sparse
  EXPECT_EQ(error_of(read_export(folder.path("big.zip"))), "this file is too large to import");
  EXPECT_EQ(error_of(read_export(folder.path("missing.zip"))), "No such file or directory");
  EXPECT_EQ(error_of(read_export(folder.path(""))), "Is a directory");
  std::atomic<bool> stop{true};
  ReadOptions stopped;
  stopped.cancel = &stop;
  EXPECT_EQ(error_of(read_bytes(valid, stopped)), "the import was stopped");
}

TEST(ExportReaderTest, CutOrFlippedArchivesNeverSucceedWronglyOrCrash) {
  ArchiveFolder folder;
  folder.write("conversations.json", joined({conversation(1), conversation(2)}));
  folder.write("memories.json", R"({"m":[1,2,3]})");
  folder.run(QStringLiteral("zip"), {"-q", "a.zip", "conversations.json", "memories.json"});
  const std::string archive = folder.read("a.zip");
  ASSERT_GT(archive.size(), 200u);
  const std::set<std::string> messages = {"this file is too small to be a zip",
                                          "this is not a zip file",
                                          "broken zip64 end",
                                          "the zip index is too large",
                                          "broken zip index",
                                          "the zip is truncated or damaged",
                                          "no conversations.json was found in this zip",
                                          "this zip is password protected",
                                          "a file in this zip is too large",
                                          "a file in this zip is suspiciously compressed",
                                          "broken zip entry",
                                          "corrupt deflate stream",
                                          "incomplete deflate stream",
                                          "conversations.json is larger than the zip says",
                                          "conversations.json is incomplete",
                                          "conversations.json is corrupted (checksum mismatch)",
                                          "memories.json is incomplete",
                                          "memories.json is larger than the zip says",
                                          "memories.json is not valid JSON",
                                          "memories.json is corrupted (checksum mismatch)"};
  // A flipped byte may also change the name a message quotes, or the method it names.
  auto known = [&](const ReadResult& result) {
    const std::string error = error_of(result);
    auto ends = [&](std::string_view tail) {
      return error.size() > tail.size() &&
             error.compare(error.size() - tail.size(), tail.size(), tail) == 0;
    };
    return messages.count(error) == 1 || error.rfind("unsupported zip method ", 0) == 0 ||
           ends(" is incomplete") || ends(" is larger than the zip says") ||
           ends(" is corrupted (checksum mismatch)") || ends(" is not valid JSON");
  };
  for (std::size_t length = 0; length < archive.size(); ++length) {
    const ReadResult result = read_bytes(archive.substr(0, length));
    EXPECT_TRUE(known(result)) << length << ": " << error_of(result);
  }
  // One flipped byte: a check or the CRC-32 catches it, or it lies where no content is read
  // (a name, a time), and the content comes through unchanged.
  std::set<std::string> contents;
  const ReadResult original = read_bytes(archive);
  for (const UploadPart& part : parts_of(original)) contents.insert(gunzip(part.gzip));
  ASSERT_EQ(contents.size(), 2u);
  for (std::size_t at = 0; at < archive.size(); ++at) {
    std::string flipped = archive;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
    const ReadResult result = read_bytes(flipped);
    if (!error_of(result).empty()) {
      EXPECT_TRUE(known(result)) << at << ": " << error_of(result);
      continue;
    }
    for (const UploadPart& part : parts_of(result)) {
      EXPECT_EQ(contents.count(gunzip(part.gzip)), 1u) << at;
    }
  }
}

}  // namespace
}  // namespace export_reader_test
}  // namespace kavor::importer
