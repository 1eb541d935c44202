// Finding a Chrome-family browser and starting it as a private, headless DevTools target.
//
// 1. Find the program: KAVOR_AGENT_BROWSER (a file, or a name looked up on PATH), else the
//    usual program names on PATH (on Windows: the usual install folders).
// 2. Make a profile folder "kavor-agent-browser-{pid}-{counter}" in the temporary folder,
//    readable by its owner only; the browser's standard error goes to browser-errors.log in it.
// 3. Start the browser in a process group of its own, with the command line of
//    `browser_arguments`, headless, debugging on a port the system picks.
// 4. Wait for the browser to write DevToolsActivePort (port and path), polling every 100 ms for
//    up to 20 seconds, and notice a browser that exits instead.
// 5. Open the WebSocket to ws://127.0.0.1:{port}{path}, within 10 seconds.
// 6. Open one page, attach to it, enable the domains whose events feed the page state, keep
//    every link in that page (the same-tab script), read the version, set the viewport.
// Any failure shuts down whatever was started and returns the message.
//
// The DevTools endpoint only ever listens on loopback: the port is bound by the browser's
// default (127.0.0.1), nothing asks for another address, and nothing widens the origins allowed
// to connect. Anyone on this computer who can read the profile folder could connect, which is
// why the folder is its owner's alone.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <qcorotask.h>

#include "browser/instance.h"

namespace kavor::browser {

inline constexpr std::chrono::milliseconds kPortFilePoll{100};
inline constexpr std::chrono::milliseconds kPortFileLimit{20'000};
// Profile removal: the browser's last processes may still hold files for a moment after the kill.
inline constexpr int kRemovalAttempts = 20;
inline constexpr std::chrono::milliseconds kRemovalPause{250};

// Reads an environment variable; nothing when unset.
using Environment = std::function<std::optional<std::string>(const std::string& name)>;
Environment process_environment();

// The browser program, or the message for the user.
std::variant<std::string, std::string> find_browser(const Environment& env);
inline bool found(const std::variant<std::string, std::string>& r) {
  return r.index() == 0;
}

// Where Windows keeps the browsers, in the order they are tried: Chrome, Chromium, Edge, Brave,
// each under PROGRAMFILES, PROGRAMFILES(X86) and LOCALAPPDATA (those that are set).
std::vector<std::string> windows_browser_candidates(const Environment& env);

// The command line after the program, in order.
std::vector<std::string> browser_arguments(const std::string& profile, const Environment& env);

// The endpoint path from DevToolsActivePort's text: "ws://127.0.0.1:{port}{path}", or nothing
// while the file is incomplete or not what a browser writes.
std::optional<std::string> endpoint_from_port_file(const std::string& text);

// Starts a browser and prepares its page (steps 1-6); the ready browser or the message. Waits
// end when `interrupt` fires (the caller bounds the whole launch).
QCoro::Task<std::variant<std::unique_ptr<BrowserInstance>, std::string>> launch(
    Environment env, Interrupt* interrupt);

// Removes a profile folder on a thread of its own: up to 20 attempts, 250 ms apart, stopping once
// it is gone. The future tells whether it is gone.
std::shared_future<bool> remove_profile_later(std::string folder);

}  // namespace kavor::browser
