#include "mention/index_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "common/utf8.h"
#include "mention/fold.h"
#include "walk/replace_file.h"

namespace kavor::mention {

namespace {

constexpr std::string_view kMagic = "KMXI";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kChecksumBytes = 8;
// Shorter files cannot hold a checksum and a header.
constexpr std::size_t kMinChecksummed = 16;
constexpr std::size_t kMinFile = 20;
// From this size on a block's pages are asked for at once (provide_pages, ready_heap_for).
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;
// The part of a file a load holds at a time: more than any record (a root text, a pick or an
// entry), small enough to stay in the processor's cache.
constexpr std::size_t kReadWindow = std::size_t{256} << 10;
// The writer's buffer estimate: most paths are well below this.
constexpr std::size_t kBytesPerEntryEstimate = 48;
constexpr std::size_t kHeaderEstimate = 256;
// The bytes one stored entry takes besides its path: length, mtime, is_dir.
constexpr std::size_t kLengthBytes = 2;
constexpr std::size_t kEntryTailBytes = 4 + 1;
constexpr std::size_t kEntryOverhead = kLengthBytes + kEntryTailBytes;

// What the allocator adds to each path's bytes: its header and the rounding up.
constexpr std::size_t kHeapBytesPerPath = 16;
// The most heap readied ahead of a load: well above the paths of the most entries of usual
// length (300,000 of them take about 25 MB).
constexpr std::size_t kMostHeapReadied = std::size_t{64} << 20;

// No valid file is larger: a header with a root text of a long path, the most picks of the
// longest length, the most entries of the longest path. A larger file is refused unread.
constexpr std::size_t kMaxRootBytes = 1 << 16;
constexpr std::size_t kMaxFileBytes = 12 + kMaxRootBytes + 4 + kMaxPicks * (2 + 0xFFFF) + 4 +
                                      kMaxEntries * (kEntryOverhead + kMaxPathBytes) +
                                      kChecksumBytes;

void put_u16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t fnv1a64_add(std::uint64_t hash, std::string_view bytes) {
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= kFnvPrime;
  }
  return hash;
}

template <typename T>
T little_endian(std::string_view bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    v |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  return static_cast<T>(v);
}

// A file read a window at a time: a load holds kReadWindow bytes of it, never the whole file,
// so no memory as large as the file has to be provided, page by page, and given back.
class FileSource {
 public:
  FileSource(int fd, std::size_t size)
      : fd_(fd),
        size_(size),
        capacity_(std::min(size, kReadWindow)),
        buffer_(new char[capacity_]) {}

  // Drops the bytes before `keep` and reads until at least `need` bytes are held from there
  // (fewer only at the end of the file, or when `need` exceeds the window). Returns them all.
  std::string_view refill(std::size_t keep, std::size_t need) {
    std::memmove(buffer_.get(), buffer_.get() + keep, held_ - keep);
    held_ -= keep;
    while (held_ < need && read_ < size_) {
      const std::size_t room = std::min(capacity_ - held_, size_ - read_);
      if (room == 0) break;
      const ssize_t n = read(fd_, buffer_.get() + held_, room);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      held_ += static_cast<std::size_t>(n);
      read_ += static_cast<std::size_t>(n);
    }
    return {buffer_.get(), held_};
  }

  // Whether the file ends where it was measured to: it may have grown since, which one more
  // byte says.
  bool ended_at_size() {
    for (;;) {
      char extra;
      const ssize_t more = read(fd_, &extra, 1);
      if (more < 0 && errno == EINTR) continue;
      return more == 0;
    }
  }

 private:
  int fd_;
  std::size_t size_;      // as measured before reading
  std::size_t capacity_;  // a small file's whole size, else kReadWindow
  std::unique_ptr<char[]> buffer_;
  std::size_t held_ = 0;  // bytes in the buffer
  std::size_t read_ = 0;  // bytes read from the file
};

// Reads little-endian integers and byte runs, refusing every read past its limit, and sums
// (FNV-1a) every byte it hands out unless told that the caller does. Its bytes are all in
// memory, or come from a FileSource window by window; a run it hands out stays valid until
// the next reading.
class Reader {
 public:
  Reader(std::string_view bytes, std::size_t limit) : window_(bytes), left_(limit) {}
  Reader(FileSource& source, std::size_t limit) : source_(&source), left_(limit) {}

  template <typename T>
  bool read(T& out) {
    if (!hold(sizeof(T))) return false;
    const std::string_view bytes = window_.substr(pos_, sizeof(T));
    out = little_endian<T>(bytes);
    hash_ = fnv1a64_add(hash_, bytes);
    advance(sizeof(T));
    return true;
  }

  bool take(std::size_t n, std::string_view& out, bool summed_by_caller = false) {
    if (!hold(n)) return false;
    out = window_.substr(pos_, n);
    if (!summed_by_caller) hash_ = fnv1a64_add(hash_, out);
    advance(n);
    return true;
  }

  // Sums the bytes up to the limit, passing over them.
  bool skip_rest() {
    while (left_ > 0) {
      std::string_view run;
      if (!take(std::min(left_, kReadWindow), run)) return false;
    }
    return true;
  }

  // Lets `n` more bytes be read past the limit (the checksum after the summed bytes).
  void extend(std::size_t n) { left_ += n; }

  std::size_t remaining() const { return left_; }
  std::uint64_t& hash() { return hash_; }

 private:
  bool hold(std::size_t n) {
    if (left_ < n) return false;
    if (window_.size() - pos_ >= n) return true;
    if (!source_) return false;
    window_ = source_->refill(pos_, n);
    pos_ = 0;
    return window_.size() >= n;
  }

  void advance(std::size_t n) {
    pos_ += n;
    left_ -= n;
  }

  FileSource* source_ = nullptr;
  std::string_view window_;
  std::size_t pos_ = 0;
  std::size_t left_;  // bytes that may still be read
  std::uint64_t hash_ = kFnvOffsetBasis;
};

// The bytes that interrupt the scan of a stored path: a separator, a NUL, and the first byte
// of every multi-byte character.
struct ScanStops {
  std::array<bool, 256> at{};
  constexpr ScanStops() {
    at['/'] = true;
    at[0] = true;
    for (int b = 0x80; b < 0x100; ++b) at[b] = true;
  }
};
constexpr ScanStops kScanStops{};

bool plain_component(std::string_view part) {
  return !part.empty() && part != "." && part != "..";
}

// The entry of a stored path, or nothing when no walk could have recorded it: empty, longer
// than kMaxPathBytes, an empty, "." or ".." component, a NUL, text that is not UTF-8. One pass
// over the bytes does the checks, what Entry::make derives (a non-ASCII character is checked,
// decoded and folded where it starts) and the checksum (`hash`, which a refused path leaves
// unfinished). The checksum's chain of multiplications sets the pace; the rest runs in its
// shadow as long as the common bytes stay in a tight loop of their own. Kept out of line:
// inlined into the parse, the loop's values were kept in memory, which doubled its cost.
[[gnu::noinline]] std::optional<Entry> stored_entry(std::string_view path, std::uint32_t mtime,
                                                    bool is_dir, std::uint64_t& hash) {
  if (path.empty() || path.size() > kMaxPathBytes) return std::nullopt;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(path.data());
  const std::size_t size = path.size();
  std::uint64_t sum = hash;
  std::uint64_t chars = 0;
  std::size_t slashes = 0;
  std::size_t component = 0;  // where the current component starts
  std::size_t i = 0;
  for (;;) {
    {
      // Held in locals of this loop, which no call crosses, so that they stay in registers.
      std::uint64_t run_sum = sum;
      std::uint64_t run_chars = 0;
      while (i < size && !kScanStops.at[bytes[i]]) {
        run_sum = (run_sum ^ bytes[i]) * kFnvPrime;
        run_chars |= kAsciiBits.of[bytes[i]];
        ++i;
      }
      sum = run_sum;
      chars |= run_chars;
    }
    if (i == size) break;
    const unsigned char stop = bytes[i];
    if (stop == '/') {
      if (!plain_component(path.substr(component, i - component))) return std::nullopt;
      sum = (sum ^ stop) * kFnvPrime;
      chars |= kAsciiBits.of[stop];
      ++slashes;
      component = ++i;
      continue;
    }
    if (stop == 0) return std::nullopt;
    // No byte of a multi-byte character is a "/" or a NUL: it is taken whole.
    if (common::utf8_sequence_length(path, i) == 0) return std::nullopt;
    std::size_t next = i;
    const char32_t folded = fold_char(decode_utf8(path, next));
    chars |= kNonAsciiText;
    if (folded != kFoldsToNothing) chars |= folded_char_bit(folded);
    for (; i < next; ++i) sum = (sum ^ bytes[i]) * kFnvPrime;
  }
  hash = sum;
  if (!plain_component(path.substr(component))) return std::nullopt;
  Entry e;
  e.path.assign(path);
  e.mtime = mtime;
  e.name_at = static_cast<std::uint16_t>(component);
  e.depth = static_cast<std::uint8_t>(std::min<std::size_t>(slashes + 1, 255));
  e.is_dir = is_dir;
  e.chars = chars;
  return e;
}

// Asks for the whole pages of a large block at once (a hint: nothing fails without it). Page
// by page, as the filling touches them, they would cost a fault each, which is much of a
// load's time on some virtual machines.
void provide_pages(const void* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  if (size < kLargeBlock) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto at = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (at + page - 1) & ~(page - 1);
  const std::uintptr_t end = (at + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)size;
#endif
}

// Readies the allocator for `bytes` of small allocations to come (the paths of a load): asks
// for them in large pieces and gives them back at once. A thread other than the first takes
// its memory from a region of its own that grows by what each allocation lacks, a system call
// (mprotect) each page; grown in large pieces, it stays grown for the small ones, which then
// cost only the page faults. Elsewhere this costs a few hundred allocations and nothing else.
// The pieces are never written to, and however large a file claims to be, no more than
// kMostHeapReadied is asked for.
void ready_heap_for(std::size_t bytes) {
  if (bytes < kLargeBlock) return;
  bytes = std::min(bytes, kMostHeapReadied);
  // Below the size from which the allocator maps a block on its own, outside the region.
  constexpr std::size_t kPiece = std::size_t{64} << 10;
  std::vector<void*> pieces;
  pieces.reserve(bytes / kPiece + 1);
  for (std::size_t got = 0; got < bytes; got += kPiece) {
    void* piece = std::malloc(kPiece);
    if (!piece) break;
    pieces.push_back(piece);
  }
  for (void* piece : pieces) std::free(piece);
}

// Reading the file from the magic to the checksum, summing the bytes along the way.
std::optional<IndexFileContent> parse_checked(Reader& in, std::string_view root_text);

}  // namespace

std::uint64_t fnv1a64(std::string_view bytes) {
  return fnv1a64_add(kFnvOffsetBasis, bytes);
}

std::string index_file_path(const IndexLocation& location, std::string_view root_text) {
  if (location.folder.empty()) return {};
  std::string name(kSharedIndexName);
  if (location.per_root) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a64(root_text)));
    name = std::string(hex) + ".idx";
  }
  std::string path = location.folder;
  if (!path.empty() && path.back() != '/') path.push_back('/');
  return path + name;
}

std::string temporary_path(const std::string& index_path) {
  constexpr std::string_view kExtension = ".idx";
  std::string stem = index_path;
  if (stem.size() >= kExtension.size() &&
      stem.compare(stem.size() - kExtension.size(), kExtension.size(), kExtension) == 0)
    stem.resize(stem.size() - kExtension.size());
  return stem + ".idx.tmp";
}

std::string serialize_index(std::string_view root_text, const std::vector<std::string>& picks,
                            const std::vector<Entry>& entries) {
  std::string out;
  out.reserve(entries.size() * kBytesPerEntryEstimate + kHeaderEstimate);
  out.append(kMagic);
  put_u32(out, kVersion);
  put_u32(out, static_cast<std::uint32_t>(root_text.size()));
  out.append(root_text);
  std::vector<const std::string*> kept_picks;
  for (const std::string& pick : picks) {
    if (pick.size() <= 0xFFFF && kept_picks.size() < kMaxPicks) kept_picks.push_back(&pick);
  }
  put_u32(out, static_cast<std::uint32_t>(kept_picks.size()));
  for (const std::string* pick : kept_picks) {
    put_u16(out, static_cast<std::uint16_t>(pick->size()));
    out.append(*pick);
  }
  put_u32(out, static_cast<std::uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    put_u16(out, static_cast<std::uint16_t>(e.path.size()));
    out.append(e.path);
    put_u32(out, e.mtime);
    out.push_back(e.is_dir ? 1 : 0);
  }
  put_u64(out, fnv1a64(out));
  return out;
}

std::optional<IndexFileContent> parse_index(std::string_view bytes, std::string_view root_text) {
  if (bytes.size() < kMinChecksummed) return std::nullopt;
  Reader in(bytes, bytes.size() - kChecksumBytes);
  return parse_checked(in, root_text);
}

namespace {

// The bytes before the checksum, read and summed.
std::optional<IndexFileContent> parse_body(Reader& in, std::string_view root_text) {
  if (in.remaining() + kChecksumBytes < kMinFile) return std::nullopt;

  std::string_view magic;
  std::uint32_t version = 0;
  std::uint32_t root_size = 0;
  std::string_view root;
  if (!in.take(kMagic.size(), magic) || magic != kMagic) return std::nullopt;
  if (!in.read(version) || version != kVersion) return std::nullopt;
  if (!in.read(root_size) || root_size != root_text.size() || !in.take(root_size, root) ||
      root != root_text)
    return std::nullopt;

  IndexFileContent out;
  std::uint32_t pick_count = 0;
  if (!in.read(pick_count)) return std::nullopt;
  // Reading stops after the last pick kept, whatever the count says.
  for (std::uint32_t i = 0; i < pick_count && i < kMaxPicks; ++i) {
    std::uint16_t n = 0;
    std::string_view pick;
    if (!in.read(n) || !in.take(n, pick) || !common::valid_utf8(pick)) return std::nullopt;
    out.picks.emplace_back(pick);
  }

  std::uint32_t entry_count = 0;
  if (!in.read(entry_count) || entry_count > kMaxEntries) return std::nullopt;
  // A count the remaining bytes cannot hold is refused before anything is reserved for it.
  if (std::size_t{entry_count} * kEntryOverhead > in.remaining()) return std::nullopt;
  out.entries.reserve(entry_count);
  provide_pages(out.entries.data(), entry_count * sizeof(Entry));
  // Each path longer than a string holds inline is an allocation of its bytes and the
  // allocator's header: about the bytes that remain, and a little more for each entry.
  ready_heap_for(in.remaining() + std::size_t{entry_count} * kHeapBytesPerPath);
  bool ascending = true;
  for (std::uint32_t i = 0; i < entry_count; ++i) {
    // The record after its length at once: the path is summed while it is checked, then the
    // mtime and is_dir bytes, in the file's order.
    std::uint16_t n = 0;
    std::string_view record;
    if (!in.read(n) || n > kMaxPathBytes || !in.take(n + kEntryTailBytes, record, true))
      return std::nullopt;
    const std::string_view path = record.substr(0, n);
    const std::string_view tail = record.substr(n);
    std::optional<Entry> entry =
        stored_entry(path, little_endian<std::uint32_t>(tail), tail[4] == 1, in.hash());
    if (!entry) return std::nullopt;
    in.hash() = fnv1a64_add(in.hash(), tail);
    // The order is checked as the entries arrive, while the previous path is at hand.
    if (i > 0 && ascending && !(std::string_view(out.entries.back().path) < path))
      ascending = false;
    out.entries.push_back(std::move(*entry));
  }
  // Bytes after the last entry, if any, are summed as well.
  if (!in.skip_rest()) return std::nullopt;
  if (!ascending) sort_unique(out.entries);
  return out;
}

std::optional<IndexFileContent> parse_checked(Reader& in, std::string_view root_text) {
  // The checksum is computed while reading, each byte summed as it is parsed: one pass over
  // the file, not two. The reading believes no length it has not checked against the bytes,
  // so reading a damaged file before its checksum is known is harmless; its result is dropped.
  std::optional<IndexFileContent> content = parse_body(in, root_text);
  if (!content) return std::nullopt;
  const std::uint64_t computed = in.hash();
  std::uint64_t stored = 0;
  in.extend(kChecksumBytes);
  if (!in.read(stored) || computed != stored) return std::nullopt;
  return content;
}

}  // namespace

std::optional<IndexFileContent> load_index_file(const std::string& path,
                                                std::string_view root_text) {
  // Not following a link, and not blocking on a pipe put in the file's place.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT) unlink(path.c_str());
    return std::nullopt;
  }
  std::optional<IndexFileContent> content;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_size) <= kMaxFileBytes &&
      static_cast<std::uint64_t>(st.st_size) >= kMinChecksummed) {
    const auto size = static_cast<std::size_t>(st.st_size);
    FileSource source(fd, size);
    Reader in(source, size - kChecksumBytes);
    content = parse_checked(in, root_text);
    if (content && !source.ended_at_size()) content.reset();
  }
  close(fd);
  if (!content) unlink(path.c_str());
  return content;
}

bool write_index_file(const std::string& path, std::string_view bytes) {
  // Owner-only and flushed; one fixed temporary name, so that a save cut short leaves one
  // leftover that the next save reuses, not a new one each time. The data folder may be a link.
  // The shared file is saved by the workers of every root at once: each of them writes a
  // temporary file of its own, or their bytes would mix in one.
  walk::ReplaceOptions options;
  options.mode = 0600;
  options.folder_links = true;
  const std::filesystem::path file(path);
  if (file.filename() != kSharedIndexName) {
    options.temporary = std::filesystem::path(temporary_path(path)).filename().native();
  }
  return walk::replace_file(path, bytes, options) == 0;
}

}  // namespace kavor::mention
