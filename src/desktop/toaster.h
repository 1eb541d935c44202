// Toasts: the desktop's own notification bubbles. On Linux they go to the freedesktop
// notification service on the session bus (org.freedesktop.Notifications.Notify); a test or a
// headless run may put something else behind the same seam.
#pragma once

#include <qcorotask.h>
#include <QString>

#include <memory>

#include "platform/result.h"

namespace kavor::desktop {

struct Toast {
  QString title;
  QString body;  // plain text; the toaster escapes it where the desktop reads markup
  bool sound = true;
};

class Toaster {
 public:
  virtual ~Toaster() = default;
  // Shows one toast; fails with the desktop's error text when it refused. The task touches
  // nothing of the toaster after its first suspension, so it may be left running.
  virtual QCoro::Task<Result<void>> show(Toast toast) = 0;
};

// The name toasts carry as their sender.
inline constexpr const char* kToastAppName = "Kavor Agent";
// The freedesktop sound theme's name for an arriving message.
inline constexpr const char* kToastSoundName = "message-new-instant";

// Toasts through org.freedesktop.Notifications on the session bus. Whether the service reads
// markup in bodies is asked (GetCapabilities) once for each program that owns the service's
// name: when another takes it over, the next toast asks again. Where the service reads markup,
// "&", "<" and ">" in the body are escaped, so a chat title or a reply can never turn into a
// link or hide part of the text. Silent toasts carry the "suppress-sound" hint, others
// "sound-name". Make the toaster on the thread whose event loop runs, and show toasts there.
std::unique_ptr<Toaster> desktop_toaster();

}  // namespace kavor::desktop
