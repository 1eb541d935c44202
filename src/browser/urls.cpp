#include "browser/urls.h"

#include <QUrl>

#include <cctype>

#include "browser/display_text.h"
#include "common/utf8.h"
#include "tools/paths.h"

namespace kavor::browser {

namespace fs = std::filesystem;

namespace {

using Url = Result<std::string>;

Url refused(std::string message) {
  return fail(std::move(message));
}

// The scheme of `text` as URL syntax defines it (a letter, then letters, digits, "+", "-",
// "."), lower-cased, or "" when the text does not start with one followed by ":".
std::string scheme_of(const std::string& text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return {};
  std::size_t i = 1;
  while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '+' ||
                             text[i] == '-' || text[i] == '.')) {
    ++i;
  }
  if (i >= text.size() || text[i] != ':') return {};
  return ascii_lower(text.substr(0, i));
}

Url scheme_refused(const std::string& scheme) {
  return refused("Only http, https and file pages can be opened, not " +
                 common::utf8_lossy(scheme) + ": links.");
}

Url local_file(const std::string& text, const fs::path& workspace) {
  const fs::path resolved = tools::resolve_path(text, workspace);
  const std::string shown = common::utf8_lossy(resolved.string());
  std::error_code error;
  const fs::file_status status = fs::status(resolved, error);
  if (fs::is_directory(status)) return refused(shown + " cannot be opened as a page.");
  if (!fs::exists(status)) return refused(shown + " does not exist.");
  return QUrl::fromLocalFile(QString::fromStdString(resolved.string()))
      .toString(QUrl::FullyEncoded)
      .toStdString();
}

}  // namespace

Url normalize_url(const std::string& input, const fs::path& workspace) {
  const std::string text = trim(input);
  if (text.empty()) return refused("url is empty.");
  const std::string lowered = ascii_lower(text);
  if (lowered.rfind("data:", 0) == 0 || lowered == "about:blank") return text;

  const std::string scheme = scheme_of(text);
  if (scheme == "http" || scheme == "https" || scheme == "file") {
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (url.isValid() && (scheme == "file" || !url.host().isEmpty())) {
      return url.adjusted(QUrl::NormalizePathSegments).toString(QUrl::FullyEncoded).toStdString();
    }
    return refused(common::utf8_lossy(text) + " is not a valid URL.");
  }
  if (scheme == "javascript" || scheme == "chrome" || scheme == "blob" || scheme == "view-source" ||
      scheme == "about") {
    return scheme_refused(scheme);
  }
  if (text.find("://") != std::string::npos) {
    return scheme_refused(scheme.empty() ? text.substr(0, text.find("://")) : scheme);
  }

  // A local file: a drive letter, an absolute path, or something that exists in the workspace
  // (a folder there is refused as a page rather than taken for a host name).
  std::error_code error;
  const bool drive_letter = scheme.size() == 1;
  if (drive_letter || text[0] == '/' || fs::exists(tools::resolve_path(text, workspace), error)) {
    return local_file(text, workspace);
  }

  // A host name, with the scheme a local address needs.
  const std::string host = lowered.substr(0, lowered.find_first_of("/:"));
  const bool local =
      host == "localhost" || host == "0.0.0.0" || host.rfind("127.", 0) == 0 || lowered[0] == '[';
  const std::string candidate = (local ? "http://" : "https://") + text;
  const QUrl url(QString::fromStdString(candidate), QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty())
    return refused(common::utf8_lossy(text) + " is not a valid URL.");
  return url.adjusted(QUrl::NormalizePathSegments).toString(QUrl::FullyEncoded).toStdString();
}

}  // namespace kavor::browser
