// Arbitrary bytes as a mention index file of one root. The checksum at the end is put right
// first: a file with a wrong one is refused by one comparison, and left as it is the fuzzer would
// spend its time there. A file taken must hold only what a walk can write, and read the same
// from memory, from disk and once written again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "mention/index_file.h"

namespace {

using namespace kavor::mention;

// The root the seed files were written for (fuzz/make-corpus).
constexpr std::string_view kRoot = "/home/user/project";

std::string with_right_checksum(std::string bytes) {
  constexpr std::size_t kChecksumBytes = 8;
  if (bytes.size() < kChecksumBytes) return bytes;
  bytes.resize(bytes.size() - kChecksumBytes);
  const std::uint64_t sum = fnv1a64(bytes);
  for (std::size_t i = 0; i < kChecksumBytes; ++i)
    bytes.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
  return bytes;
}

bool same(const Entry& a, const Entry& b) {
  return a.path == b.path && a.mtime == b.mtime && a.is_dir == b.is_dir && a.name_at == b.name_at &&
         a.depth == b.depth && a.chars == b.chars;
}

bool same(const IndexFileContent& a, const IndexFileContent& b) {
  if (a.picks != b.picks || a.entries.size() != b.entries.size()) return false;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    if (!same(a.entries[i], b.entries[i])) return false;
  }
  return true;
}

// A scratch file of this process, for the reading from disk.
const std::string& scratch_file() {
  static const std::string path = [] {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/kavor-index-fuzz-" +
           std::to_string(getpid()) + ".idx";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes =
      with_right_checksum(std::string(reinterpret_cast<const char*>(data), size));
  const auto parsed = parse_index(bytes, kRoot);

  // From disk the file is read a window at a time, with the same verdict and content; a file
  // refused is deleted.
  {
    std::ofstream(scratch_file(), std::ios::binary | std::ios::trunc) << bytes;
    const auto loaded = load_index_file(scratch_file(), kRoot);
    if (parsed.has_value() != loaded.has_value()) __builtin_trap();
    if (parsed && !same(*parsed, *loaded)) __builtin_trap();
    if (!loaded && access(scratch_file().c_str(), F_OK) == 0) __builtin_trap();
    unlink(scratch_file().c_str());
  }
  if (!parsed) return 0;

  // Sorted, each path once, each entry as the walk's own constructor makes it.
  const auto& entries = parsed->entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i > 0 && !(entries[i - 1].path < entries[i].path)) __builtin_trap();
    if (!same(entries[i], Entry::make(entries[i].path, entries[i].mtime, entries[i].is_dir)))
      __builtin_trap();
  }
  if (parsed->picks.size() > kMaxPicks || entries.size() > kMaxEntries) __builtin_trap();

  // Written again and read back, it is the same.
  const auto again = parse_index(serialize_index(kRoot, parsed->picks, entries), kRoot);
  if (!again || !same(*parsed, *again)) __builtin_trap();
  return 0;
}
