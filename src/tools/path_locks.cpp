#include "tools/path_locks.h"

#include <condition_variable>
#include <map>
#include <mutex>

namespace kavor::tools {

namespace {

struct Entry {
  int users = 0;  // runs holding the path or waiting for it
  bool held = false;
};

// One table for the process; an entry lives only while some run uses its path.
struct Table {
  std::mutex mutex;
  std::condition_variable released;
  std::map<std::string, Entry> paths;
};

Table& table() {
  static Table instance;
  return instance;
}

}  // namespace

PathLock::PathLock(const std::filesystem::path& path) : key_(path.native()) {
  Table& t = table();
  std::unique_lock lock(t.mutex);
  Entry& entry = t.paths[key_];  // map nodes stay put while other entries come and go
  ++entry.users;
  t.released.wait(lock, [&entry] { return !entry.held; });
  entry.held = true;
}

PathLock::~PathLock() {
  Table& t = table();
  {
    std::lock_guard lock(t.mutex);
    const auto it = t.paths.find(key_);
    it->second.held = false;
    if (--it->second.users == 0) t.paths.erase(it);
  }
  t.released.notify_all();
}

}  // namespace kavor::tools
