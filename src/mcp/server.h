// One client's session of the Model Context Protocol: the lifecycle, the tool list, and each
// tool call taken down the same road as a call from the chat service (tools/dispatch.h). The
// transport (mcp/stdio.h, mcp/http.h) hands it messages and carries what it sends; the session
// never touches a socket or a descriptor.
//
// The road of one tools/call:
//   1. Check: the session is initialized, the params hold a known tool's name and an arguments
//      object whose keys have the types its schema gives (tools/tool_shape.h); a wrong type is a
//      result with isError, which the model can read and correct.
//   2. Workspace: the folders of --workspace; else, while the client's roots are being asked
//      for (roots/list), the call waits in a list of its own until they come (at most
//      kRootsWait); else none, and every tool that needs one answers "No workspace folder is
//      selected." A waiting call has started nothing yet: a cancel or the session's end simply
//      drops it, and nothing of it is left suspended.
//   3. Dispatch as the service's calls go: scope, decode, approval gate, fence, run. The call's
//      id is this process's own ("mcp-<n>"), its chat the server's one chat.
//   4. While it runs, the core's events for that call arrive through the EventRelay:
//      - "pending": the mode wants the user's word. A client that offers elicitation gets an
//        elicitation/create with the call's summary, folder and detail (the diff or the command,
//        hidden characters shown visibly, as on the card) and the choices Allow, Always allow,
//        Deny; its answer decides the call. A client without elicitation gets the call refused,
//        with the mode that would have run it. No answer within the approval limit is a refusal.
//      - live output: a notifications/progress for each chunk, when the call has a progress
//        token.
//      - the call's end: an elicitation still open is withdrawn (notifications/cancelled).
//   5. Answer with a CallToolResult: the tool's text, a screenshot as image content, isError for
//      a failure or a refusal, with the same message the chat service is given.
//
// At most kMaxLiveCalls calls run at once in a session; a call past that is refused with an
// error that says so. After close(), nothing the client sends starts anything.
//
// notifications/cancelled for a call's request stops it as the stop button does: a waiting call
// is refused, a running one is stopped (its process tree ended, its browser call given up), and
// no answer is sent for it, as the protocol asks. close() does the same for every call: the
// client is gone.
//
// Limits: a message is at most kMaxMessageBytes (protocol.h); the approval wait is the gate's
// own (tools/approvals.h).
#pragma once

#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include <qcorotask.h>

#include "common/json.h"
#include "mcp/protocol.h"
#include "tools/approvals.h"
#include "tools/tool_shape.h"

namespace kavor {
namespace desktop {
class Notifications;
}
namespace tools {
class ToolTable;
class RunningChats;
}  // namespace tools
}  // namespace kavor

namespace kavor::mcp {

class EventRelay;

// How long a call waits for the client's roots before it runs without a workspace: a client
// answers roots/list at once or not at all.
inline constexpr std::chrono::milliseconds kRootsWait{10'000};

// Calls one session runs at once; more are refused, so that a client sending calls without
// reading their answers cannot make the server hold answers without bound.
inline constexpr std::size_t kMaxLiveCalls = 64;

// The chat every call of this program belongs to: one per server process, for the approval
// mode, the "always allow" answers, the project memory and the private browser.
inline constexpr const char* kChat = "mcp";

// What a session needs of the agent; all of it outlives every session.
struct ServerContext {
  const tools::ToolTable& tools;
  const std::vector<tools::ToolShape>& shapes;
  tools::Approvals& approvals;
  tools::RunningChats& running;
  EventRelay& relay;
  desktop::Notifications& notifications;
  QThreadPool& pool;
  std::stop_token shutdown;
};

struct ServerOptions {
  // --workspace, in order: the first is the workspace, a second the extra folder.
  std::vector<std::string> workspaces;
  // The approval mode of the chat, for the refusal that names the mode a call would need.
  tools::Mode mode = tools::Mode::Ask;
};

class Server : public QObject {
  Q_OBJECT
 public:
  // Writes one message; `related` is the id of the client's request it belongs to (its
  // answer, or what a call sends while it runs), null for the session's own requests.
  using Send = std::function<void(const common::Json& message, const common::Json& related)>;

  Server(ServerContext context, ServerOptions options, Send send);
  ~Server() override;

  // One line as read: parsed, classified and handled.
  void receive_line(std::string_view line);
  // One parsed message.
  void receive(const common::Json& message);
  // A message longer than kMaxMessageBytes was dropped.
  void receive_oversized();
  // The client is gone: every call of this session is stopped and nothing more is sent.
  void close();

  bool initialized() const { return revision_ != nullptr; }
  // Calls in progress, for a transport that waits for them to end.
  std::size_t live_calls() const { return calls_.size(); }

 signals:
  // The last call in progress has ended.
  void calls_ended();

 private:
  struct CallState {
    common::Json request_id;
    common::Json progress_token;  // null without one
    double progress = 0;
    common::Json elicitation;  // the id of our elicitation/create while it is open
    bool cancelled = false;
    std::string refusal;  // why the call was refused without asking
  };
  enum class Asked { Elicitation, Roots };
  struct Outgoing {
    Asked what = Asked::Roots;
    std::string call_id;
  };
  // A checked call waiting for the client's roots before it is dispatched.
  struct AwaitingRoots {
    std::string call_id;
    std::string tool;
    common::Json args;
  };

  void handle_request(const Message& message);
  void handle_notification(const Message& message);
  void handle_response(const Message& message);
  common::Json initialize(const common::Json& params);
  common::Json list_tools() const;
  void call_tool(const common::Json& request_id, const common::Json& params);
  void run_awaiting_roots();
  QCoro::Task<> run_call(std::string call_id, std::string tool, common::Json args);
  void end_call(const std::string& call_id);
  void on_event(const QString& name, const common::Json& payload);
  void ask_user(const std::string& call_id, CallState& call, const common::Json& payload);
  void withdraw_elicitation(CallState& call);
  void ask_roots();
  void take_roots(const common::Json& result);
  common::Json send_request(const std::string& method, common::Json params, Outgoing outgoing,
                            const common::Json& related);
  void send(const common::Json& message, const common::Json& related = nullptr);
  void deny_later(const std::string& call_id);

  ServerContext ctx_;
  ServerOptions options_;
  Send send_;
  int listener_ = 0;
  const Revision* revision_ = nullptr;
  bool client_elicits_ = false;
  bool client_roots_ = false;
  bool roots_pending_ = false;
  bool roots_asked_ = false;        // a roots/list is unanswered
  bool roots_again_ = false;        // the roots changed since it was sent
  std::vector<std::string> roots_;  // from the client, when --workspace gave none
  std::vector<AwaitingRoots> awaiting_roots_;
  QTimer roots_timer_;                        // kRootsWait from the first call that waits
  std::map<std::string, CallState> calls_;    // by call id
  std::map<std::string, Outgoing> outgoing_;  // by our request's id
  std::uint64_t next_request_ = 0;
  bool closed_ = false;
  // Tells tasks resumed after the session ended to touch nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The CallToolResult of a dispatch record: the output as text, the image as image content,
// isError unless the status is "ok". `refusal` stands in for an empty denial (the user's plain
// "deny" or a refusal made here).
common::Json call_result(const common::Json& record, const std::string& refusal);

// The mode that would run the described call (to_json of a CallInfo) without asking: "auto" or
// "everything".
std::string mode_that_runs(const common::Json& call);

}  // namespace kavor::mcp
