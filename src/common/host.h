// What the core needs from the window side. The shell implements it with the real window;
// tests and the headless mode implement it without one. All calls come from the core's
// event-loop thread.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

#include <qcorotask.h>

#include "common/json.h"
#include "platform/result.h"

namespace kavor::common {

class Host {
 public:
  virtual ~Host() = default;

  // The URL the main window currently shows, or nothing when there is no main window.
  virtual std::optional<QUrl> main_window_url() = 0;

  // Loads `url` in the main window; false when there is no main window.
  virtual bool navigate_main_window(const QUrl& url) = 0;

  // Loads `url` in the main window in place of a page that no longer answers. A navigation
  // alone does not get past such a page: the engine waits for the page's own process to let go
  // of it, and a process stuck in a script never does. So that process is ended first, and
  // `url` loaded once the engine has seen it end. False when there is no main window.
  virtual bool replace_hung_page(const QUrl& url) = 0;

  // Delivers an event to every listener of the chat web application (`agent://connection`,
  // `agent://call`, ...). Without a window nobody listens and the event is dropped.
  virtual void emit_event(const QString& name, const Json& payload) = 0;

  // Hands a link to the system's browser or mail program; the opener's error text on failure.
  virtual Result<void> open_external(const QUrl& url) = 0;

  // Shows `url` in the payment window (created, or reused and focused); the window system's
  // error text when no window could be made.
  virtual Result<void> open_payment(const QUrl& url) = 0;

  // How the main window stands, for the notifier and the watchdog.
  struct WindowState {
    bool visible = false;
    bool minimized = false;
    bool focused = false;  // the window has the keyboard focus
    // The user is looking at the program: shown, not minimised and focused.
    bool in_front() const { return visible && !minimized && focused; }
  };
  // Nothing when there is no main window.
  virtual std::optional<WindowState> main_window_state() = 0;

  enum class Attention {
    Critical,       // stays until the user comes to the window (a failed reply, an approval)
    Informational,  // a passing hint
  };
  // Asks the desktop to draw the user's eye to the main window (its taskbar entry flashes).
  virtual void request_attention(Attention level) = 0;

  // Runs `script` in the main window's page; `done` is called on this thread once the page has
  // run it, and never when the page does not get to it. False when there is no page to ask.
  virtual bool run_page_script(const QString& script, std::function<void()> done) = 0;

  // The native pickers. The chosen full path, or nothing when the user cancels.
  virtual QCoro::Task<std::optional<QString>> pick_folder(QString title) = 0;
  virtual QCoro::Task<std::optional<QString>> pick_file(QString title, QString filter_name,
                                                        QString extension) = 0;
};

}  // namespace kavor::common
