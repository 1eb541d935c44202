#include "desktop/notifier.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <array>

#include "common/host.h"
#include "common/timing.h"
#include "common/utf8.h"
#include "platform/text.h"
#include "walk/replace_file.h"

namespace kavor::desktop {

namespace {

// A preferences file is some sixty bytes; anything much larger is not one.
constexpr qint64 kMaxPrefsFileBytes = 64 * 1024;
// The settings folder holds what the user chose for this account only.
constexpr mode_t kSettingsFolderMode = 0700;
constexpr const char* kEllipsis = " \u2026";

struct KindEntry {
  NotifyKind kind;
  const char* name;
  const char* title_en;
  const char* body_en;
  const char* title_fa;
  const char* body_fa;
};

// clang-format off
constexpr std::array<KindEntry, 8> kKinds{{
    {NotifyKind::Done, "done", "Reply ready", "Your Kavor AI reply is ready.", "پاسخ آماده است", "پاسخ دستیار کاور آماده شد."},
    {NotifyKind::Failed, "failed", "The reply failed", "The assistant could not answer. Please try again.", "پاسخ ناموفق بود", "دستیار نتوانست پاسخ بدهد. دوباره تلاش کنید."},
    {NotifyKind::Network, "network", "Connection lost", "Cannot reach the server. Check your internet connection. The reply may still arrive.", "ارتباط قطع شد", "ارتباط با سرور برقرار نیست. اتصال اینترنت را بررسی کنید. پاسخ ممکن است همچنان برسد."},
    {NotifyKind::Approval, "approval", "Waiting for your approval", "The assistant needs your approval to continue.", "منتظر اجازهی شما", "دستیار برای ادامه به اجازهی شما نیاز دارد."},
    {NotifyKind::Offline, "offline", "Kavor Agent is offline", "The connection to the assistant dropped. Retrying in the background.", "دستیار زبان کاور آفلاین است", "ارتباط با دستیار قطع شد و برنامه در پسزمینه دوباره تلاش میکند."},
    {NotifyKind::Online, "online", "Back online", "Kavor Agent is connected to the assistant again.", "دوباره وصل شد", "دستیار زبان کاور دوباره به دستیار وصل شد."},
    {NotifyKind::Unlinked, "unlinked", "This computer was disconnected", "Sign in again to reconnect it.", "اتصال این رایانه قطع شد", "برای وصل شدن دوباره وارد حساب خود شوید."},
    {NotifyKind::Test, "test", "Notifications work", "If you can read this, Kavor Agent notifications are set up correctly.", "اعلانها کار میکنند", "اگر این پیام را میبینید، اعلانهای دستیار زبان کاور درست تنظیم شدهاند."},
}};
// clang-format on

QString shown(const QString& text, common::LineBreaks breaks) {
  return QString::fromStdString(common::visible_controls(text.toStdString(), breaks));
}

const KindEntry& entry(NotifyKind kind) {
  for (const KindEntry& e : kKinds) {
    if (e.kind == kind) return e;
  }
  return kKinds.back();
}

bool bool_or_default(const common::Json& object, const char* key, bool fallback, bool& ok) {
  const auto it = object.find(key);
  if (it == object.end()) return fallback;
  if (!it->is_boolean()) {
    ok = false;
    return fallback;
  }
  return it->get<bool>();
}

}  // namespace

common::Json prefs_to_json(const Prefs& prefs) {
  common::Json out = common::Json::object();
  out["enabled"] = prefs.enabled;
  out["sound"] = prefs.sound;
  out["preview"] = prefs.preview;
  out["lang"] = prefs.lang == Lang::En ? "en" : "fa";
  return out;
}

std::optional<Prefs> prefs_from_json(const common::Json& value) {
  if (!value.is_object()) return std::nullopt;
  Prefs prefs;
  bool ok = true;
  prefs.enabled = bool_or_default(value, "enabled", prefs.enabled, ok);
  prefs.sound = bool_or_default(value, "sound", prefs.sound, ok);
  prefs.preview = bool_or_default(value, "preview", prefs.preview, ok);
  if (const auto lang = value.find("lang"); lang != value.end()) {
    if (*lang == "en") {
      prefs.lang = Lang::En;
    } else if (*lang != "fa") {
      ok = false;
    }
  }
  if (!ok) return std::nullopt;
  return prefs;
}

Prefs load_prefs(const QString& path) {
  // Only a regular file: opening a pipe or a device would wait for a writer, or never end.
  if (!QFileInfo(path).isFile()) return Prefs{};
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxPrefsFileBytes) return Prefs{};
  const QByteArray bytes = file.read(kMaxPrefsFileBytes + 1);
  if (bytes.size() > kMaxPrefsFileBytes) return Prefs{};
  const std::optional<common::Json> value =
      common::parse_json(std::string_view(bytes.constData(), bytes.size()));
  if (!value) return Prefs{};
  return prefs_from_json(*value).value_or(Prefs{});
}

Result<void> save_prefs(const QString& path, const Prefs& prefs) {
  if (path.isEmpty()) {
    return fail("Kavor Agent has no settings folder it may use for notification settings.");
  }
  const std::string text = prefs_to_json(prefs).dump();
  walk::ReplaceOptions options;
  options.folder_mode = kSettingsFolderMode;
  options.folder_links = true;  // the settings folder may be linked elsewhere
  if (const int error = walk::replace_file(QFile::encodeName(path).toStdString(), text, options)) {
    return fail(errno_text(error));
  }
  return {};
}

std::optional<NotifyKind> parse_notify_kind(std::string_view name) {
  for (const KindEntry& e : kKinds) {
    if (name == e.name) return e.kind;
  }
  return std::nullopt;
}

const char* notify_kind_name(NotifyKind kind) {
  return entry(kind).name;
}

NotifyText notify_text(NotifyKind kind, Lang lang) {
  const KindEntry& e = entry(kind);
  if (lang == Lang::En) return {QString::fromUtf8(e.title_en), QString::fromUtf8(e.body_en)};
  return {QString::fromUtf8(e.title_fa), QString::fromUtf8(e.body_fa)};
}

QString cut_text(const QString& text, int count) {
  // Characters, not UTF-16 units: a pair of surrogates is one character and is never split.
  int units = 0;
  int chars = 0;
  while (units < text.size() && chars < count) {
    units += text.at(units).isHighSurrogate() && units + 1 < text.size() &&
                     text.at(units + 1).isLowSurrogate()
                 ? 2
                 : 1;
    ++chars;
  }
  if (units >= text.size()) return text;
  return text.left(units) + QString::fromUtf8(kEllipsis);
}

QString reply_preview(const QString& text) {
  static const QRegularExpression link(QStringLiteral(R"(\[([^\]]*)\]\([^)]*\))"));
  static const QString markers = QStringLiteral("#>-* ");
  QStringList kept;
  bool in_code = false;
  for (const QString& raw : text.split(QLatin1Char('\n'))) {
    const QString line = raw.trimmed();
    if (line.startsWith(QLatin1String("```"))) {
      in_code = !in_code;
      continue;
    }
    if (in_code || line.isEmpty()) continue;
    qsizetype start = 0;
    while (start < raw.size() && markers.contains(raw.at(start))) ++start;
    QString stripped = raw.mid(start);
    stripped.replace(link, QStringLiteral("\\1"));
    stripped = stripped.trimmed();
    if (!stripped.isEmpty()) kept.push_back(stripped);
  }
  return cut_text(kept.join(QLatin1Char(' ')), Notifier::kTextChars);
}

NotifyText compose(const NotifyRequest& request, const Prefs& prefs) {
  NotifyText out = notify_text(request.kind, prefs.lang);
  if (!prefs.preview) return out;
  // The label and the texts come from the page, the service or a command: what could make
  // them read otherwise (a direction override, a control) is shown escaped, after the cut so
  // that the cut counts what was written.
  const QString label =
      shown(cut_text(request.chat.trimmed(), Notifier::kLabelChars), common::LineBreaks::Escape);
  const QString text = cut_text(request.text.trimmed(), Notifier::kTextChars);
  switch (request.kind) {
    case NotifyKind::Done:
    case NotifyKind::Failed:
    case NotifyKind::Network: {
      if (request.kind == NotifyKind::Done) {
        const QString preview = reply_preview(text);
        if (!preview.isEmpty()) out.body = shown(preview, common::LineBreaks::Escape);
      } else if (request.kind == NotifyKind::Failed && !text.isEmpty()) {
        out.body = shown(text, common::LineBreaks::Keep);
      }
      if (!label.isEmpty()) out.body = label + QLatin1Char('\n') + out.body;
      break;
    }
    case NotifyKind::Approval:
      if (!text.isEmpty()) out.body = shown(text, common::LineBreaks::Keep);
      break;
    case NotifyKind::Offline:
    case NotifyKind::Online:
    case NotifyKind::Unlinked:
    case NotifyKind::Test:
      break;
  }
  return out;
}

Notifier::Notifier(common::Host& host, Toaster& toaster, std::function<QString()> prefs_file)
    : host_(host), toaster_(toaster), prefs_file_(std::move(prefs_file)) {}

std::unique_ptr<Notifier> Notifier::load(common::Host& host, Toaster& toaster,
                                         std::function<QString()> prefs_file) {
  auto notifier = std::make_unique<Notifier>(host, toaster, std::move(prefs_file));
  notifier->prefs_ = load_prefs(notifier->prefs_file_());
  return notifier;
}

Prefs Notifier::prefs() const {
  std::lock_guard lock(prefs_mutex_);
  return prefs_;
}

Result<void> Notifier::set_prefs(const Prefs& prefs) {
  // Readers of the preferences wait only for the short lock below, never for the disk.
  std::lock_guard saving(save_mutex_);
  {
    std::lock_guard lock(prefs_mutex_);
    prefs_ = prefs;
  }
  return save_prefs(prefs_file_(), prefs);
}

void Notifier::clear_shown() {
  std::lock_guard lock(shown_mutex_);
  shown_ids_.clear();
}

std::optional<Toast> Notifier::decide(const NotifyRequest& request) {
  const NotifyKind kind = request.kind;
  const bool test = kind == NotifyKind::Test;
  const Prefs prefs = this->prefs();

  // 1. A message is announced once. An empty id names no message.
  if (!test && !request.mid.isEmpty()) {
    std::lock_guard lock(shown_mutex_);
    if (shown_ids_.count(request.mid) != 0) return std::nullopt;
    if (shown_ids_.size() >= kRememberedIds) shown_ids_.clear();
    shown_ids_.insert(request.mid);
  }

  // 2. Preferences: only approvals (for the taskbar) and tests pass while toasts are off.
  if (!prefs.enabled && kind != NotifyKind::Approval && !test) return std::nullopt;

  // 3. The user is looking at the window already.
  if (!test) {
    const std::optional<common::Host::WindowState> window = host_.main_window_state();
    if (window && window->in_front()) return std::nullopt;
  }

  // 4. One toast per kind and chat within the throttle window.
  {
    const auto now = std::chrono::steady_clock::now();
    const auto window = common::timing::scaled(kThrottle);
    std::lock_guard lock(throttle_mutex_);
    for (auto it = last_toast_.begin(); it != last_toast_.end();) {
      it = now - it->second > window ? last_toast_.erase(it) : std::next(it);
    }
    const auto key = std::make_pair(kind, request.chat);
    if (last_toast_.count(key) != 0) return std::nullopt;
    last_toast_[key] = now;
  }

  // 5. The taskbar flashes.
  host_.request_attention(kind == NotifyKind::Failed || kind == NotifyKind::Approval
                              ? common::Host::Attention::Critical
                              : common::Host::Attention::Informational);

  // 6. With toasts off, an approval ends here.
  if (!prefs.enabled && !test) return std::nullopt;

  // 7. The words.
  const NotifyText text = compose(request, prefs);
  return Toast{text.title, text.body, prefs.sound};
}

bool Notifier::notify(const NotifyRequest& request) {
  std::optional<Toast> toast = decide(request);
  if (!toast) return false;
  // 8. Sent without waiting: a refusal has nobody to tell.
  QCoro::Task<Result<void>> showing = toaster_.show(std::move(*toast));
  return true;
}

QCoro::Task<Result<NotifyOutcome>> Notifier::notify_and_wait(NotifyRequest request) {
  std::optional<Toast> toast = decide(request);
  if (!toast) co_return NotifyOutcome::Skipped;
  // 8. The toast; the notifier is not touched after this point.
  QCoro::Task<Result<void>> showing = toaster_.show(std::move(*toast));
  const Result<void> shown = co_await showing;
  if (!shown.ok()) co_return shown.error();
  co_return NotifyOutcome::Shown;
}

}  // namespace kavor::desktop
