#include "walk/folder_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <string_view>

namespace kavor::walk {

std::vector<FolderEntry> folder_entries(int dir_fd) {
  std::vector<FolderEntry> entries;
  // A copy for the listing, which closes it when done; the copy shares the caller's position in
  // the folder, so the listing starts from the beginning.
  const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return entries;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return entries;
  }
  ::rewinddir(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") entries.push_back({std::string(name), entry->d_type});
  }
  ::closedir(dir);
  return entries;
}

}  // namespace kavor::walk
