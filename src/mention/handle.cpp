#include "mention/handle.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kavor::mention {

std::uint64_t now_ms() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

std::uint64_t next_use_order() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1) + 1;
}

Mailbox::Mailbox() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Mailbox::~Mailbox() {
  if (fd_ >= 0) close(fd_);
}

void Mailbox::send_stop() {
  stop_.store(true);
  if (fd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
  }
}

void Mailbox::drain() {
  if (fd_ < 0) return;
  std::uint64_t value;
  [[maybe_unused]] const ssize_t n = read(fd_, &value, sizeof value);
}

IndexHandle::IndexHandle(std::string root_path_in, std::string root_text_in,
                         std::string file_path_in, std::size_t entry_cap_in)
    : root_path(std::move(root_path_in)),
      root_text(std::move(root_text_in)),
      file_path(std::move(file_path_in)),
      entry_cap(entry_cap_in),
      last_used_ms(now_ms()),
      use_order(next_use_order()) {
  // Until its worker has loaded or walked, an index is being built: an opening that answers
  // before the worker starts must not report an empty index as finished.
  index.indexing = true;
}

IndexHandle::~IndexHandle() {
  // Mentions joins every worker; only a worker that outlived its table would let go of the
  // last reference itself, on its own thread, where it cannot join.
  if (thread.joinable()) thread.detach();
}

void IndexHandle::stop() {
  cancel.store(true);
  mailbox.send_stop();
}

}  // namespace kavor::mention
