// The index file: one workspace's entries and picks, stored so that the next start needs no
// walk. All integers little-endian, no padding:
//
//   "KMXI"  u32 version 1  u32 R  root text (R bytes)
//   u32 P   P x (u16 n, n bytes of a picked path)
//   u32 E   E x (u16 n, n bytes of path, u32 mtime, u8 is_dir: 1 folder, 0 file)
//   u64 FNV-1a (basis 0xcbf29ce484222325, prime 0x100000001b3) of every byte before it
//
// A file is taken only when all of this holds; anything else (a short or cut file, a flipped
// byte, another root's file, more than kMaxEntries entries, text that is not UTF-8, a length
// that runs past the end) rejects it, and the caller walks the folder again. Every length is
// checked against the bytes that remain before it is used, so nothing in a damaged file can
// make the reader overrun or over-allocate, checksum or not. Entries out
// of order or repeated are sorted and cut to the first of each path. An entry path that could
// not come from a walk (empty, absolute, longer than kMaxPathBytes, with an empty, "." or ".."
// component) rejects the file too: the paths are shown to the page and offered as mentions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mention/index.h"

namespace kavor::mention {

inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t fnv1a64(std::string_view bytes);

// Where index files live: a folder, and whether each root gets its own file named by the hash
// of its root text. Without a data folder every root shares one file in the temporary folder
// (its root text tells whose it is).
struct IndexLocation {
  std::string folder;
  bool per_root = true;
};

inline constexpr std::string_view kSharedIndexName = "none.idx";

// "<16 lower-case hex digits of fnv1a64(root text)>.idx", or "none.idx"; empty when the folder
// is (no place to keep an index: loading finds nothing and saving fails).
std::string index_file_path(const IndexLocation& location, std::string_view root_text);
// The temporary sibling a save writes first: the ".idx" extension replaced by ".idx.tmp".
std::string temporary_path(const std::string& index_path);

struct IndexFileContent {
  std::vector<std::string> picks;
  std::vector<Entry> entries;
};

std::string serialize_index(std::string_view root_text, const std::vector<std::string>& picks,
                            const std::vector<Entry>& entries);
std::optional<IndexFileContent> parse_index(std::string_view bytes, std::string_view root_text);

// Reads and parses the file; a file that is there but cannot be taken is deleted.
std::optional<IndexFileContent> load_index_file(const std::string& path,
                                                std::string_view root_text);

// Writes `bytes` to the temporary sibling (a unique one for the shared "none.idx"), flushes it
// to the disk and renames it over the file; creates the folder first. False on any failure (the
// temporary file is then removed).
bool write_index_file(const std::string& path, std::string_view bytes);

}  // namespace kavor::mention
