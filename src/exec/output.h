// What a command prints, kept twice over: whole and live for the page, bounded for the service.
//
// The capture keeps the first 15,000 bytes and a ring of the last 15,000, and counts the rest,
// so a command that prints a gigabyte costs 30 KB. The final text is the head and the tail with
// a notice of how many bytes were left out between them.
//
// The live stream is decoded piece by piece as it is read. A character whose bytes arrive in
// two reads is held back until it is complete, so the page never shows a broken character that
// the command did not print; bytes that are broken in the output itself still show as U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavor::exec {

inline constexpr std::size_t kHeadBytes = 15'000;
inline constexpr std::size_t kTailBytes = 15'000;

class OutputCapture {
 public:
  OutputCapture();

  void add(std::string_view bytes);
  std::uint64_t total() const { return total_; }

  // The output decoded: everything when it fits in head and tail, otherwise the head,
  // "\n[... {n} bytes cut ...]\n" and the tail, each decoded on its own.
  std::string text() const;

 private:
  std::string head_;
  std::string ring_;  // kTailBytes once full; next_ is where the oldest byte is
  std::size_t next_ = 0;
  std::uint64_t total_ = 0;
};

class StreamDecoder {
 public:
  // The text of `bytes` with a trailing unfinished character held back for the next call.
  std::string decode(std::string_view bytes);
  // What is still held back, decoded as it stands (the stream has ended).
  std::string finish();

 private:
  std::string held_;  // at most 3 bytes
};

}  // namespace kavor::exec
