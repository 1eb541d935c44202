// The agent's Host when no window exists and its events go to protocol clients instead: what
// the core announces through emit_event (a call waiting for approval, a call's live output, its
// end) is handed to every listener, and each server session picks the calls that are its own.
// Everything else behaves as the headless host: nothing to navigate, no window, no pickers.
// Used on the event-loop thread only, as every Host.
#pragma once

#include <functional>
#include <map>

#include "common/headless_host.h"

namespace kavor::mcp {

class EventRelay : public common::HeadlessHost {
 public:
  using Listener = std::function<void(const QString& name, const common::Json& payload)>;

  // Adds a listener; the number that removes it.
  int listen(Listener listener) {
    listeners_.emplace(++last_, std::move(listener));
    return last_;
  }
  void unlisten(int id) { listeners_.erase(id); }

  void emit_event(const QString& name, const common::Json& payload) override {
    // A listener may remove itself or another while it is called.
    const std::map<int, Listener> now = listeners_;
    for (const auto& [id, listener] : now) {
      if (listeners_.count(id) != 0) listener(name, payload);
    }
  }

 private:
  std::map<int, Listener> listeners_;
  int last_ = 0;
};

}  // namespace kavor::mcp
