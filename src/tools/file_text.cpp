#include "tools/file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/text.h"
#include "walk/no_follow.h"
#include "walk/small_file.h"

namespace kavor::tools {

bool looks_binary(std::string_view bytes) {
  const std::size_t probe = bytes.size() < kBinaryProbeBytes ? bytes.size() : kBinaryProbeBytes;
  return probe > 0 && std::memchr(bytes.data(), 0, probe) != nullptr;
}

Result<std::string> read_bytes(const fs::path& path, std::uint64_t limit) {
  // Any kind of file, as the callers ask for: they look at its kind first, and what a device
  // gives is read up to the bound like a file that grew.
  walk::FileBytes read = walk::read_small_file(
      AT_FDCWD, path.native(), {limit + 1, walk::AtBound::Cut, walk::Links::Refuse, true});
  if (!read.ok()) return fail(errno_text(read.error));
  return std::move(read.bytes);
}

bool stat_no_follow(const fs::path& path, struct stat& st) {
  const int fd = walk::open_no_follow(AT_FDCWD, path.native(), O_PATH);
  if (fd < 0) return false;
  const bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  return ok;
}

Result<TextFile> read_text_file(const fs::path& path) {
  const std::string name = common::utf8_lossy(path.string());
  struct stat st {};
  if (!stat_no_follow(path, st)) return fail(name + " does not exist.");
  if (S_ISDIR(st.st_mode)) return fail(name + " is a folder; use list_dir.");
  auto too_big = [&](std::uint64_t size) {
    return fail(name + " is " + std::to_string(size) +
                " bytes, too big to read whole; use grep or a shell command.");
  };
  if (static_cast<std::uint64_t>(st.st_size) > kReadWholeLimit) {
    return too_big(static_cast<std::uint64_t>(st.st_size));
  }
  Result<std::string> bytes = read_bytes(path, kReadWholeLimit);
  if (!bytes.ok()) return bytes.error();
  TextFile file;
  file.bytes = std::move(bytes).value();
  // The file grew after its size was taken, or is not a regular file at all.
  if (file.bytes.size() > kReadWholeLimit) return too_big(file.bytes.size());
  if (looks_binary(file.bytes)) {
    return fail(name + " is a binary file of " + std::to_string(file.bytes.size()) + " bytes.");
  }
  if (common::valid_utf8(file.bytes)) {
    file.text = file.bytes;
  } else {
    common::append_utf8_lossy(file.bytes, file.text);
  }
  return file;
}

Result<std::string> old_text_of(const fs::path& path) {
  const auto unshown = [](std::uint64_t size) {
    return fail("the file is " + std::to_string(size) + " bytes; its changes are not shown");
  };
  struct stat st {};
  if (!stat_no_follow(path, st) || !S_ISREG(st.st_mode)) return std::string();
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > kReadWholeLimit) return unshown(size);
  Result<std::string> read = read_bytes(path, kReadWholeLimit);
  if (!read.ok()) return std::string();
  std::string bytes = std::move(read).value();
  // It grew after its size was taken.
  if (bytes.size() > kReadWholeLimit) return unshown(bytes.size());
  if (looks_binary(bytes)) return std::string();
  return common::valid_utf8(bytes) ? bytes : common::utf8_lossy(bytes);
}

}  // namespace kavor::tools
