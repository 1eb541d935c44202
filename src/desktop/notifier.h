// The notifier decides whether an event becomes a toast, and with which words.
//
// A request passes, in order: the duplicate check (a message id is announced once), the
// preferences gate (notifications off still lets a test through, and an approval still
// flashes the taskbar), the attention check (nothing while the user looks at the window),
// and a throttle (one toast per kind and chat every 4 seconds). Then the window asks for
// attention and, if notifications are on or it is a test, the toast is shown, in Persian or
// English. The user's choices live in notifications.json; everything else is forgotten at exit.
#pragma once

#include <qcorotask.h>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "common/json.h"
#include "desktop/notifications.h"
#include "desktop/toaster.h"
#include "platform/result.h"

namespace kavor::common {
class Host;
}

namespace kavor::desktop {

enum class Lang { Fa, En };

// The user's notification preferences, stored as {"enabled":…,"sound":…,"preview":…,"lang":…}.
struct Prefs {
  bool enabled = true;  // toasts at all (a test ignores it; an approval still flashes)
  bool sound = true;    // false shows toasts silently
  bool preview = true;  // chat label and message text in the body
  Lang lang = Lang::Fa;

  bool operator==(const Prefs&) const = default;
};

common::Json prefs_to_json(const Prefs& prefs);
// Missing keys take their defaults; nothing when a key has the wrong type or `lang` is neither
// "fa" nor "en".
std::optional<Prefs> prefs_from_json(const common::Json& value);

// The file's preferences, or the defaults when it is missing, unreadable, too large to be a
// preferences file, or not what prefs_from_json accepts.
Prefs load_prefs(const QString& path);
// Writes compact JSON, keys in order; fails with the file system's error text.
Result<void> save_prefs(const QString& path, const Prefs& prefs);

// "done", "failed", ... and back.
std::optional<NotifyKind> parse_notify_kind(std::string_view name);
const char* notify_kind_name(NotifyKind kind);

// A kind's fixed title and body.
struct NotifyText {
  QString title;
  QString body;
};
NotifyText notify_text(NotifyKind kind, Lang lang);

// The first `count` characters of `text`, with " …" appended when something was cut.
QString cut_text(const QString& text, int count);

// A reply as a one-line preview: code blocks, blank lines and Markdown markers go, links keep
// their text, lines are joined by spaces and the result is cut to 140 characters.
QString reply_preview(const QString& text);

// The toast's title and body for `request` (step 7 of the flow above).
NotifyText compose(const NotifyRequest& request, const Prefs& prefs);

enum class NotifyOutcome { Shown, Skipped };

class Notifier : public Notifications {
 public:
  // Chat labels, message texts and previews are cut to these lengths.
  static constexpr int kLabelChars = 60;
  static constexpr int kTextChars = 140;
  // One toast per kind and chat within this window.
  static constexpr std::chrono::milliseconds kThrottle{4'000};
  // The set of announced message ids is emptied when it reaches this size.
  static constexpr std::size_t kRememberedIds = 1025;

  // `prefs_file` names notifications.json; it is asked at every save, so the configuration
  // folder is resolved afresh each time. Host calls and toasts happen on the calling thread,
  // which must be the event-loop thread.
  Notifier(common::Host& host, Toaster& toaster, std::function<QString()> prefs_file);
  // The notifier with the preferences found in the file.
  static std::unique_ptr<Notifier> load(common::Host& host, Toaster& toaster,
                                        std::function<QString()> prefs_file);

  Prefs prefs() const;
  // Takes the preferences, then writes the file; fails with the file system's error text (the
  // new preferences stay in force). May be called from any thread; calls that overlap write
  // one after the other, so the file always ends with the preferences in force.
  Result<void> set_prefs(const Prefs& prefs);

  // Runs the flow and, when a toast is due, waits for the desktop to take it; fails with the
  // desktop's error text when it refused the toast.
  QCoro::Task<Result<NotifyOutcome>> notify_and_wait(NotifyRequest request);

  // The same flow without waiting for the toast; true when one was sent.
  bool notify(const NotifyRequest& request) override;
  void clear_shown() override;

 private:
  // Steps 1 to 7: the toast to show, or nothing when the request is skipped.
  std::optional<Toast> decide(const NotifyRequest& request);

  common::Host& host_;
  Toaster& toaster_;
  std::function<QString()> prefs_file_;

  std::mutex save_mutex_;  // held across taking and writing new preferences
  mutable std::mutex prefs_mutex_;
  Prefs prefs_;
  std::mutex shown_mutex_;
  std::set<QString> shown_ids_;
  std::mutex throttle_mutex_;
  std::map<std::pair<NotifyKind, QString>, std::chrono::steady_clock::time_point> last_toast_;
};

}  // namespace kavor::desktop
