#include "browser/connection.h"

#include <cctype>
#include <vector>

#include "common/timing.h"

namespace kavor::browser {

namespace {

bool is_hex4(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return false;
  for (std::size_t i = at; i < at + 4; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

unsigned hex4(std::string_view text, std::size_t at) {
  return static_cast<unsigned>(std::stoul(std::string(text.substr(at, 4)), nullptr, 16));
}

}  // namespace

std::string repair_lone_surrogates(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    if (text[i + 1] != 'u' || !is_hex4(text, i + 2)) {
      out.append(text.substr(i, 2));  // any other escape, kept whole
      ++i;
      continue;
    }
    const unsigned unit = hex4(text, i + 2);
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    const bool paired = high && i + 12 <= text.size() && text.compare(i + 6, 2, "\\u") == 0 &&
                        is_hex4(text, i + 8) && hex4(text, i + 8) >= 0xDC00 &&
                        hex4(text, i + 8) <= 0xDFFF;
    if (paired) {
      out.append(text.substr(i, 12));
      i += 11;
    } else if (high || low) {
      out += "\\ufffd";
      i += 5;
    } else {
      out.append(text.substr(i, 6));
      i += 5;
    }
  }
  return out;
}

CdpMessage classify_message(std::string_view text) {
  std::optional<common::Json> parsed = common::parse_json(text);
  // The page's strings may hold half of a surrogate pair, which the browser writes as a lone
  // escape that is not valid JSON text; it is read as U+FFFD instead of losing the message
  // (and, for a reply, leaving its command to time out).
  if (!parsed && text.find("\\u") != std::string_view::npos) {
    parsed = common::parse_json(repair_lone_surrogates(text));
  }
  if (!parsed || !parsed->is_object()) return std::monostate{};
  const common::Json& message = *parsed;
  const auto id = message.find("id");
  if (id != message.end() &&
      (id->is_number_unsigned() || (id->is_number_integer() && id->get<std::int64_t>() >= 0))) {
    CdpReply reply;
    reply.id = id->get<std::uint64_t>();
    const auto error = message.find("error");
    if (error != message.end()) {
      reply.ok = false;
      const common::Json* text_of_error = nullptr;
      if (error->is_object()) {
        const auto m = error->find("message");
        if (m != error->end() && m->is_string()) text_of_error = &*m;
      }
      reply.error = text_of_error != nullptr ? text_of_error->get<std::string>() : "unknown error";
      return reply;
    }
    const auto result = message.find("result");
    if (result != message.end()) reply.result = *result;
    return reply;
  }
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return std::monostate{};
  CdpEvent event;
  event.method = method->get<std::string>();
  const auto session = message.find("sessionId");
  if (session != message.end() && session->is_string()) event.session = session->get<std::string>();
  const auto params = message.find("params");
  if (params != message.end()) event.params = *params;
  return event;
}

CdpConnection::CdpConnection(std::unique_ptr<Transport> transport)
    : transport_(std::move(transport)) {
  transport_->on_message = [this](std::string_view text) { receive(text); };
  transport_->on_closed = [this] { on_transport_closed(); };
}

CdpConnection::~CdpConnection() {
  *alive_ = false;
  transport_->on_message = nullptr;
  transport_->on_closed = nullptr;
  transport_->close();
  // Anyone still waiting hears the connection is gone instead of waiting forever.
  auto pending = std::move(pending_);
  for (auto& [id, entry] : pending) entry.slot->complete(fail(kConnectionClosed));
}

void CdpConnection::close() {
  transport_->close();
  on_transport_closed();
}

std::string CdpConnection::frame(std::uint64_t id, const std::string& method, common::Json params,
                                 const std::string& session) const {
  common::Json message = common::Json::object();
  message["id"] = id;
  message["method"] = method;
  message["params"] = params.is_null() ? common::Json::object() : std::move(params);
  if (!session.empty()) message["sessionId"] = session;
  // Our own texts may carry bytes that are not UTF-8 (a page's file name, say); they are
  // replaced rather than refused.
  return message.dump(-1, ' ', false, common::Json::error_handler_t::replace);
}

QCoro::Task<CdpResult> CdpConnection::call(std::string method, common::Json params,
                                           std::string session, Interrupt* interrupt,
                                           std::chrono::milliseconds limit) {
  if (closed_) co_return fail(kConnectionClosed);
  if (interrupt != nullptr && interrupt->fired()) {
    co_return fail("The call was interrupted.");
  }
  const std::uint64_t id = next_id_++;
  auto slot = std::make_shared<OneShot<CdpResult>>();
  pending_.emplace(id, Pending{method, session, slot});
  if (!transport_->send(frame(id, method, std::move(params), session))) {
    pending_.erase(id);
    co_return fail(kConnectionClosed);
  }

  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [slot, method] {
    CdpResult late =
        fail("The browser did not answer " + method + " in time.", ErrorKind::TimedOut);
    slot->complete(std::move(late));
  });
  timer.start(common::timing::io_limit(limit));
  std::uint64_t ticket = 0;
  if (interrupt != nullptr) {
    ticket = interrupt->listen([slot] { slot->complete(fail("The call was interrupted.")); });
  }

  const std::shared_ptr<bool> alive = alive_;
  auto waiting = OneShot<CdpResult>::wait(slot);
  CdpResult result = co_await waiting;
  if (interrupt != nullptr) interrupt->forget(ticket);
  // A time-out or an interruption leaves the entry behind: take it out, so the late reply is
  // dropped on arrival.
  if (*alive) pending_.erase(id);
  co_return result;
}

bool CdpConnection::send_only(const std::string& method, common::Json params,
                              const std::string& session) {
  if (closed_) return false;
  return transport_->send(frame(next_id_++, method, std::move(params), session));
}

void CdpConnection::receive(std::string_view text) {
  CdpMessage message = classify_message(text);
  if (auto* reply = std::get_if<CdpReply>(&message)) {
    const auto it = pending_.find(reply->id);
    if (it == pending_.end()) return;
    Pending entry = std::move(it->second);
    pending_.erase(it);
    if (reply->ok) {
      entry.slot->complete(std::move(reply->result));
    } else {
      entry.slot->complete(fail(entry.method + " failed: " + reply->error));
    }
    return;
  }
  if (auto* event = std::get_if<CdpEvent>(&message)) {
    if (on_event_) on_event_(*event);
  }
}

void CdpConnection::fail_session(const std::string& session, const std::string& message) {
  // Out of the table before any is completed, as on close.
  std::vector<Pending> failed;
  std::erase_if(pending_, [&](auto& entry) {
    if (entry.second.session != session) return false;
    failed.push_back(std::move(entry.second));
    return true;
  });
  for (Pending& entry : failed) entry.slot->complete(fail(message));
}

void CdpConnection::on_transport_closed() {
  if (closed_) return;
  closed_ = true;
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& [id, entry] : pending) entry.slot->complete(fail(kConnectionClosed));
}

}  // namespace kavor::browser
