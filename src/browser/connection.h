// The DevTools protocol client: commands out, replies and events in, over one transport.
//
// Ids. Every command takes the next value of a counter that starts at 1 and never repeats, and
// is sent as {"id", "method", "params", "sessionId" for page commands}. Before it is sent, a
// one-shot reply slot is entered under its id in `pending`; any number of commands may be in
// flight at once, and replies are matched by id whatever their order.
//
// Routing. Every incoming text is parsed as JSON; text that is not JSON, and JSON that is not an
// object, is dropped. An object with a non-negative integer `id` is a reply: the slot under that
// id is taken out of `pending` and completed with `error.message` ("unknown error" when there is
// none) or with `result` (null when missing). A reply whose id is not pending is dropped. Any
// other object with a string `method` is an event and goes to the event handler with its
// `sessionId` (empty when absent) and `params` (null when absent). The handler never fails a
// command and never waits: what it must send (a dialog's answer) it sends without a reply slot.
//
// Time-outs. A command waits at most 20 seconds (less when the caller asks), or until the call's
// interrupt fires. Either way its entry leaves `pending` first, so a reply that turns up late
// finds no slot and is dropped; it can never complete a later command.
//
// Close. When the socket ends, `closed` is set and every slot still pending fails with "The
// browser closed the connection."; a command issued after that fails the same way at once and
// sends nothing. The cost of a message is one parse; a reply is found in O(log pending).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include <qcorotask.h>

#include "browser/transport.h"
#include "browser/waiting.h"
#include "common/json.h"
#include "platform/result.h"

namespace kavor::browser {

inline constexpr std::chrono::milliseconds kCommandLimit{20'000};
inline constexpr const char* kConnectionClosed = "The browser closed the connection.";

// A command's `result`, or the message of its failure: ErrorKind::TimedOut when no answer came
// within the command's limit (the connection then stays open).
using CdpResult = Result<common::Json>;

// One incoming message, classified.
struct CdpReply {
  std::uint64_t id = 0;
  bool ok = true;
  common::Json result;  // when ok
  std::string error;    // the error's message when not ok
};
struct CdpEvent {
  std::string session;  // empty when the message has none
  std::string method;
  common::Json params;
};
using CdpMessage = std::variant<std::monostate, CdpReply, CdpEvent>;  // monostate: dropped

// JSON `text` with every escape of an unpaired surrogate (U+D800 to U+DFFF) replaced by the
// escape of U+FFFD.
std::string repair_lone_surrogates(std::string_view text);

// The routing rules above, as a pure function of the text.
CdpMessage classify_message(std::string_view text);

class CdpConnection {
 public:
  using EventHandler = std::function<void(const CdpEvent& event)>;

  explicit CdpConnection(std::unique_ptr<Transport> transport);
  ~CdpConnection();
  CdpConnection(const CdpConnection&) = delete;
  CdpConnection& operator=(const CdpConnection&) = delete;

  void set_event_handler(EventHandler handler) { on_event_ = std::move(handler); }

  // Sends `method` with `params` (an object; {} when null), on the page session `session` when
  // it is not empty, and waits for its reply. Failures: "The browser closed the connection.",
  // "The browser did not answer {method} in time.", "{method} failed: {message}", or an
  // interruption (the caller looks at its interrupt to tell which).
  QCoro::Task<CdpResult> call(std::string method, common::Json params, std::string session,
                              Interrupt* interrupt,
                              std::chrono::milliseconds limit = kCommandLimit);

  // Sends a command whose reply nobody waits for; false when it could not be sent.
  bool send_only(const std::string& method, common::Json params, const std::string& session);

  bool closed() const { return closed_; }
  std::size_t pending_count() const { return pending_.size(); }
  void close();

  // Fails at once, with `message`, every command still waiting that was sent on `session`: its
  // target is gone (a page whose process died), and no reply will ever come.
  void fail_session(const std::string& session, const std::string& message);

 private:
  void receive(std::string_view text);
  void on_transport_closed();
  std::string frame(std::uint64_t id, const std::string& method, common::Json params,
                    const std::string& session) const;

  std::unique_ptr<Transport> transport_;
  EventHandler on_event_;
  struct Pending {
    std::string method;  // for the error message
    std::string session;
    std::shared_ptr<OneShot<CdpResult>> slot;
  };
  std::map<std::uint64_t, Pending> pending_;
  std::uint64_t next_id_ = 1;
  bool closed_ = false;
  // Completed slots resume their callers later; this tells a caller that comes back after the
  // connection is gone not to touch it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kavor::browser
