// Replacing a file's content so that a reader sees the old file or the new one, never a part.
//
// 1. The folder is opened once (created when missing) and every later step works relative to
//    that descriptor, so the file and its temporary sibling land in the same folder even if a
//    folder on the path is swapped meanwhile.
// 2. The bytes go to a temporary sibling created with O_NOFOLLOW: a link planted at the
//    temporary name is refused, never written through.
// 3. The sibling is flushed to the disk (when asked), closed, and renamed over the target. The
//    rename replaces whatever stands at the target, a link included, instead of writing
//    through it; a failure at any step removes the sibling and leaves the target untouched.
//
// The options carry what differs between callers: the file's mode (before the umask), whether
// the bytes must reach the disk before the rename, the mode of folders made on the way, whether
// a link on the folder's path is refused (a workspace path that was checked link-free) or
// followed (a settings folder the user may have linked elsewhere), and the temporary name.
// A unique temporary name (the default) lets two writers of one file run at once; a fixed one
// keeps a crashed save from leaving a new leftover each time, and a stray link or pipe at that
// name is removed so that the next save can succeed.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace kavor::walk {

struct ReplaceOptions {
  mode_t mode = 0666;  // the new file's permission bits, less the umask
  bool flush = true;   // fsync before the rename: the new content survives a power cut
  mode_t folder_mode = 0777;
  bool folder_links = false;  // follow links on the folder's path rather than refuse them
  // The sibling's name inside the folder; empty: ".<name>.tmp-<n>", unique in this process.
  std::string temporary;
};

// Writes `bytes` as the file `path`. Returns 0, or the errno value of the step that failed.
int replace_file(std::string_view path, std::string_view bytes, const ReplaceOptions& options = {});

}  // namespace kavor::walk
