// Runs that change the same file take turns. Calls may run in parallel (the modes "auto" and
// "everything" let them), and a change is a read, a check and a write: two edits of one file
// at the same moment would both pass the check against the same old text, and the second write
// would silently undo the first (or, with writes of different lengths, leave a mix of both).
//
// The lock is keyed by the resolved path, so two calls that name one file differently (through
// a link, from another workspace) still take turns. It is held only while the change runs,
// never while a call waits for the user. A run holds one path, except a memory change, which
// takes the memory overview's turn before its file's: no two runs can wait for each other.
#pragma once

#include <filesystem>
#include <string>

namespace kavor::tools {

class PathLock {
 public:
  // Waits until no other run holds `path`.
  explicit PathLock(const std::filesystem::path& path);
  ~PathLock();
  PathLock(const PathLock&) = delete;
  PathLock& operator=(const PathLock&) = delete;

 private:
  std::string key_;
};

}  // namespace kavor::tools
