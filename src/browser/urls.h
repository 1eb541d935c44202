// What `open` accepts as a page, and the URL it becomes.
//
// 1. The text is trimmed; empty is refused.
// 2. "data:" texts and "about:blank" (any case) are used as they are.
// 3. A URL with scheme http, https or file is used in its normalized form.
// 4. javascript:, chrome:, blob:, view-source:, about: (other than about:blank) and any other
//    text with "://" are refused by scheme: those would run script in the page's name, reach the
//    browser's own pages or show something other than a page.
// 5. A drive letter, an absolute path or an existing file or folder is a local file; a relative
// path is
//    resolved against the workspace (the path rule of the file tools). A folder or a missing
//    file is refused; a file becomes its file: URL.
// 6. Anything else is a host name: http:// in front for localhost, 0.0.0.0, 127.* and [...]
//    addresses, https:// for all others.
#pragma once

#include <filesystem>
#include <string>

#include "platform/result.h"

namespace kavor::browser {

// The URL to open, or the message for the assistant.
Result<std::string> normalize_url(const std::string& text, const std::filesystem::path& workspace);

}  // namespace kavor::browser
