// Finding a Chrome-family browser and starting it as a private, headless DevTools target.
//
// 1. Find the program: KAVOR_AGENT_BROWSER (a file, or a name looked up on PATH), else the
//    usual program names on PATH (on Windows: the usual install folders).
// 2. Make a profile folder "kavor-agent-browser-{pid}-{counter}-{random}" in the temporary
//    folder, readable by its owner only (profile.h); the browser's standard error goes to
//    browser-errors.log in it.
// 3. Start the browser (exec/spawn.h) in a session of its own, killed by the kernel if the
//    agent dies, with the command line of `browser_arguments`: headless, DevTools over the pipe
//    pair handed to it at descriptors 3 and 4, standard input and output empty, no page of its
//    own (step 5 opens the one the tool drives) and none of its background work (updates,
//    experiments, sync). It gets no other descriptor of the agent's.
// 4. Refuse downloads, the browser's first command: its answer, within 20 seconds, says the
//    browser is up. A browser that exits instead is told apart by its log and exit status.
// 5. Open one page, attach to it, enable the domains whose events feed the page state, keep
//    every link in that page (the same-tab script), read the version, set the viewport.
// Any failure shuts down whatever was started and returns the message.
//
// What this defeats:
// - Another user of the computer driving the browser. Nothing listens: no port, no socket
//   file; the pipes are known only to the agent and the browser.
// - A page writing files. Any page the tool opens could otherwise save an attachment into the
//   user's Downloads folder (a file named to be run at the next login, say), whatever the
//   chat's approval mode; downloads are refused before the first page opens.
// - A browser outliving the agent. Closing ends the browser's session; an agent that is killed
//   or crashes runs no code at all, so the kernel ends the browser (the parent-death signal),
//   and the browser also ends by itself when its pipe closes.
// - The browser holding what belongs to the agent: a listening socket of another library, say,
//   inherited without close-on-exec, would stay open as long as the browser runs.
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
#include "platform/result.h"

namespace kavor::browser {

// From the start until the browser answers its first command.
inline constexpr std::chrono::milliseconds kStartLimit{20'000};
// A browser that closed its pipe without answering is looked at this long to see it end, for
// the message that says why (its log, its exit status). Real time: it waits on the process.
inline constexpr std::chrono::milliseconds kEndGrace{2'000};

// Reads an environment variable; nothing when unset.
using Environment = std::function<std::optional<std::string>(const std::string& name)>;
Environment process_environment();

// The browser program, or the message for the user.
Result<std::string> find_browser(const Environment& env);

// Where Windows keeps the browsers, in the order they are tried: Chrome, Chromium, Edge, Brave,
// each under PROGRAMFILES, PROGRAMFILES(X86) and LOCALAPPDATA (those that are set).
std::vector<std::string> windows_browser_candidates(const Environment& env);

// The command line after the program, in order.
std::vector<std::string> browser_arguments(const std::string& profile, const Environment& env);

// Starts a browser and prepares its page (steps 1-5); the ready browser or the message. Waits
// end when `interrupt` fires (the caller bounds the whole launch). A browser that has not
// answered its first command after `start_limit` of real time did not start.
QCoro::Task<Result<std::unique_ptr<BrowserInstance>>> launch(
    Environment env, Interrupt* interrupt, std::chrono::milliseconds start_limit = kStartLimit);

// The two halves of `launch`, for an owner that must hold the browser while it starts (to end
// it with everything else, whether or not the wait for its answer ever resumes):
// steps 1-3, the started browser with its connection, or the message; then steps 4-5, success
// once it is ready, or the message (the browser is then shut down).
Result<std::unique_ptr<BrowserInstance>> start_browser(const Environment& env);
QCoro::Task<Result<void>> prepare_browser(BrowserInstance& browser, Interrupt* interrupt,
                                          std::chrono::milliseconds start_limit = kStartLimit);

}  // namespace kavor::browser
