// Reading a small file whole, by rules that keep a hostile one harmless: the one reader for a
// file someone else may have put in place (an ignore file, the workspace's package.json, a
// memory note, a file the assistant named) and for the kernel's own small files.
//
// Whatever stands at the name when it is read, each rule defeats one swap:
//   1. No link is followed anywhere on the path (no_follow.h): a folder on the way or the file
//      itself swapped for a link after the path was checked reads nothing, never what the link
//      leads to (a key file, /proc/self/environ). A caller that must follow links asks for it
//      and says why where it asks (the repository's exclude file, the kernel's /proc/self).
//   2. The file is opened non-blocking: a pipe put in its place cannot hold the reader forever
//      (one without a writer reads as empty, one whose writer says nothing fails with EAGAIN),
//      nor can a device that waits for input.
//   3. Only a regular file is read, unless the caller takes any kind: a folder has no bytes and
//      a device such as /dev/zero never ends.
//   4. At most `limit` bytes are kept, however large the file is or grows while it is read.
//      At the bound the caller chooses: cut (the first `limit` bytes, and `cut` says there were
//      more) or refuse (nothing; a regular file whose size is already above the bound is not
//      read at all).
//
// Cost: one open, one fstat (none when any kind is taken and nothing is refused at the bound)
// and reads of 64 KiB; memory: `limit` bytes at the most, and one more byte is read to tell a
// file that just fits from a longer one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kavor::walk {

enum class Links : std::uint8_t {
  Refuse,  // no link anywhere on the path (rule 1)
  Follow,  // links followed as open() follows them
};

enum class AtBound : std::uint8_t {
  Refuse,  // a file longer than the bound is not read (EFBIG)
  Cut,     // its first `limit` bytes are
};

struct ReadRules {
  std::uint64_t limit = 0;  // bytes kept at the most
  AtBound at_bound = AtBound::Refuse;
  Links links = Links::Refuse;
  bool any_kind = false;  // read pipes and devices too (still without blocking)
};

struct FileBytes {
  std::string bytes;  // at most `limit` bytes
  bool cut = false;   // the file held more than `limit` bytes (AtBound::Cut only)
  // 0 when read; otherwise the errno value of the open or of the read (`bytes` then holds what
  // came before the failing read), EFBIG for a file past the bound that is refused, EISDIR for
  // a folder and EINVAL for any other kind that is not read.
  int error = 0;

  bool ok() const { return error == 0; }
};

// Reads `path` relative to the folder `dir_fd` (AT_FDCWD for the working folder; `path` may be
// absolute) by `rules`.
FileBytes read_small_file(int dir_fd, std::string_view path, const ReadRules& rules);

}  // namespace kavor::walk
