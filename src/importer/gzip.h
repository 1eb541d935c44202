// Gzip members (RFC 1952) as the upload sends them: zlib's best level, no file name, no time,
// and operating-system byte 255 ("unknown"), so the same text gives the same bytes on every
// system. A member can be written in pieces, which lets a very large text be compressed while
// it is still arriving instead of being held whole. Nothing is allocated before the first
// write, so a writer is cheap to make and move to the thread that will use it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kavor::importer {

class GzipWriter {
 public:
  // `expected_input`: the text's size when known; the output starts at a quarter of it plus
  // 64 bytes and grows as needed.
  explicit GzipWriter(std::size_t expected_input = 0);
  ~GzipWriter();
  GzipWriter(GzipWriter&&) noexcept;
  GzipWriter& operator=(GzipWriter&&) noexcept;

  // Makes room for the output of `input_size` more bytes of text, as the constructor does.
  void expect(std::size_t input_size);
  void write(std::string_view text);
  // Ends the member and hands out its bytes; the writer is empty afterwards.
  std::string finish();

 private:
  struct State;
  State& state();

  std::size_t expected_ = 0;
  std::unique_ptr<State> state_;
};

// One whole text as one gzip member.
std::string gzip_best(std::string_view text);

}  // namespace kavor::importer
