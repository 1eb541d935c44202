#include "importer/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "common/utf8.h"

namespace kavor::importer {

namespace {

constexpr std::uint32_t kLocalHeaderSig = 0x04034b50;
constexpr std::uint32_t kDirectoryRecordSig = 0x02014b50;
constexpr std::uint32_t kEndRecordSig = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSig = 0x07064b50;
constexpr std::uint32_t kZip64EndRecordSig = 0x06064b50;

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kDirectoryRecordSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
// In the end record, these values say "look in the zip64 end record instead".
constexpr std::uint16_t kZip64Count = 0xFFFF;
constexpr std::uint32_t kZip64Value = 0xFFFFFFFF;
constexpr std::uint16_t kZip64ExtraId = 0x0001;

constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;

std::uint16_t u16(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
std::uint32_t u32(const char* p) {
  return u16(p) | (static_cast<std::uint32_t>(u16(p + 2)) << 16);
}
std::uint64_t u64(const char* p) {
  return u32(p) | (static_cast<std::uint64_t>(u32(p + 4)) << 32);
}

// `length` bytes at `offset`, all of them, or the archive is shorter than its records say.
std::string read_exactly(const ArchiveSource& source, std::uint64_t offset, std::size_t length,
                         const char* short_message) {
  std::string out(length, '\0');
  if (source.read_at(offset, out.data(), length) != length) refuse(short_message);
  return out;
}

// Whether [offset, offset + length) lies inside [0, size), without overflowing.
bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

struct DirectoryPlace {
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
};

// Opening steps 2 to 4: the signature at the start, the end record, and the zip64 forms.
DirectoryPlace find_directory(const ArchiveSource& source, std::uint64_t archive_size) {
  const std::string head = read_exactly(source, 0, 4, "this is not a zip file");
  const std::uint32_t first = u32(head.data());
  if (first != kLocalHeaderSig && first != kEndRecordSig) refuse("this is not a zip file");

  const std::uint64_t tail_size = std::min(archive_size, kEndRecordSearch);
  const std::uint64_t tail_at = archive_size - tail_size;
  const std::string tail =
      read_exactly(source, tail_at, static_cast<std::size_t>(tail_size), "this is not a zip file");
  std::size_t end_record = std::string::npos;
  for (std::size_t i = tail.size() - kEndRecordSize + 1; i-- > 0;) {
    if (u32(tail.data() + i) == kEndRecordSig) {
      end_record = i;
      break;
    }
  }
  if (end_record == std::string::npos) refuse("this is not a zip file");

  const char* record = tail.data() + end_record;
  DirectoryPlace place{u16(record + 10), u32(record + 12), u32(record + 16)};
  // Any of the three at its maximum means the real values are in the zip64 end record; a
  // writer marks only the field that did not fit, which may be the size alone.
  if (place.count != kZip64Count && place.size != kZip64Value && place.offset != kZip64Value)
    return place;

  // The zip64 locator sits right before the end record and points at the zip64 end record.
  const std::uint64_t end_record_at = tail_at + end_record;
  if (end_record_at < kZip64LocatorSize) refuse("broken zip64 end");
  const std::string locator = read_exactly(source, end_record_at - kZip64LocatorSize,
                                           kZip64LocatorSize, "broken zip64 end");
  if (u32(locator.data()) != kZip64LocatorSig) refuse("broken zip64 end");
  const std::uint64_t zip64_at = u64(locator.data() + 8);
  if (!fits(zip64_at, kZip64EndRecordSize, archive_size)) refuse("broken zip64 end");
  const std::string zip64 = read_exactly(source, zip64_at, kZip64EndRecordSize, "broken zip64 end");
  if (u32(zip64.data()) != kZip64EndRecordSig) refuse("broken zip64 end");
  return {u64(zip64.data() + 32), u64(zip64.data() + 40), u64(zip64.data() + 48)};
}

// Directory step 3: zip64 extra blocks replace the 32-bit fields that hold 0xFFFFFFFF, in the
// order uncompressed size, compressed size, local header offset.
void apply_zip64_extra(std::string_view extra, ZipEntry& entry) {
  std::size_t at = 0;
  while (extra.size() - at >= 4) {
    const std::uint16_t id = u16(extra.data() + at);
    const std::uint16_t size = u16(extra.data() + at + 2);
    at += 4;
    if (size > extra.size() - at) break;
    if (id == kZip64ExtraId) {
      std::string_view block = extra.substr(at, size);
      for (std::uint64_t* field :
           {&entry.uncompressed_size, &entry.compressed_size, &entry.local_header_offset}) {
        if (*field != kZip64Value) continue;
        if (block.size() < 8) break;
        *field = u64(block.data());
        block.remove_prefix(8);
      }
    }
    at += size;
  }
}

}  // namespace

ZipArchive ZipArchive::open(const ArchiveSource& source,
                            const std::function<bool(const ZipEntry&)>& keep) {
  // 1. Size bounds.
  ZipArchive archive;
  archive.size_ = source.size();
  if (archive.size_ < kMinArchiveSize) refuse("this file is too small to be a zip");
  if (archive.size_ > kMaxArchiveSize) refuse("this file is too large to import");

  // 2. Where the directory is, and whether it may be read at all.
  const DirectoryPlace place = find_directory(source, archive.size_);
  if (place.size > kMaxDirectorySize) refuse("the zip index is too large");
  if (!fits(place.offset, place.size, archive.size_)) refuse("the zip is truncated or damaged");
  const std::string directory =
      read_exactly(source, place.offset, static_cast<std::size_t>(place.size),
                   "the zip is truncated or damaged");

  // 3. Every record, each checked against the directory and the archive.
  struct Span {
    std::uint64_t start;
    std::uint64_t end;  // at least: the fixed local header plus the compressed data
  };
  std::vector<Span> spans;
  spans.reserve(std::min<std::uint64_t>(place.count, directory.size() / kDirectoryRecordSize));
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < place.count; ++i) {
    if (directory.size() - at < kDirectoryRecordSize) refuse("broken zip index");
    const char* record = directory.data() + at;
    if (u32(record) != kDirectoryRecordSig) refuse("broken zip index");
    ZipEntry entry;
    entry.flags = u16(record + 8);
    entry.method = u16(record + 10);
    entry.crc32 = u32(record + 16);
    entry.compressed_size = u32(record + 20);
    entry.uncompressed_size = u32(record + 24);
    const std::size_t name_length = u16(record + 28);
    const std::size_t extra_length = u16(record + 30);
    const std::size_t comment_length = u16(record + 32);
    entry.local_header_offset = u32(record + 42);
    const std::size_t variable = name_length + extra_length + comment_length;
    if (directory.size() - at - kDirectoryRecordSize < variable) refuse("broken zip index");
    const std::string_view name(record + kDirectoryRecordSize, name_length);
    apply_zip64_extra(std::string_view(record + kDirectoryRecordSize + name_length, extra_length),
                      entry);
    at += kDirectoryRecordSize + variable;

    if (!fits(entry.local_header_offset, kLocalHeaderSize, archive.size_) ||
        !fits(entry.local_header_offset, entry.compressed_size, archive.size_)) {
      refuse("the zip is truncated or damaged");
    }
    // Both summands are below the archive size now, so this cannot overflow.
    spans.push_back({entry.local_header_offset,
                     entry.local_header_offset + kLocalHeaderSize + entry.compressed_size});
    entry.name = common::utf8_lossy(name);
    if (keep(entry)) archive.kept_.push_back(std::move(entry));
  }
  // A count that stops short of the directory's end would hide the records after it: other
  // readers go by the directory and list them, so what this one reads would differ from what
  // the user sees in the archive.
  if (at != directory.size()) refuse("broken zip index");

  // 4. Overlap, before any item is inflated.
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.start < b.start; });
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].start < spans[i - 1].end) refuse("the zip is truncated or damaged");
  }
  archive.starts_.reserve(spans.size());
  for (const Span& span : spans) archive.starts_.push_back(span.start);
  return archive;
}

std::uint64_t ZipArchive::next_item_start(std::uint64_t offset) const {
  const auto next = std::upper_bound(starts_.begin(), starts_.end(), offset);
  return next == starts_.end() ? size_ : *next;
}

struct EntryStream::Inflater {
  z_stream z{};
  bool ready = false;
  ~Inflater() {
    if (ready) inflateEnd(&z);
  }
};

EntryStream::EntryStream(const ArchiveSource& source, const ZipArchive& archive,
                         const ZipEntry& entry)
    : source_(source), entry_(entry), crc_(static_cast<std::uint32_t>(crc32(0, nullptr, 0))) {
  // 1. What the directory alone can refuse.
  if (entry.encrypted()) refuse("this zip is password protected");
  if (entry.uncompressed_size > kMaxItemSize) refuse("a file in this zip is too large");
  if (entry.compressed_size != 0 &&
      entry.uncompressed_size / entry.compressed_size > kMaxCompressionRatio) {
    refuse("a file in this zip is suspiciously compressed");
  }

  // 2. The local header, and the exact place of the data behind it.
  const std::string header = read_exactly(source, entry.local_header_offset, kLocalHeaderSize,
                                          "the zip is truncated or damaged");
  if (u32(header.data()) != kLocalHeaderSig) refuse("broken zip entry");
  data_at_ = entry.local_header_offset + kLocalHeaderSize + u16(header.data() + 26) +
             u16(header.data() + 28);
  data_left_ = entry.compressed_size;
  const std::uint64_t limit = archive.next_item_start(entry.local_header_offset);
  if (!fits(data_at_, data_left_, limit)) refuse("the zip is truncated or damaged");

  // 3. The method.
  if (entry.method == kDeflated) {
    inflater_ = std::make_unique<Inflater>();
    // Negative window bits: a raw deflate stream, as zip stores it, without a zlib wrapper.
    if (inflateInit2(&inflater_->z, -MAX_WBITS) != Z_OK) refuse("corrupt deflate stream");
    inflater_->ready = true;
    in_.resize(kReadChunk);
  } else if (entry.method != kStored) {
    refuse("unsupported zip method " + std::to_string(entry.method));
  }
  out_.resize(kReadChunk);
}

EntryStream::~EntryStream() = default;

std::size_t EntryStream::read_raw(char* out, std::size_t wanted) {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, data_left_));
  if (source_.read_at(data_at_, out, n) != n) refuse("the zip is truncated or damaged");
  data_at_ += n;
  data_left_ -= n;
  return n;
}

void EntryStream::account(std::size_t produced) {
  produced_ += produced;
  if (produced_ > entry_.uncompressed_size) refuse(entry_.name + " is larger than the zip says");
  crc_ = static_cast<std::uint32_t>(
      crc32(crc_, reinterpret_cast<const Bytef*>(out_.data()), static_cast<uInt>(produced)));
}

void EntryStream::finish() {
  done_ = true;
  if (produced_ < entry_.uncompressed_size) refuse(entry_.name + " is incomplete");
  if (crc_ != entry_.crc32) refuse(entry_.name + " is corrupted (checksum mismatch)");
}

std::string_view EntryStream::next() {
  if (done_) return {};

  if (!inflater_) {  // stored
    const std::size_t n = read_raw(out_.data(), out_.size());
    if (n == 0) {
      finish();
      return {};
    }
    account(n);
    return {out_.data(), n};
  }

  z_stream& z = inflater_->z;
  z.next_out = reinterpret_cast<Bytef*>(out_.data());
  z.avail_out = static_cast<uInt>(out_.size());
  while (!stream_ended_ && z.avail_out > 0) {
    if (z.avail_in == 0 && data_left_ > 0) {
      z.next_in = reinterpret_cast<Bytef*>(in_.data());
      z.avail_in = static_cast<uInt>(read_raw(in_.data(), in_.size()));
    }
    const int status = inflate(&z, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      stream_ended_ = true;
    } else if (status == Z_BUF_ERROR || status == Z_OK) {
      // Waiting for input that does not exist: the stream stops mid-way. What came out before
      // is handed out (and counted) first; the next call fails.
      if (z.avail_in == 0 && data_left_ == 0) {
        if (z.avail_out < out_.size()) break;
        refuse("incomplete deflate stream");
      }
    } else {
      refuse("corrupt deflate stream");  // data, dictionary, memory or state errors
    }
  }
  const std::size_t n = out_.size() - z.avail_out;
  if (n == 0) {
    finish();
    return {};
  }
  account(n);
  return {out_.data(), n};
}

}  // namespace kavor::importer
