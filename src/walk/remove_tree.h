// Removing a folder with everything below it, following no link, while what the agent started
// may still be at work inside it.
//
// The attack. A command may leave anything in a folder that is removed after it (a fenced
// run's temporary folder), and what it left running goes on while the removal does. A removal
// that reaches entries by their paths checks that "a/b" is a folder, and then removes what is
// below "a/b": between the two, "a" can become a link to the home folder, and the removal then
// empties the home folder. So:
//   1. Each folder is opened relative to the open folder above it, refusing a link
//      (O_NOFOLLOW), and its entries are removed relative to that descriptor. A link swapped in
//      for a folder is met as a link and removed itself (only the link), never entered.
//   2. Whatever is not a folder goes at once; a folder is listed whole (folder_entries.h),
//      entered, emptied, and removed from its parent by name once empty.
//   3. A folder of this user that lacks its owner's rights (the command made it unreadable or
//      unwritable) gets them back first, changed through the descriptor of the folder that was
//      opened, never by name: a link put in its place meanwhile changes nothing. A folder of
//      another user is left as it is.
//   4. Nesting has no limit, but the descriptors held do: below kRemovalDepth open folders, a
//      folder is moved up to the top folder under a new name and removed from there later.
//   5. A deadline ends the work where it stands (the program's end has a budget); what is left
//      stays for the next removal.
//
// Cost: one open, one listing and one unlinkat per folder, one unlinkat per other entry, at most
// kRemovalDepth descriptors at once.
#pragma once

#include <fcntl.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace kavor::walk {

// Folders a removal holds open at once (one descriptor each).
inline constexpr std::size_t kRemovalDepth = 64;

using RemovalDeadline = std::chrono::steady_clock::time_point;

// Removes the entry `name` of the folder `parent_fd` (AT_FDCWD with an absolute `name` for a
// path) and everything below it, or as much as it removes by `deadline`. Nothing happens when
// `name` is not a folder (a link to one included).
void remove_tree_no_follow(int parent_fd, const std::string& name,
                           RemovalDeadline deadline = RemovalDeadline::max());

// The same for the folder at `folder`, with no deadline.
inline void remove_tree_no_follow(const std::string& folder) {
  remove_tree_no_follow(AT_FDCWD, folder);
}

}  // namespace kavor::walk
