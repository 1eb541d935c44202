// What the agent knows about its one page, kept up to date from the protocol's events: where the
// page is, whether it has loaded, the document's own status, what the console said and which
// requests ran. The tool reads it between steps and drains the logs when it reports them.
//
// Every list is bounded, so a page that logs or requests without end cannot grow the agent's
// memory: 200 console entries, 200 problems (console entries at warn, error, failed or
// exception level), 200 finished requests; the table of requests in progress is emptied when
// it passes 2000 entries and the in-flight set when it passes 500 (a page that starts requests
// it never finishes). A message repeated back to back is counted, not stored again.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/json.h"

namespace kavor::browser {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kConsoleLimit = 200;
inline constexpr std::size_t kProblemLimit = 200;
inline constexpr std::size_t kNetworkLimit = 200;
inline constexpr std::size_t kRequestTableLimit = 2000;
inline constexpr std::size_t kInFlightLimit = 500;
// URLs and dialog texts inside console entries are cut to this many characters.
inline constexpr std::size_t kLoggedUrlChars = 300;
// What is kept of one console text or request URL. The listings show far less; the bound is
// there so a page that logs (or requests data: URLs of) megabytes at a time cannot make the
// 200-entry logs hold gigabytes.
inline constexpr std::size_t kKeptTextChars = 2000;

struct ConsoleEntry {
  std::string level;  // log, info, warn, error, debug, exception or failed
  std::string text;
  unsigned count = 1;
  bool operator==(const ConsoleEntry&) const = default;
};

struct NetworkEntry {
  std::string method;
  std::string url;
  std::string type;
  std::optional<int> status;
  bool finished = false;
  std::optional<std::string> error;
  std::optional<std::uint64_t> duration_ms;
};

// A drained log: its entries, oldest first, and how many older ones the bound pushed out.
template <typename T>
struct Drained {
  std::vector<T> entries;
  std::size_t dropped = 0;
};

// A command the page state asks to send at once, without waiting for its reply.
struct Answer {
  std::string method;
  common::Json params;
};

class PageState {
 public:
  // Forgets everything; the page's main frame is `main_frame` from now on.
  void reset(std::string main_frame);

  // Applies one event of the page's session; returns the command to send without waiting when
  // the event needs an answer (an open dialog).
  std::optional<Answer> apply(const std::string& method, const common::Json& params,
                              Clock::time_point now);

  bool loaded() const;
  std::uint64_t navigation_counter() const;
  std::string url() const;
  std::optional<int> document_status() const;
  std::optional<std::string> document_error() const;
  std::size_t in_flight() const;
  std::optional<Clock::time_point> last_activity() const;

  // The logs, emptied as they are taken. The network log is followed by the requests still in
  // flight (not finished).
  Drained<ConsoleEntry> take_console();
  Drained<ConsoleEntry> take_problems();
  Drained<NetworkEntry> take_network();

 private:
  struct Request {
    std::string method;
    std::string url;
    std::string type;
    double start = 0;  // protocol timestamp, seconds
    std::optional<int> status;
  };

  void add_console(std::string level, std::string text);
  void log_finished(const std::string& id, const Request& request, double end,
                    std::optional<std::string> error);
  std::optional<Answer> on_request(const common::Json& params, Clock::time_point now);
  void on_response(const common::Json& params);
  void on_finished(const common::Json& params, Clock::time_point now, bool failed);

  mutable std::mutex mutex_;
  std::string main_frame_;
  std::string url_ = "about:blank";
  bool loaded_ = true;
  std::uint64_t navigations_ = 0;
  std::string document_request_;
  std::optional<int> document_status_;
  std::optional<std::string> document_error_;
  std::set<std::string> in_flight_;
  std::optional<Clock::time_point> last_activity_;
  std::map<std::string, Request> requests_;
  std::deque<ConsoleEntry> console_;
  std::deque<ConsoleEntry> problems_;
  std::deque<NetworkEntry> network_;
  std::size_t console_dropped_ = 0;
  std::size_t problems_dropped_ = 0;
  std::size_t network_dropped_ = 0;
};

// The console level for a protocol level or console call type.
std::string console_level(const std::string& name);

// " ({url}:{line})" with the 0-based `line` shown plus one, " ({url})" without a line, "" without
// a URL.
std::string location_suffix(const std::string& url, std::optional<std::int64_t> line);

// A remote object (from an event or an evaluation) as one line of text: a string as itself when
// `strings_bare`, else the JSON text of `value`; "undefined"; the unserializable value; the
// preview's properties in braces (brackets for arrays); the description.
std::string remote_value_text(const common::Json& remote, bool strings_bare);

// An exception of the page as one line: "Uncaught {first line of the description}" plus its
// first stack line, or the details' text with its location.
std::string exception_text(const common::Json& details);

}  // namespace kavor::browser
