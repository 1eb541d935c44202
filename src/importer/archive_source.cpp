// The file form uses one descriptor and positioned reads (pread), so the directory pass and the
// reads of every item share it without a seek position to keep in step.
#include "importer/archive_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace kavor::importer {

namespace {

class FileSource : public ArchiveSource {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::uint64_t size() const override { return size_; }

  std::size_t read_at(std::uint64_t offset, char* out, std::size_t length) const override {
    std::size_t done = 0;
    while (done < length) {
      const ssize_t got =
          ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
      if (got < 0) {
        if (errno == EINTR) continue;
        throw ReadError(errno_text(errno));
      }
      if (got == 0) break;  // end of file
      done += static_cast<std::size_t>(got);
    }
    return done;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

class MemorySource : public ArchiveSource {
 public:
  explicit MemorySource(std::string_view data) : data_(data) {}

  std::uint64_t size() const override { return data_.size(); }

  std::size_t read_at(std::uint64_t offset, char* out, std::size_t length) const override {
    if (offset >= data_.size()) return 0;
    const std::size_t n = std::min<std::uint64_t>(length, data_.size() - offset);
    std::memcpy(out, data_.data() + offset, n);
    return n;
  }

 private:
  std::string_view data_;
};

}  // namespace

Result<std::unique_ptr<ArchiveSource>> open_archive_file(const std::string& path) {
  // O_NONBLOCK: opening a named pipe for reading would otherwise wait for a writer forever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(errno_text(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return fail(errno_text(error));
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    return fail(errno_text(EISDIR));
  }
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    const int error = errno;
    ::close(fd);
    return fail(errno_text(error));
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::unique_ptr<ArchiveSource>(
      std::make_unique<FileSource>(fd, static_cast<std::uint64_t>(end)));
}

std::unique_ptr<ArchiveSource> memory_archive(std::string_view data) {
  return std::make_unique<MemorySource>(data);
}

}  // namespace kavor::importer
