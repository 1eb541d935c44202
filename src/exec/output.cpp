#include "exec/output.h"

#include <algorithm>

#include "common/utf8.h"

namespace kavor::exec {

OutputCapture::OutputCapture() {
  head_.reserve(kHeadBytes);
}

void OutputCapture::add(std::string_view bytes) {
  total_ += bytes.size();
  const std::size_t to_head = std::min(bytes.size(), kHeadBytes - head_.size());
  head_.append(bytes.substr(0, to_head));
  bytes.remove_prefix(to_head);
  if (bytes.empty()) return;
  // Only the last kTailBytes of a long piece can survive in the ring.
  if (bytes.size() >= kTailBytes) {
    ring_.assign(bytes.substr(bytes.size() - kTailBytes));
    next_ = 0;
    return;
  }
  if (ring_.size() < kTailBytes) {
    const std::size_t room = kTailBytes - ring_.size();
    const std::size_t now = std::min(room, bytes.size());
    ring_.append(bytes.substr(0, now));
    bytes.remove_prefix(now);
  }
  // The ring is full: overwrite from the oldest byte on, wrapping at the end.
  while (!bytes.empty()) {
    const std::size_t now = std::min(bytes.size(), kTailBytes - next_);
    ring_.replace(next_, now, bytes.substr(0, now));
    next_ = (next_ + now) % kTailBytes;
    bytes.remove_prefix(now);
  }
}

std::string OutputCapture::text() const {
  std::string tail = ring_.substr(next_);
  tail.append(ring_, 0, next_);
  if (total_ <= kHeadBytes + kTailBytes) return common::utf8_lossy(head_ + tail);
  std::string out = common::utf8_lossy(head_);
  out += "\n[... " + std::to_string(total_ - kHeadBytes - kTailBytes) + " bytes cut ...]\n";
  common::append_utf8_lossy(tail, out);
  return out;
}

std::string StreamDecoder::decode(std::string_view bytes) {
  std::string joined;
  if (!held_.empty()) {
    joined = std::move(held_);
    joined.append(bytes);
    held_.clear();
    bytes = joined;
  }
  const std::size_t unfinished = common::utf8_unfinished_tail(bytes);
  std::string out = common::utf8_lossy(bytes.substr(0, bytes.size() - unfinished));
  held_.assign(bytes.substr(bytes.size() - unfinished));
  return out;
}

std::string StreamDecoder::finish() {
  std::string out = common::utf8_lossy(held_);
  held_.clear();
  return out;
}

}  // namespace kavor::exec
