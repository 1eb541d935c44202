#include "mcp/server.h"

#include <QCoreApplication>
#include <QUrl>

#include <atomic>
#include <exception>
#include <utility>

#include "common/build_config.h"
#include "common/json_read.h"
#include "common/timing.h"
#include "common/workspace_folder.h"
#include "mcp/event_relay.h"
#include "tools/call.h"
#include "tools/call_info.h"
#include "tools/dispatch.h"
#include "tools/tool_table.h"

namespace kavor::mcp {

namespace {

// What a call the user denied with a plain "deny" answers.
constexpr const char* kDeniedByUser = "The user denied this call, so it was not run.";

// Call ids are the process's own, so that sessions of one server never share one.
std::atomic<std::uint64_t> g_next_call{0};

bool usable_token(const common::Json& token) {
  return token.is_string() || token.is_number_integer() || token.is_number_unsigned();
}

common::Json text_content(const std::string& text) {
  return common::Json{{"type", "text"}, {"text", text}};
}

common::Json error_result(const std::string& message) {
  common::Json result = common::Json::object();
  result["content"] = common::Json::array({text_content(message)});
  result["isError"] = true;
  return result;
}

// What the user reads in the client's prompt: the call as its card shows it.
std::string approval_message(const common::Json& call) {
  std::string message = std::string("Kavor Agent asks to run ") + common::json::text(call, "tool") +
                        ": " + common::json::text(call, "summary");
  if (common::json::flag(call, "outside"))
    message += "\nThis call reaches outside the workspace folder.";
  if (common::json::text(call, "kind") == "exec")
    message += "\nFolder: " + common::json::text(call, "cwd");
  const std::string detail = common::json::text(call, "detail");
  if (!detail.empty()) message += "\n\n" + detail;
  return message;
}

common::Json elicitation_params(const Revision& revision, const common::Json& call) {
  static const char* const kValues[] = {"allow", "always", "deny"};
  static const char* const kTitles[] = {"Allow", "Always allow", "Deny"};
  common::Json decision = common::Json::object();
  decision["type"] = "string";
  decision["title"] = "Your answer";
  decision["description"] =
      "Always allow runs this tool without asking for the rest of the session.";
  if (revision.titled_choices) {
    common::Json choices = common::Json::array();
    for (std::size_t i = 0; i < 3; ++i)
      choices.push_back({{"const", kValues[i]}, {"title", kTitles[i]}});
    decision["oneOf"] = std::move(choices);
  } else {
    decision["enum"] = common::Json::array({kValues[0], kValues[1], kValues[2]});
    decision["enumNames"] = common::Json::array({kTitles[0], kTitles[1], kTitles[2]});
  }
  common::Json schema = common::Json::object();
  schema["type"] = "object";
  schema["properties"] = common::Json{{"decision", std::move(decision)}};
  schema["required"] = common::Json::array({"decision"});
  common::Json params = common::Json::object();
  if (revision.elicitation_mode) params["mode"] = "form";
  params["message"] = approval_message(call);
  params["requestedSchema"] = std::move(schema);
  return params;
}

std::string no_elicitation_refusal(const common::Json& call) {
  return "This client cannot ask the user to approve calls (it offers no elicitation), so this "
         "call was not run. Starting the server with --mode " +
         mode_that_runs(call) + " lets calls like it run without asking.";
}

}  // namespace

common::Json call_result(const common::Json& record, const std::string& refusal) {
  const std::string status = common::json::text(record, "status");
  std::string output = common::json::text(record, "output");
  if (status == "denied" && output.empty()) output = refusal.empty() ? kDeniedByUser : refusal;
  common::Json content = common::Json::array({text_content(output)});
  const common::Json& image = common::json::member(record, "image");
  if (image.is_string()) {
    content.push_back({{"type", "image"},
                       {"data", image},
                       {"mimeType", common::json::text(record, "image_mime")}});
  }
  common::Json result = common::Json::object();
  result["content"] = std::move(content);
  result["isError"] = status != "ok";
  return result;
}

std::string mode_that_runs(const common::Json& call) {
  tools::CallInfo info;
  info.tool = common::json::text(call, "tool");
  const std::string kind = common::json::text(call, "kind");
  info.kind = kind == "exec"    ? tools::ToolKind::Exec
              : kind == "write" ? tools::ToolKind::Write
                                : tools::ToolKind::Read;
  info.outside = common::json::flag(call, "outside");
  info.memory = common::json::flag(call, "memory");
  info.unfenced = common::json::flag(call, "unfenced");
  return tools::decide(tools::Mode::Auto, info, false) == tools::Verdict::Run ? "auto"
                                                                              : "everything";
}

Server::Server(ServerContext context, ServerOptions options, Send send)
    : ctx_(context), options_(std::move(options)), send_(std::move(send)) {
  listener_ = ctx_.relay.listen(
      [this](const QString& name, const common::Json& payload) { on_event(name, payload); });
  roots_timer_.setSingleShot(true);
  roots_timer_.setInterval(common::timing::scaled(kRootsWait));
  // A client that has not answered by then will not: later calls do not wait for it again, and
  // a late answer is still taken.
  connect(&roots_timer_, &QTimer::timeout, this, [this] {
    roots_pending_ = false;
    run_awaiting_roots();
  });
}

Server::~Server() {
  close();
  *alive_ = false;
  ctx_.relay.unlisten(listener_);
}

void Server::receive_line(std::string_view line) {
  if (line.find_first_not_of(" \t\r\n") == std::string_view::npos) return;
  const Result<common::Json> parsed = parse_message(line);
  if (!parsed.ok()) {
    send(error_response(nullptr, kParseError, parsed.message()));
    return;
  }
  receive(parsed.value());
}

void Server::receive(const common::Json& value) {
  if (closed_) return;  // the client is gone: nothing more starts
  const Message message = classify(value);
  switch (message.kind) {
    case Message::Kind::Request:
      handle_request(message);
      break;
    case Message::Kind::Notification:
      handle_notification(message);
      break;
    case Message::Kind::Response:
      handle_response(message);
      break;
    case Message::Kind::Invalid:
      send(error_response(message.id, kInvalidRequest, message.problem), message.id);
      break;
  }
}

void Server::receive_oversized() {
  send(oversized_error());
}

void Server::close() {
  if (closed_) return;
  closed_ = true;
  // Calls still waiting for the roots have started nothing: they go at once.
  roots_timer_.stop();
  for (const AwaitingRoots& waiting : std::exchange(awaiting_roots_, {})) end_call(waiting.call_id);
  for (auto& [call_id, call] : calls_) {
    call.cancelled = true;
    ctx_.approvals.decide_call(call_id, tools::Answer::Deny);
    ctx_.approvals.stop(call_id);
  }
}

void Server::handle_request(const Message& message) {
  const common::Json& id = message.id;
  if (message.method == "initialize") {
    if (revision_ != nullptr) {
      send(error_response(id, kInvalidRequest, "The session is already initialized."), id);
      return;
    }
    if (!common::json::member(message.params, "protocolVersion").is_string()) {
      send(error_response(id, kInvalidParams, "initialize needs protocolVersion."), id);
      return;
    }
    send(response(id, initialize(message.params)), id);
    return;
  }
  if (message.method == "ping") {
    send(response(id, common::Json::object()), id);
    return;
  }
  if (revision_ == nullptr) {
    send(error_response(id, kInvalidRequest,
                        "The session is not initialized: send initialize first."),
         id);
    return;
  }
  if (message.method == "tools/list") {
    send(response(id, list_tools()), id);
    return;
  }
  if (message.method == "tools/call") {
    // Runs beside the reading of further messages; it answers by itself.
    call_tool(id, message.params);
    return;
  }
  send(error_response(id, kMethodNotFound, "Method not found: " + message.method), id);
}

void Server::handle_notification(const Message& message) {
  if (message.method == "notifications/initialized") {
    ask_roots();
  } else if (message.method == "notifications/roots/list_changed") {
    ask_roots();
  } else if (message.method == "notifications/cancelled") {
    const common::Json& request_id = common::json::member(message.params, "requestId");
    // A call still waiting for the roots has started nothing: it is dropped unanswered.
    std::erase_if(awaiting_roots_, [&](const AwaitingRoots& waiting) {
      const auto call = calls_.find(waiting.call_id);
      if (call == calls_.end() || call->second.request_id != request_id) return false;
      end_call(waiting.call_id);
      return true;
    });
    for (auto& [call_id, call] : calls_) {
      if (call.request_id != request_id || call.cancelled) continue;
      // As the stop button: a call waiting for the user is refused, a running one stopped.
      call.cancelled = true;
      ctx_.approvals.decide_call(call_id, tools::Answer::Deny);
      ctx_.approvals.stop(call_id);
    }
  }
  // Any other notification asks nothing of this server.
}

void Server::handle_response(const Message& message) {
  if (!message.id.is_string()) return;
  const auto found = outgoing_.find(message.id.get<std::string>());
  if (found == outgoing_.end()) return;
  const Outgoing outgoing = found->second;
  outgoing_.erase(found);
  if (outgoing.what == Asked::Roots) {
    roots_asked_ = false;
    take_roots(message.result);
    if (std::exchange(roots_again_, false)) ask_roots();
    return;
  }
  if (const auto call = calls_.find(outgoing.call_id); call != calls_.end()) {
    call->second.elicitation = nullptr;
  }
  // Only an accepted form with a known choice allows; a decline, a cancel, an error or anything
  // else is a refusal.
  tools::Answer answer = tools::Answer::Deny;
  if (common::json::text(message.result, "action") == "accept") {
    const std::string decision =
        common::json::text(common::json::member(message.result, "content"), "decision");
    answer = tools::parse_answer(decision).value_or(tools::Answer::Deny);
  }
  ctx_.approvals.decide_call(outgoing.call_id, answer);
}

common::Json Server::initialize(const common::Json& params) {
  revision_ = &negotiate(common::json::text(params, "protocolVersion"));
  const common::Json& capabilities = common::json::member(params, "capabilities");
  const common::Json& elicitation = common::json::member(capabilities, "elicitation");
  // An empty object says "form" in every revision that has elicitation.
  client_elicits_ = revision_->elicitation && elicitation.is_object() &&
                    (elicitation.empty() || elicitation.contains("form"));
  client_roots_ = common::json::member(capabilities, "roots").is_object();

  common::Json info = common::Json::object();
  info["name"] = common::build::kProgramName;
  if (revision_->tool_titles) info["title"] = "Kavor Agent";
  info["version"] = common::build::kVersion;
  common::Json result = common::Json::object();
  result["protocolVersion"] = std::string(revision_->name);
  result["capabilities"] = common::Json{{"tools", common::Json{{"listChanged", false}}}};
  result["serverInfo"] = std::move(info);
  result["instructions"] =
      "The tools work on the workspace folder this server was given (or the client's first "
      "root). Calls that change files or run commands may need the user's approval, asked "
      "through the client.";
  return result;
}

common::Json Server::list_tools() const {
  common::Json list = common::Json::array();
  for (const tools::ToolShape& shape : ctx_.shapes) {
    if (ctx_.tools.find(shape.name) == nullptr) continue;
    common::Json tool = common::Json::object();
    tool["name"] = shape.name;
    if (revision_->tool_titles) tool["title"] = shape.title;
    tool["description"] = shape.description;
    tool["inputSchema"] = tools::input_schema(shape);
    common::Json annotations = common::Json::object();
    annotations["title"] = shape.title;
    annotations["readOnlyHint"] = shape.read_only;
    if (!shape.read_only) annotations["destructiveHint"] = shape.destructive;
    annotations["openWorldHint"] = shape.open_world;
    tool["annotations"] = std::move(annotations);
    list.push_back(std::move(tool));
  }
  return common::Json{{"tools", std::move(list)}};
}

void Server::call_tool(const common::Json& request_id, const common::Json& params) {
  // 1. Check.
  const common::Json& name_value = common::json::member(params, "name");
  if (!name_value.is_string()) {
    send(error_response(request_id, kInvalidParams, "tools/call needs the tool's name."),
         request_id);
    return;
  }
  const std::string name = name_value.get<std::string>();
  const tools::ToolShape* shape = nullptr;
  for (const tools::ToolShape& candidate : ctx_.shapes) {
    if (candidate.name == name) shape = &candidate;
  }
  if (shape == nullptr || ctx_.tools.find(name) == nullptr) {
    send(error_response(request_id, kInvalidParams, "Unknown tool: " + name), request_id);
    return;
  }
  common::Json args = common::json::member(params, "arguments");
  if (args.is_null()) args = common::Json::object();
  if (const Result<void> checked = tools::check_args(*shape, args); !checked.ok()) {
    send(response(request_id, error_result(checked.message())), request_id);
    return;
  }
  if (calls_.size() >= kMaxLiveCalls) {
    send(error_response(request_id, kInvalidRequest,
                        "Too many calls are running in this session (at most " +
                            std::to_string(kMaxLiveCalls) +
                            " at once); send this one again once one has ended."),
         request_id);
    return;
  }
  const std::string call_id = "mcp-" + std::to_string(++g_next_call);
  CallState& call = calls_[call_id];
  call.request_id = request_id;
  const common::Json& token =
      common::json::member(common::json::member(params, "_meta"), "progressToken");
  if (usable_token(token)) call.progress_token = token;

  // 2. Workspace: runs beside the reading of further messages and answers by itself.
  if (roots_pending_) {
    awaiting_roots_.push_back(AwaitingRoots{call_id, name, std::move(args)});
    if (!roots_timer_.isActive()) roots_timer_.start();
    return;
  }
  run_call(call_id, name, std::move(args));
}

void Server::run_awaiting_roots() {
  roots_timer_.stop();
  for (AwaitingRoots& waiting : std::exchange(awaiting_roots_, {})) {
    run_call(std::move(waiting.call_id), std::move(waiting.tool), std::move(waiting.args));
  }
}

void Server::end_call(const std::string& call_id) {
  if (calls_.erase(call_id) != 0 && calls_.empty()) emit calls_ended();
}

QCoro::Task<> Server::run_call(std::string call_id, std::string name, common::Json args) {
  const std::shared_ptr<bool> alive = alive_;
  const std::vector<std::string>& folders =
      options_.workspaces.empty() ? roots_ : options_.workspaces;
  if (folders.empty()) {
    const common::Json request_id = calls_[call_id].request_id;
    end_call(call_id);
    send(response(request_id, error_result(std::string(common::kNoWorkspace))), request_id);
    co_return;
  }
  tools::Call call;
  call.id = QString::fromStdString(call_id);
  call.tool = QString::fromStdString(name);
  call.args = std::move(args);
  call.chat = QString::fromUtf8(kChat);
  call.workspace = QString::fromStdString(folders[0]);
  if (folders.size() > 1) call.extra = QString::fromStdString(folders[1]);

  // 3. Dispatch (4. happens in on_event while it runs).
  common::Json record;
  try {
    QCoro::Task<common::Json> dispatching =
        tools::dispatch(std::move(call),
                        tools::DispatchContext{ctx_.tools, ctx_.approvals, ctx_.running, ctx_.relay,
                                               ctx_.notifications, ctx_.pool, ctx_.shutdown});
    record = co_await dispatching;
  } catch (const std::exception& e) {
    record = tools::failure_record(QString::fromStdString(call_id),
                                   QString::fromStdString(tools::crash_message(e)));
  }
  if (!*alive) co_return;

  // 5. Answer, unless the call was cancelled or the session ended.
  const auto found = calls_.find(call_id);
  const CallState done = found->second;
  calls_.erase(found);
  if (calls_.empty()) emit calls_ended();
  if (record.is_null() || done.cancelled || closed_) co_return;
  send(response(done.request_id, call_result(record, done.refusal)), done.request_id);
}

void Server::on_event(const QString& name, const common::Json& payload) {
  const auto found = calls_.find(common::json::text(payload, "call_id"));
  if (found == calls_.end()) return;
  const std::string& call_id = found->first;
  CallState& call = found->second;
  if (name == QLatin1String("agent://output")) {
    if (call.progress_token.is_null() || closed_) return;
    const std::string chunk = common::json::text(payload, "chunk");
    // Progress must grow with every notification: the bytes of output so far.
    call.progress += static_cast<double>(chunk.size());
    send(notification("notifications/progress", common::Json{{"progressToken", call.progress_token},
                                                             {"progress", call.progress},
                                                             {"message", chunk}}),
         call.request_id);
    return;
  }
  if (name != QLatin1String("agent://call")) return;
  const std::string state = common::json::text(payload, "state");
  if (state == "pending") {
    ask_user(call_id, call, payload);
    return;
  }
  withdraw_elicitation(call);
  // Cancelled before its stop flag existed: the flag is made right after this event.
  if (state == "running" && call.cancelled) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [approvals = &ctx_.approvals, call_id] { approvals->stop(call_id); }, Qt::QueuedConnection);
  }
}

void Server::ask_user(const std::string& call_id, CallState& call, const common::Json& payload) {
  if (call.cancelled || closed_) {
    deny_later(call_id);
    return;
  }
  if (!client_elicits_) {
    call.refusal = no_elicitation_refusal(payload);
    deny_later(call_id);
    return;
  }
  call.elicitation = send_request("elicitation/create", elicitation_params(*revision_, payload),
                                  Outgoing{Asked::Elicitation, call_id}, call.request_id);
}

void Server::deny_later(const std::string& call_id) {
  // The gate enters the call in its table right after the event that brought us here.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [approvals = &ctx_.approvals, call_id] {
        approvals->decide_call(call_id, tools::Answer::Deny);
      },
      Qt::QueuedConnection);
}

void Server::withdraw_elicitation(CallState& call) {
  if (call.elicitation.is_null()) return;
  outgoing_.erase(call.elicitation.get<std::string>());
  send(notification("notifications/cancelled",
                    common::Json{{"requestId", call.elicitation},
                                 {"reason", "The call was decided or ended without this answer."}}),
       call.request_id);
  call.elicitation = nullptr;
}

void Server::ask_roots() {
  if (!options_.workspaces.empty() || !client_roots_ || revision_ == nullptr) return;
  roots_pending_ = true;
  // One question at a time: a change announced meanwhile is asked about once it is answered,
  // so that a flood of announcements keeps nothing and an older answer never follows a newer.
  if (roots_asked_) {
    roots_again_ = true;
    return;
  }
  roots_asked_ = true;
  send_request("roots/list", common::Json(), Outgoing{Asked::Roots, {}}, nullptr);
}

void Server::take_roots(const common::Json& result) {
  roots_.clear();
  const common::Json& roots = common::json::member(result, "roots");
  if (roots.is_array()) {
    for (const common::Json& root : roots) {
      const QUrl url(QString::fromStdString(common::json::text(root, "uri")), QUrl::StrictMode);
      if (url.isValid() && url.isLocalFile()) roots_.push_back(url.toLocalFile().toStdString());
    }
  }
  roots_pending_ = false;
  run_awaiting_roots();
}

common::Json Server::send_request(const std::string& method, common::Json params, Outgoing outgoing,
                                  const common::Json& related) {
  const std::string id = "kavor-" + std::to_string(++next_request_);
  outgoing_.emplace(id, std::move(outgoing));
  send(request(id, method, std::move(params)), related);
  return id;
}

void Server::send(const common::Json& message, const common::Json& related) {
  if (closed_) return;
  send_(message, related);
}

}  // namespace kavor::mcp
