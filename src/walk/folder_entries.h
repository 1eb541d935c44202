// The entries of an open folder, read whole before any is acted on: a caller that removes,
// grants or checks entries one by one changes the folder as it goes, and reading it while it
// changes may pass an entry over or give one twice.
//
// The names come with the type the listing gives (DT_DIR, DT_LNK, DT_REG...), which spares a
// look at each entry; file systems that give none say DT_UNKNOWN, and the caller looks then.
// "." and ".." are left out. Cost: the folder's listing, read once from its start.
#pragma once

#include <dirent.h>

#include <string>
#include <vector>

namespace kavor::walk {

struct FolderEntry {
  std::string name;
  unsigned char type = DT_UNKNOWN;
};

// The entries of the folder open for reading at `dir_fd` (the descriptor stays the caller's).
// Empty when the folder cannot be read.
std::vector<FolderEntry> folder_entries(int dir_fd);

}  // namespace kavor::walk
