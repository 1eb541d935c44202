// Which pages may use the agent's page interface: only the chat web application itself.
#pragma once

#include <QUrl>

namespace kavor {

// True when `page_url` is the application URL followed by anything: same http(s) scheme, host,
// port and user information as `app_url` (after URL parsing, default ports made explicit), and
// the page's path, query and fragment begin with the application URL's. Everything else is
// refused, including blob: and filesystem: URLs that wrap the application origin, about:blank,
// data:, file: and unparsable or empty URLs.
bool page_may_call(const QUrl& page_url, const QUrl& app_url);

}  // namespace kavor
