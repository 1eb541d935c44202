#include "importer/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

namespace kavor::importer {

namespace {

// 15 bits of window (zlib's largest), plus 16: write a gzip header and trailer around it.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemLevel = 8;  // zlib's default
constexpr int kOsUnknown = 255;
// zlib counts input in 32-bit units; larger texts are handed over in slices.
constexpr std::size_t kMaxSlice = 1u << 30;

}  // namespace

struct GzipWriter::State {
  z_stream z{};
  gz_header header{};
  std::string out;
  std::size_t used = 0;

  ~State() {
    if (z.state != nullptr) deflateEnd(&z);
  }

  void run(int flush) {
    while (true) {
      if (used == out.size()) out.resize(std::max<std::size_t>(out.size() * 2, 4096));
      const std::size_t room = std::min(out.size() - used, kMaxSlice);
      z.next_out = reinterpret_cast<Bytef*>(out.data() + used);
      z.avail_out = static_cast<uInt>(room);
      const int status = deflate(&z, flush);
      used += room - z.avail_out;
      if (status == Z_STREAM_END) return;
      if (status != Z_OK && status != Z_BUF_ERROR) throw std::bad_alloc();
      // Without finishing, deflate is done once it has taken all input and left room over.
      if (flush == Z_NO_FLUSH && z.avail_in == 0 && z.avail_out > 0) return;
    }
  }
};

GzipWriter::GzipWriter(std::size_t expected_input) : expected_(expected_input) {}

GzipWriter::State& GzipWriter::state() {
  if (!state_) {
    auto fresh = std::make_unique<State>();
    if (deflateInit2(&fresh->z, Z_BEST_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
    fresh->header.os = kOsUnknown;  // no name, no comment, no extra field, time 0
    deflateSetHeader(&fresh->z, &fresh->header);
    state_ = std::move(fresh);
    expect(expected_);
  }
  return *state_;
}

void GzipWriter::expect(std::size_t input_size) {
  State& s = state();
  const std::size_t wanted = s.used + input_size / 4 + 64;
  if (s.out.size() < wanted) s.out.resize(wanted);
}

GzipWriter::~GzipWriter() = default;
GzipWriter::GzipWriter(GzipWriter&&) noexcept = default;
GzipWriter& GzipWriter::operator=(GzipWriter&&) noexcept = default;

void GzipWriter::write(std::string_view text) {
  while (!text.empty()) {
    const std::size_t slice = std::min(text.size(), kMaxSlice);
    // zlib never writes through next_in; its interface just lacks the const.
    State& s = state();
    s.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    s.z.avail_in = static_cast<uInt>(slice);
    s.run(Z_NO_FLUSH);
    text.remove_prefix(slice);
  }
}

std::string GzipWriter::finish() {
  State& s = state();
  s.z.avail_in = 0;
  s.run(Z_FINISH);
  std::string out = std::move(s.out);
  out.resize(s.used);
  state_.reset();
  expected_ = 0;
  return out;
}

std::string gzip_best(std::string_view text) {
  GzipWriter writer(text.size());
  writer.write(text);
  return writer.finish();
}

}  // namespace kavor::importer
