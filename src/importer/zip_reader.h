// The program's own zip reader, written for one job: reading a chat export that may have been
// damaged on the way or built to hurt the reader. Only raw inflate comes from zlib.
//
// The archive is trusted for nothing. Every number it holds is checked before it is used, and
// each check below is named after the malformation it rejects:
//
//   Not a zip       the first four bytes are neither a local header nor an end record, or no
//                   end record lies in the last 70,000 bytes (64 KiB of comment plus the record).
//   Huge index      a central directory above 256 MiB is refused before it is read, so a
//                   forged size cannot make the reader allocate gigabytes.
//   Broken index    every directory record must fit in the directory, names and extra fields
//                   included; a count larger than the records present runs out of bytes and
//                   stops, so the count costs nothing. The counted records must also fill the
//                   directory to its end: a smaller count would hide the records after it.
//   Out of bounds   an item whose local header or data would lie past the end of the archive
//                   is refused while the directory is read.
//   Overlap         two items whose data ranges share bytes are refused before anything is
//                   inflated. Real archives never overlap; the best-known zip bombs do, so that
//                   one small compressed kernel is inflated again for every item pointing at it.
//                   The directory gives each item at least [offset, offset + 30 + compressed);
//                   reading an item checks its exact range (after the local header's own name
//                   and extra fields) against the next item's start as well.
//   Lying ratio     an item claiming more than 400 times its compressed size is refused before
//                   it is opened; deflate's own limit is about 1032, real text stays far below.
//   Lying size      the bytes produced are counted while they are produced: the first byte past
//                   the recorded size stops the read, so no item yields more than it claims
//                   (and never more than 4 GiB); fewer bytes than recorded is an error at the end.
//   Corruption      a CRC-32 of the produced bytes must equal the recorded one.
//   Encryption and unknown methods are refused by name: only stored (0) and deflated (8).
//
// Memory: the directory (at most 256 MiB), 16 bytes per item for the overlap check, the kept
// records, and two 64 KiB buffers while an item is read. Items are streamed, never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "importer/archive_source.h"

namespace kavor::importer {

// Each read of the archive and each piece an item is handed out in.
inline constexpr std::size_t kReadChunk = 64 * 1024;
// An end record is 22 bytes; the smallest zip is one empty end record.
inline constexpr std::uint64_t kMinArchiveSize = 22;
inline constexpr std::uint64_t kMaxArchiveSize = 8ULL << 30;
// 22 bytes of end record plus a comment of at most 65,535 bytes, rounded up.
inline constexpr std::uint64_t kEndRecordSearch = 70'000;
inline constexpr std::uint64_t kMaxDirectorySize = 256ULL << 20;
inline constexpr std::uint64_t kMaxItemSize = 4ULL << 30;
inline constexpr std::uint64_t kMaxCompressionRatio = 400;

// One central directory record.
struct ZipEntry {
  std::string name;  // as UTF-8, invalid sequences replaced
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint64_t local_header_offset = 0;

  bool encrypted() const { return (flags & 1u) != 0; }
};

class ZipArchive {
 public:
  // Finds the end record, reads and checks the whole directory, and keeps the records for
  // which `keep` answers true (the others are checked, counted for overlap, and dropped).
  // Throws ReadError with the reader's message.
  static ZipArchive open(const ArchiveSource& source,
                         const std::function<bool(const ZipEntry&)>& keep);

  const std::vector<ZipEntry>& kept() const { return kept_; }

  // Where the next item's local header starts after `offset`; the archive size when none does.
  std::uint64_t next_item_start(std::uint64_t offset) const;

 private:
  std::uint64_t size_ = 0;
  std::vector<ZipEntry> kept_;
  std::vector<std::uint64_t> starts_;  // every item's local header offset, sorted
};

// Streams one item's content, checking it as it goes. Construction makes the checks that need
// no data (encryption, size, ratio, local header, method) and throws ReadError on failure.
class EntryStream {
 public:
  EntryStream(const ArchiveSource& source, const ZipArchive& archive, const ZipEntry& entry);
  ~EntryStream();
  EntryStream(const EntryStream&) = delete;
  EntryStream& operator=(const EntryStream&) = delete;

  // The next piece of content, at most kReadChunk bytes, valid until the next call. An empty
  // view means the end, reached only once the size and the CRC-32 matched. Throws ReadError.
  std::string_view next();

 private:
  std::size_t read_raw(char* out, std::size_t wanted);
  void account(std::size_t produced);
  void finish();

  const ArchiveSource& source_;
  const ZipEntry& entry_;
  std::uint64_t data_at_ = 0;    // next compressed byte to read
  std::uint64_t data_left_ = 0;  // compressed bytes not read yet
  std::uint64_t produced_ = 0;   // content bytes handed out so far
  std::uint32_t crc_ = 0;
  bool stream_ended_ = false;
  bool done_ = false;
  struct Inflater;
  std::unique_ptr<Inflater> inflater_;  // method 8 only
  std::vector<char> in_;
  std::vector<char> out_;
};

}  // namespace kavor::importer
