#include "common/workspace_folder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "common/utf8.h"
#include "platform/text.h"

namespace kavor::common {

namespace {

// Why a text names no usable folder, before it is worded for its reader.
enum class FolderRefusal { Blank, Nul, Relative, Missing, NotAFolder };

Error worded(FolderRefusal refusal, int error, std::string_view text, WorkspaceReader reader) {
  const ErrorKind kind =
      refusal == FolderRefusal::NotAFolder ? ErrorKind::Failed : ErrorKind::NotFound;
  if (reader == WorkspaceReader::Assistant) {
    if (refusal == FolderRefusal::NotAFolder) {
      return fail("The workspace " + std::string(text) + " is not a folder.", kind);
    }
    return fail("The workspace folder " + std::string(text) + " does not exist on this computer.",
                kind);
  }
  switch (refusal) {
    case FolderRefusal::Blank:
      return fail(std::string(kNoWorkspace), kind);
    case FolderRefusal::Nul:
      return fail(std::string(kCannotOpenPrefix) + "the path contains a NUL character", kind);
    case FolderRefusal::Relative:
      return fail(std::string(kCannotOpenPrefix) + "the path is not absolute", kind);
    case FolderRefusal::Missing:
      return fail(std::string(kCannotOpenPrefix) + errno_text(error), kind);
    case FolderRefusal::NotAFolder:
      break;
  }
  return fail(std::string(kNotAFolder), kind);
}

}  // namespace

Result<std::string> resolve_workspace_folder(std::string_view text, WorkspaceReader reader) {
  // 1. Trim.
  const std::string_view trimmed = trim_unicode(text);
  // 2. Texts that name no folder.
  if (trimmed.empty()) return worded(FolderRefusal::Blank, 0, text, reader);
  if (trimmed.find('\0') != std::string_view::npos)
    return worded(FolderRefusal::Nul, 0, text, reader);
  if (trimmed.front() != '/') return worded(FolderRefusal::Relative, 0, text, reader);
  // 3. The canonical folder.
  char* real = ::realpath(std::string(trimmed).c_str(), nullptr);
  if (real == nullptr) return worded(FolderRefusal::Missing, errno, text, reader);
  std::string folder(real);
  std::free(real);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return worded(FolderRefusal::Missing, errno, text, reader);
  if (!S_ISDIR(st.st_mode)) return worded(FolderRefusal::NotAFolder, 0, text, reader);
  return folder;
}

}  // namespace kavor::common
