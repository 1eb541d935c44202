// The kinds of desktop notification the program shows, and the seam through which the rest of
// the program asks for one. Whether and how a notification appears (preferences, language,
// the desktop's notification service) is the notifier's business.
#pragma once

#include <QString>

namespace kavor::desktop {

enum class NotifyKind { Done, Failed, Network, Approval, Offline, Online, Unlinked, Test };

struct NotifyRequest {
  NotifyKind kind = NotifyKind::Test;
  QString chat;  // the chat a reply or approval belongs to; empty otherwise
  QString text;  // preview text, when the kind has one
  QString mid;   // message id, so a notification is never shown twice
};

class Notifications {
 public:
  virtual ~Notifications() = default;
  // Returns whether the notification was shown.
  virtual bool notify(const NotifyRequest& request) = 0;
  // Forgets which notifications were already shown (after an unlink).
  virtual void clear_shown() = 0;
};

}  // namespace kavor::desktop
