#include "browser/page_state.h"

#include <cmath>

#include "browser/display_text.h"
#include "browser/message_fields.h"

namespace kavor::browser {

namespace {

std::optional<int> status_of(const common::Json& response) {
  const std::optional<std::int64_t> status = integer(response, "status");
  if (!status || *status < 0 || *status > 999) return std::nullopt;
  return static_cast<int>(*status);
}

bool is_problem(const std::string& level) {
  return level == "warn" || level == "error" || level == "failed" || level == "exception";
}

void push_counted(std::deque<ConsoleEntry>& buffer, std::size_t& dropped, std::size_t limit,
                  const std::string& level, const std::string& text) {
  if (!buffer.empty() && buffer.back().level == level && buffer.back().text == text) {
    ++buffer.back().count;
    return;
  }
  if (buffer.size() >= limit) {
    buffer.pop_front();
    ++dropped;
  }
  buffer.push_back(ConsoleEntry{level, text, 1});
}

// The location of the first frame of a stack trace, as a suffix.
std::string stack_location(const common::Json& stack) {
  const common::Json& frames = member(stack, "callFrames");
  if (!frames.is_array() || frames.empty()) return {};
  return location_suffix(str(frames.front(), "url"), integer(frames.front(), "lineNumber"));
}

}  // namespace

std::string console_level(const std::string& name) {
  if (name == "warn" || name == "warning") return "warn";
  if (name == "error" || name == "assert") return "error";
  if (name == "debug" || name == "verbose") return "debug";
  if (name == "info") return "info";
  return "log";
}

std::string location_suffix(const std::string& url, std::optional<std::int64_t> line) {
  if (url.empty()) return {};
  if (!line) return " (" + url + ")";
  return " (" + url + ":" + std::to_string(*line + 1) + ")";
}

std::string remote_value_text(const common::Json& remote, bool strings_bare) {
  if (!remote.is_object()) return "undefined";
  const auto value = remote.find("value");
  if (value != remote.end()) {
    if (strings_bare && value->is_string()) return value->get<std::string>();
    return value->dump(-1, ' ', false, common::Json::error_handler_t::replace);
  }
  const std::string type = str(remote, "type");
  if (type == "undefined") return "undefined";
  const std::string unserializable = str(remote, "unserializableValue");
  if (!unserializable.empty()) return unserializable;
  const common::Json& preview = member(remote, "preview");
  const common::Json& properties = member(preview, "properties");
  if (properties.is_array()) {
    const bool array = str(preview, "subtype") == "array";
    std::string out = array ? "[" : "{";
    bool first = true;
    for (const common::Json& property : properties) {
      if (!first) out += ", ";
      first = false;
      const std::string shown =
          property.contains("value") ? str(property, "value") : str(property, "type");
      const std::string text = str(property, "type") == "string" ? "\"" + shown + "\"" : shown;
      out += array ? text : str(property, "name") + ": " + text;
    }
    if (flag(preview, "overflow")) {
      out += first ? "…" : ", …";
    }
    out += array ? "]" : "}";
    return out;
  }
  const std::string description = str(remote, "description");
  if (!description.empty()) return description;
  return type.empty() ? "undefined" : type;
}

std::string exception_text(const common::Json& details) {
  const std::string description = str(member(details, "exception"), "description");
  if (!description.empty()) {
    const std::size_t end = description.find('\n');
    std::string text = description.substr(0, end);
    if (text.rfind("Uncaught", 0) != 0) text = "Uncaught " + text;
    if (end != std::string::npos) {
      const std::size_t next_end = description.find('\n', end + 1);
      std::string next = description.substr(
          end + 1, next_end == std::string::npos ? std::string::npos : next_end - end - 1);
      const std::size_t start = next.find_first_not_of(" \t");
      if (start != std::string::npos && next.compare(start, 3, "at ") == 0) {
        text += " " + next.substr(start);
      }
    }
    return text;
  }
  return str(details, "text", "Uncaught exception") +
         location_suffix(str(details, "url"), integer(details, "lineNumber"));
}

void PageState::reset(std::string main_frame) {
  std::lock_guard lock(mutex_);
  main_frame_ = std::move(main_frame);
  url_ = "about:blank";
  loaded_ = true;
  navigations_ = 0;
  document_request_.clear();
  document_status_.reset();
  document_error_.reset();
  in_flight_.clear();
  last_activity_.reset();
  requests_.clear();
  console_.clear();
  problems_.clear();
  network_.clear();
  console_dropped_ = problems_dropped_ = network_dropped_ = 0;
}

void PageState::add_console(std::string level, std::string text) {
  text = cut_chars(text, kKeptTextChars);
  if (is_problem(level)) push_counted(problems_, problems_dropped_, kProblemLimit, level, text);
  push_counted(console_, console_dropped_, kConsoleLimit, level, text);
}

std::optional<Answer> PageState::apply(const std::string& method, const common::Json& params,
                                       Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const std::string frame = str(params, "frameId");
  if (method == "Page.loadEventFired") {
    loaded_ = true;
  } else if (method == "Page.frameStoppedLoading") {
    // A page restored from the back-forward cache starts loading but fires no load event; its
    // main frame stopping is the end of that load.
    if (frame == main_frame_) loaded_ = true;
  } else if (method == "Page.frameStartedLoading") {
    if (frame == main_frame_) {
      loaded_ = false;
      ++navigations_;
    }
  } else if (method == "Page.frameNavigated") {
    const common::Json& f = member(params, "frame");
    if (f.is_object() && !f.contains("parentId")) url_ = str(f, "url", url_);
  } else if (method == "Page.navigatedWithinDocument") {
    if (frame == main_frame_) url_ = str(params, "url", url_);
  } else if (method == "Network.requestWillBeSent") {
    return on_request(params, now);
  } else if (method == "Network.responseReceived") {
    on_response(params);
  } else if (method == "Network.loadingFinished") {
    on_finished(params, now, false);
  } else if (method == "Network.loadingFailed") {
    on_finished(params, now, true);
  } else if (method == "Runtime.consoleAPICalled") {
    std::string text;
    const common::Json& args = member(params, "args");
    if (args.is_array()) {
      for (const common::Json& arg : args) {
        if (!text.empty()) text += ' ';
        text += remote_value_text(arg, true);
      }
    }
    add_console(console_level(str(params, "type")),
                text + stack_location(member(params, "stackTrace")));
  } else if (method == "Runtime.exceptionThrown") {
    add_console("exception", exception_text(member(params, "exceptionDetails")));
  } else if (method == "Log.entryAdded") {
    const common::Json& entry = member(params, "entry");
    if (str(entry, "source") == "network") return std::nullopt;
    add_console(
        console_level(str(entry, "level", "info")),
        str(entry, "text") + location_suffix(str(entry, "url"), integer(entry, "lineNumber")));
  } else if (method == "Page.javascriptDialogOpening") {
    add_console("info", str(params, "type", "alert") + " dialog \"" +
                            cut_chars(str(params, "message"), kLoggedUrlChars) + "\" was accepted");
    common::Json answer = common::Json::object();
    answer["accept"] = true;
    answer["promptText"] = str(params, "defaultPrompt");
    return Answer{"Page.handleJavaScriptDialog", std::move(answer)};
  }
  return std::nullopt;
}

std::optional<Answer> PageState::on_request(const common::Json& params, Clock::time_point now) {
  if (requests_.size() > kRequestTableLimit) requests_.clear();
  if (in_flight_.size() > kInFlightLimit) in_flight_.clear();
  const std::string id = str(params, "requestId");
  const common::Json& request = member(params, "request");
  const double timestamp = number(params, "timestamp").value_or(0);
  const common::Json& redirect = member(params, "redirectResponse");
  if (redirect.is_object()) {
    const auto previous = requests_.find(id);
    if (previous != requests_.end()) {
      previous->second.status = status_of(redirect);
      log_finished(id, previous->second, timestamp, std::nullopt);
    }
  }
  Request record{str(request, "method", "GET"), cut_chars(str(request, "url"), kKeptTextChars),
                 str(params, "type", "Other"), timestamp, std::nullopt};
  if (record.type == "Document" && str(params, "frameId") == main_frame_ &&
      str(params, "loaderId") == id && !id.empty()) {
    document_request_ = id;
    document_status_.reset();
    document_error_.reset();
  }
  requests_[id] = std::move(record);
  in_flight_.insert(id);
  last_activity_ = now;
  return std::nullopt;
}

void PageState::on_response(const common::Json& params) {
  const std::string id = str(params, "requestId");
  const common::Json& response = member(params, "response");
  const std::optional<int> status = status_of(response);
  const auto it = requests_.find(id);
  std::string method = "GET";
  std::string url = str(response, "url");
  if (it != requests_.end()) {
    it->second.status = status;
    method = it->second.method;
    url = it->second.url;
  }
  if (id == document_request_ && !id.empty()) document_status_ = status;
  if (status && *status >= 400) {
    add_console("failed",
                std::to_string(*status) + " " + method + " " + cut_chars(url, kLoggedUrlChars));
  }
}

void PageState::on_finished(const common::Json& params, Clock::time_point now, bool failed) {
  const std::string id = str(params, "requestId");
  in_flight_.erase(id);
  last_activity_ = now;
  const auto it = requests_.find(id);
  std::optional<std::string> error;
  if (failed) {
    error = str(params, "errorText", "failed");
    if (error->empty()) error = "failed";
    if (id == document_request_ && !id.empty()) document_error_ = error;
    if (!flag(params, "canceled") && !member(params, "blockedReason").is_string() &&
        it != requests_.end()) {
      add_console("failed", it->second.method + " " + cut_chars(it->second.url, kLoggedUrlChars) +
                                " " + *error);
    }
  }
  if (it == requests_.end()) return;
  log_finished(id, it->second, number(params, "timestamp").value_or(0), std::move(error));
  requests_.erase(it);
}

void PageState::log_finished(const std::string& /*id*/, const Request& request, double end,
                             std::optional<std::string> error) {
  NetworkEntry entry{request.method, request.url,      request.type, request.status,
                     true,           std::move(error), std::nullopt};
  if (request.start > 0 && end > 0) {
    entry.duration_ms =
        static_cast<std::uint64_t>(std::llround(std::max(end - request.start, 0.0) * 1000));
  }
  if (network_.size() >= kNetworkLimit) {
    network_.pop_front();
    ++network_dropped_;
  }
  network_.push_back(std::move(entry));
}

bool PageState::loaded() const {
  std::lock_guard lock(mutex_);
  return loaded_;
}
std::uint64_t PageState::navigation_counter() const {
  std::lock_guard lock(mutex_);
  return navigations_;
}
std::string PageState::url() const {
  std::lock_guard lock(mutex_);
  return url_;
}
std::optional<int> PageState::document_status() const {
  std::lock_guard lock(mutex_);
  return document_status_;
}
std::optional<std::string> PageState::document_error() const {
  std::lock_guard lock(mutex_);
  return document_error_;
}
std::size_t PageState::in_flight() const {
  std::lock_guard lock(mutex_);
  return in_flight_.size();
}
std::optional<Clock::time_point> PageState::last_activity() const {
  std::lock_guard lock(mutex_);
  return last_activity_;
}

namespace {

template <typename T>
Drained<T> drain(std::deque<T>& buffer, std::size_t& dropped) {
  Drained<T> out{std::vector<T>(buffer.begin(), buffer.end()), dropped};
  buffer.clear();
  dropped = 0;
  return out;
}

}  // namespace

Drained<ConsoleEntry> PageState::take_console() {
  std::lock_guard lock(mutex_);
  return drain(console_, console_dropped_);
}

Drained<ConsoleEntry> PageState::take_problems() {
  std::lock_guard lock(mutex_);
  return drain(problems_, problems_dropped_);
}

Drained<NetworkEntry> PageState::take_network() {
  std::lock_guard lock(mutex_);
  Drained<NetworkEntry> out = drain(network_, network_dropped_);
  for (const std::string& id : in_flight_) {
    const auto it = requests_.find(id);
    if (it == requests_.end()) continue;
    out.entries.push_back(NetworkEntry{it->second.method, it->second.url, it->second.type,
                                       it->second.status, false, std::nullopt, std::nullopt});
  }
  return out;
}

}  // namespace kavor::browser
