// Which top-level navigations the main window follows. The window shows only the program's
// own pages and the chat web application; any other web or mail link is handed to the system's
// browser or mail program, and every other scheme (file:, javascript:, custom handlers) is
// dropped.
#pragma once

#include <QUrl>

#include "common/endpoints.h"

namespace kavor::app {

enum class Navigation {
  Allow,         // load it in the window
  OpenExternal,  // refuse, and let the system open it
  Drop,          // refuse silently
};

Navigation decide_navigation(const QUrl& url, const common::Endpoints& endpoints);

// For links that may not open inside the program: http, https and mailto open outside,
// everything else nowhere.
bool opens_externally(const QUrl& url);

}  // namespace kavor::app
