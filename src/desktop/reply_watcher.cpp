#include "desktop/reply_watcher.h"

#include <qcorotimer.h>

#include <algorithm>
#include <limits>

#include "common/host.h"
#include "common/http.h"
#include "common/json.h"
#include "common/timing.h"
#include "desktop/notifier.h"

namespace kavor::desktop {

namespace {

bool chat_id_char(QChar c) {
  const char16_t u = c.unicode();
  return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
         u == u'-' || u == u'_';
}

// The body of a 2xx answer as a JSON object, or nothing.
std::optional<common::Json> object_body(const common::HttpResponse& answer) {
  if (!answer.success()) return std::nullopt;
  std::optional<common::Json> body =
      common::parse_json(std::string_view(answer.body.constData(), answer.body.size()));
  if (!body || !body->is_object()) return std::nullopt;
  return body;
}

std::optional<std::int64_t> json_id(const common::Json& value) {
  if (value.is_number_unsigned()) {
    const auto id = value.get<std::uint64_t>();
    if (id > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(id);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;  // strings, fractions and the rest are not message ids
}

// The smallest id of an assistant message after `current` in a chat's `messages`.
std::optional<std::int64_t> next_assistant_message(const common::Json& chat, std::int64_t current) {
  const auto messages = chat.find("messages");
  if (messages == chat.end() || !messages->is_array()) return std::nullopt;
  std::optional<std::int64_t> next;
  for (const common::Json& message : *messages) {
    if (!message.is_object()) continue;
    const auto role = message.find("role");
    const auto id_value = message.find("id");
    if (role == message.end() || *role != "assistant" || id_value == message.end()) continue;
    const std::optional<std::int64_t> id = json_id(*id_value);
    if (id && *id > current && (!next || *id < *next)) next = id;
  }
  return next;
}

}  // namespace

Result<void> check_watch_request(const WatchRequest& request) {
  if (request.chat.isEmpty() || request.chat.size() > kMaxChatIdChars ||
      !std::all_of(request.chat.begin(), request.chat.end(), chat_id_char)) {
    return fail("invalid chat id");
  }
  if (request.mid < 1) return fail("invalid message id");
  const QByteArray token = request.token.trimmed().toUtf8();
  const bool control = std::any_of(token.begin(), token.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
  if (token.isEmpty() || token.size() > kMaxTokenBytes || control) return fail("invalid token");
  return {};
}

Watchers::~Watchers() {
  std::lock_guard lock(mutex_);
  for (auto& [chat, watcher] : table_) watcher->stop.store(true);
  table_.clear();
}

Result<void> Watchers::watch(WatchRequest request, const WatchContext& context) {
  if (Result<void> checked = check_watch_request(request); !checked.ok()) return checked;
  request.token = request.token.trimmed();

  std::shared_ptr<Watcher> watcher;
  {
    std::lock_guard lock(mutex_);
    if (const auto it = table_.find(request.chat); it != table_.end()) {
      if (it->second->mid == request.mid) return {};  // already followed
      it->second->stop.store(true);
      table_.erase(it);
    }
    if (table_.size() >= kMaxWatchers) {
      const auto oldest = std::min_element(
          table_.begin(), table_.end(),
          [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
      oldest->second->stop.store(true);
      table_.erase(oldest);
    }
    watcher = std::make_shared<Watcher>();
    watcher->chat = request.chat;
    watcher->mid = request.mid;
    watcher->order = ++started_;
    watcher->started = std::chrono::steady_clock::now();
    watcher->current.store(request.mid);
    table_[request.chat] = watcher;
  }
  QCoro::Task<> task = follow(std::move(watcher), std::move(request), context, this);
  return {};
}

void Watchers::unwatch(const QString& chat) {
  std::lock_guard lock(mutex_);
  if (const auto it = table_.find(chat); it != table_.end()) {
    it->second->stop.store(true);
    table_.erase(it);
  }
}

std::vector<std::pair<QString, std::int64_t>> Watchers::watched() const {
  std::vector<std::shared_ptr<Watcher>> all;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [chat, watcher] : table_) all.push_back(watcher);
  }
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a->order < b->order; });
  std::vector<std::pair<QString, std::int64_t>> out;
  for (const auto& w : all) out.emplace_back(w->chat, w->current.load());
  return out;
}

void Watchers::remove_if_current(const std::shared_ptr<Watcher>& watcher) {
  std::lock_guard lock(mutex_);
  const auto it = table_.find(watcher->chat);
  if (it != table_.end() && it->second == watcher) table_.erase(it);
}

QCoro::Task<> Watchers::follow(std::shared_ptr<Watcher> watcher, WatchRequest request,
                               WatchContext context, Watchers* table) {
  common::HttpClient client(kWatchRequestTimeout);
  const QString chat_url = context.endpoints.api_base() + QStringLiteral("/chats/") + request.chat;
  const QByteArray get("GET");
  const auto age = [&] { return std::chrono::steady_clock::now() - watcher->started; };
  const auto stopped = [&] { return watcher->stop.load(); };
  std::int64_t current = request.mid;  // 1. the message followed now

  while (true) {
    // 2. Ask for the current message until it is finished.
    bool failed = false;
    QString text;
    while (true) {
      const auto tick = common::timing::scaled(
          age() <= common::timing::scaled(kWatchFastFor) ? kWatchFastTick : kWatchSlowTick);
      co_await QCoro::sleepFor(tick);
      if (stopped()) co_return;
      if (age() > common::timing::scaled(kWatchLifetime)) {
        table->remove_if_current(watcher);
        co_return;
      }
      // 2.1 Nobody is told while the user looks at the window or wants no notifications,
      // so nobody asks either.
      const std::optional<common::Host::WindowState> window = context.host.main_window_state();
      if ((window && window->in_front()) || !context.notifier.prefs().enabled) continue;

      // 2.2
      QNetworkRequest message_request =
          client.request(chat_url + QStringLiteral("/messages/") + QString::number(current));
      common::set_bearer(message_request, request.token);
      const common::HttpResponse answer = co_await client.send(get, message_request);
      if (stopped()) co_return;

      // 2.3 A rejected token will not get better; anything else may.
      if (answer.answered() && answer.status == 401) {
        table->remove_if_current(watcher);
        co_return;
      }
      const std::optional<common::Json> message = object_body(answer);
      if (!message) continue;

      // 2.4
      const auto status = message->find("status");
      const std::string state =
          status != message->end() && status->is_string() ? status->get<std::string>() : "pending";
      if (state == "pending") continue;
      failed = state == "error";
      const auto body = message->find("body");
      if (body != message->end() && body->is_string()) {
        text = QString::fromStdString(body->get<std::string>());
      }
      break;
    }

    // 3. Announce it; the notifier decides whether a toast appears.
    context.notifier.notify(NotifyRequest{failed ? NotifyKind::Failed : NotifyKind::Done,
                                          request.title, text, QString::number(current)});

    // 4. The reply may go on in a newer assistant message.
    std::optional<std::int64_t> next;
    for (int attempt = 1; attempt <= 2 && !next; ++attempt) {
      if (attempt == 2) {
        const auto pause = common::timing::scaled(kFollowUpRetry);
        co_await QCoro::sleepFor(pause);
        if (stopped()) co_return;
      }
      QNetworkRequest chat_request = client.request(chat_url);
      common::set_bearer(chat_request, request.token);
      const common::HttpResponse answer = co_await client.send(get, chat_request);
      if (stopped()) co_return;
      if (const std::optional<common::Json> chat = object_body(answer)) {
        next = next_assistant_message(*chat, current);
      }
    }
    if (!next) {
      // 5. Nothing more to follow.
      table->remove_if_current(watcher);
      co_return;
    }
    current = *next;
    watcher->current.store(current);
  }
}

}  // namespace kavor::desktop
