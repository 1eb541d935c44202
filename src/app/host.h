// What the core needs from the window side. The shell implements it with the real window;
// tests and the headless mode implement it without one. All calls come from the core's
// event-loop thread.
#pragma once

#include <QString>
#include <QUrl>

#include <optional>

#include "common/json.h"

namespace kavor {

class Host {
 public:
  virtual ~Host() = default;

  // The URL the main window currently shows, or nothing when there is no main window.
  virtual std::optional<QUrl> main_window_url() = 0;

  // Loads `url` in the main window; false when there is no main window.
  virtual bool navigate_main_window(const QUrl& url) = 0;

  // Delivers an event to every listener of the chat web application (`agent://connection`,
  // `agent://call`, ...). Without a window nobody listens and the event is dropped.
  virtual void emit_event(const QString& name, const Json& payload) = 0;
};

}  // namespace kavor
