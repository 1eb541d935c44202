// Random access to the bytes of an export archive. The zip reader only ever asks for a range at
// an offset, so the archive can be a file on disk or bytes already in memory (the fuzz target
// and hand-made test archives); nothing is ever written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/result.h"

namespace kavor::importer {

class ArchiveSource {
 public:
  virtual ~ArchiveSource() = default;

  virtual std::uint64_t size() const = 0;

  // Reads up to `length` bytes at `offset` into `out`. Returns the count read, which is short
  // only at the end of the archive, or throws ReadError with the system's text.
  virtual std::size_t read_at(std::uint64_t offset, char* out, std::size_t length) const = 0;
};

// Why reading an export stopped: one of the reader's messages ("this is not a zip file"), or
// the system's own text for an input/output failure ("Permission denied").
class ReadError : public std::exception {
 public:
  explicit ReadError(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// Gives up on the archive with one of the reader's messages.
[[noreturn]] inline void refuse(std::string text) {
  throw ReadError(std::move(text));
}

// Opens `path` for reading; its size is taken from the end position, as a seek to the end
// reports it. A folder, or a file that cannot be opened, gives the system's text. Opening never
// blocks on a named pipe.
Result<std::unique_ptr<ArchiveSource>> open_archive_file(const std::string& path);

// The bytes of `data`, which must outlive the source.
std::unique_ptr<ArchiveSource> memory_archive(std::string_view data);

}  // namespace kavor::importer
