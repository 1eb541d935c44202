// Opening a path without following a symbolic link anywhere on the way.
//
// The file tools check a path (resolved through its links to a canonical, link-free path) and
// then act on it. Between the check and the act, a folder on the way can be swapped for a link
// that leads out of the workspace; a plain open() would follow it, and O_NOFOLLOW protects only
// the last component. These calls walk the path from an open folder and refuse any link they
// meet (ELOOP or ENOTDIR), so what they open is exactly the path that was checked, or nothing.
//
// The kernel does this in one call (openat2 with RESOLVE_NO_SYMLINKS, Linux 5.6 and later);
// older kernels get the same result one component at a time, each opened relative to the
// previous one with O_NOFOLLOW. Both cost a few microseconds per component.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace kavor::walk {

// Opens `path` relative to the folder `dir_fd` (AT_FDCWD for the working folder; `path` may be
// absolute) with `flags` plus O_NOFOLLOW and O_CLOEXEC, refusing a link at any component.
// Returns the descriptor, or -1 with errno set (EINVAL for a path holding NUL).
int open_no_follow(int dir_fd, std::string_view path, int flags, mode_t mode = 0);

// Opens the folder `path` (absolute) as an O_PATH descriptor, creating the missing folders on
// the way with `mode` (never through a link). Returns the descriptor, or -1 with errno set
// (EINVAL for a path holding NUL).
int open_folder_creating(std::string_view path, mode_t mode = 0777);

}  // namespace kavor::walk
