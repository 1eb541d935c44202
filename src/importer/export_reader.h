// Reads a chat export archive into the gzip parts the upload sends.
//
// 1. The zip directory is read and checked (zip_reader.h), and the items that matter are picked
//    by the lower-cased last component of their name: "conversations.json" or
//    "conversations-<digits>.json" hold conversations; small JSON files about memories, custom
//    instructions and the like travel along as side files; everything else stays in the zip.
// 2. The picked items are read in the byte order of their names. A side file is read whole,
//    checked to be JSON and becomes one part.
// 3. A conversation file streams through the splitter (conversation_splitter.h); each object is
//    checked as JSON while it passes (json_check.h) and appended to the part being collected,
//    which is sent off to be compressed once it holds 3 MiB of objects, as "[" + the objects
//    joined by "," + "]". An object with a non-empty `conversation_id` (or `id`) and an object
//    `mapping` counts as a conversation; any other object goes along too but counts as foreign.
// 4. Parts are compressed on helper threads while reading goes on, and collected in order; the
//    running total of compressed bytes may not pass 800 MiB.
//
// Memory stays bounded whatever the archive claims: the zip directory, the part being
// collected (a single object larger than 16 MiB is compressed while it arrives instead of being
// held), a few parts in compression, and the finished compressed parts, which the total caps.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "importer/archive_source.h"
#include "platform/result.h"

namespace kavor::importer {

inline constexpr std::uint64_t kMaxSideFileSize = 2ULL << 20;
// Collected object bytes after which a part is flushed.
inline constexpr std::uint64_t kPartFlushAt = 3ULL << 20;
// The service's limit for one import, counted over the compressed parts.
inline constexpr std::uint64_t kMaxUploadTotal = 800ULL << 20;
// A part's text above this is compressed as it grows rather than kept: only a single object
// this large gets there, and holding it would let one hostile conversation take gigabytes.
inline constexpr std::uint64_t kCompressWhileReadingAbove = 16ULL << 20;

struct UploadPart {
  std::string name;  // last component of the item's name, as written in the archive
  std::string gzip;
  std::string kind;  // "conversations" or "file"
  std::uint64_t raw_size = 0;
};

enum class ItemKind { Conversations, SideFile, Ignored };

// Which role the item `name` (its full name in the archive) with that uncompressed size plays.
ItemKind classify_item(std::string_view name, std::uint64_t uncompressed_size);

// (phase, done, total, bytes): ("reading", items read so far, items picked, 0).
using ProgressFn = std::function<void(const char* phase, std::uint64_t done, std::uint64_t total,
                                      std::uint64_t bytes)>;

struct ReadOptions {
  ProgressFn progress;
  // Checked between reads; when set, reading stops with a short phrase.
  const std::atomic<bool>* cancel = nullptr;
  // Helper threads compressing parts; 0 compresses on the reading thread.
  unsigned compress_threads = default_compress_threads();
  std::uint64_t part_flush_at = kPartFlushAt;
  std::uint64_t max_upload_total = kMaxUploadTotal;

  static unsigned default_compress_threads();
};

// The parts in upload order, or the message saying why the archive cannot be imported.
using ReadResult = Result<std::vector<UploadPart>>;

ReadResult read_export(const std::string& path, const ReadOptions& options = {});
ReadResult read_export(const ArchiveSource& source, const ReadOptions& options = {});

}  // namespace kavor::importer
