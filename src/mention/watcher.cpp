#include "mention/watcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "walk/path_form.h"

namespace kavor::mention {

namespace {

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::uint32_t kModified = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE;
constexpr std::uint32_t kChanged = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kSelfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

}  // namespace

std::unique_ptr<Watcher> Watcher::create(std::string root) {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::unique_ptr<Watcher>(new Watcher(fd, std::move(root)));
}

Watcher::~Watcher() {
  close(fd_);
}

bool Watcher::watch(const std::string& rel) {
  if (by_path_.size() >= kMaxWatchedFolders || by_path_.count(rel) != 0) return false;
  const std::string abs = rel.empty() ? root_ : root_ + "/" + rel;
  const int wd = inotify_add_watch(fd_, abs.c_str(), kWatchMask);
  if (wd < 0) return false;
  // The same folder under another path (it was moved and its move not yet read): the new
  // path is the true one.
  if (const auto it = by_wd_.find(wd); it != by_wd_.end()) by_path_.erase(it->second);
  by_wd_[wd] = rel;
  by_path_[rel] = wd;
  return true;
}

void Watcher::forget(int wd) {
  const auto it = by_wd_.find(wd);
  if (it == by_wd_.end()) return;
  by_path_.erase(it->second);
  by_wd_.erase(it);
}

void Watcher::drop_below(const std::string& rel) {
  std::vector<int> dropped;
  for (const auto& [wd, path] : by_wd_) {
    if (walk::inside_or_same(rel, path)) dropped.push_back(wd);
  }
  for (const int wd : dropped) {
    inotify_rm_watch(fd_, wd);
    forget(wd);
  }
}

void Watcher::push(FsEvent event) {
  // A file being written reports every write: one is enough.
  if (!queue_.empty() && queue_.back() == event) return;
  queue_.push_back(std::move(event));
}

void Watcher::read() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (got <= 0) {
      push({FsEvent::Kind::Error, {}, false});
      return;
    }
    for (ssize_t at = 0; at < got;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof(inotify_event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);

      if (event.mask & IN_Q_OVERFLOW) {
        push({FsEvent::Kind::Lost, {}, false});
        continue;
      }
      if (event.mask & IN_IGNORED) {
        forget(event.wd);
        continue;
      }
      const auto it = by_wd_.find(event.wd);
      if (it == by_wd_.end()) continue;  // a watch already dropped
      const std::string folder = it->second;
      if (event.mask & kSelfGone) {
        push({FsEvent::Kind::Changed, folder, true});
        drop_below(folder);
        continue;
      }
      if (event.len == 0) continue;
      const std::string item =
          folder.empty() ? std::string(name) : folder + "/" + std::string(name);
      if (event.mask & kChanged) {
        push({FsEvent::Kind::Changed, item, false});
      } else if (event.mask & kModified) {
        push({FsEvent::Kind::Modified, item, false});
      }
    }
  }
}

void Watcher::take(std::vector<FsEvent>& out, std::size_t max) {
  while (max > 0 && !queue_.empty()) {
    out.push_back(std::move(queue_.front()));
    queue_.pop_front();
    --max;
  }
}

}  // namespace kavor::mention
