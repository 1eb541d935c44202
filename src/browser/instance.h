// One private browser: its process (leading a session and process group of its own), its
// throw-away profile folder, the DevTools connection, and the one page the tool drives with
// that page's state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <qcorotask.h>

#include "browser/connection.h"
#include "browser/page_state.h"
#include "exec/spawn.h"

namespace kavor::browser {

inline constexpr std::uint32_t kDefaultWidth = 1280;
inline constexpr std::uint32_t kDefaultHeight = 800;
// Below this width the page is shown as on a phone: touch, a mobile user agent.
inline constexpr std::uint32_t kMobileBelowWidth = 501;
// What every command to a page whose process died answers.
inline constexpr const char* kPageCrashed =
    "The page's process ended (it crashed or ran out of memory); the next browser call starts a "
    "fresh browser.";

class BrowserInstance {
 public:
  BrowserInstance(std::string program, std::unique_ptr<exec::Child> process, std::string profile);
  ~BrowserInstance();  // shuts down when that has not happened yet
  BrowserInstance(const BrowserInstance&) = delete;
  BrowserInstance& operator=(const BrowserInstance&) = delete;

  const std::string& program() const { return program_; }
  const std::string& profile() const { return profile_; }
  std::int64_t pid() const { return pid_; }
  PageState& page() { return page_; }
  const PageState& page() const { return page_; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  const std::string& session() const { return session_; }

  // A command to the browser, or to the page (with the page's session) when `for_page`. Once
  // the page's process has died, a page command fails at once with kPageCrashed, and so do
  // those still waiting: no answer would ever come.
  QCoro::Task<CdpResult> call(std::string method, common::Json params, bool for_page,
                              Interrupt* interrupt,
                              std::chrono::milliseconds limit = kCommandLimit);

  // Runtime.evaluate in the page, awaiting promises and returning values by value, as a user
  // gesture; the whole reply ({result, exceptionDetails}).
  QCoro::Task<CdpResult> evaluate(std::string expression, bool repl_mode, Interrupt* interrupt,
                                  std::chrono::milliseconds limit = kCommandLimit);

  // Sets the viewport to `width` x `height` CSS pixels with the matching emulation: touch and
  // a phone's user agent below 501 pixels, the desktop user agent otherwise.
  QCoro::Task<Result<void>> apply_viewport(std::uint32_t width, std::uint32_t height,
                                           Interrupt* interrupt);

  // The local files the page may load from now on: those inside `folders`, and `files`.
  //
  // A page shown from a file (one of the workspace, which may come from anywhere) can load any
  // other file of the disk: navigate to it, show it in a frame or an image, and so into the
  // screenshot and the text the tool reads back, with no approval asked for that file. So every
  // request of the page for a file: URL waits for the tool (the Fetch domain, file: requests
  // only) and goes on only when the file, its links followed, lies inside the chat's folders or
  // is the outside file the user let the current call open; any other fails as blocked.
  void allow_local_files(std::vector<std::filesystem::path> folders,
                         std::vector<std::filesystem::path> files);

  // Launch steps: take over the DevTools connection, then open and prepare the one page.
  void adopt(std::unique_ptr<CdpConnection> connection);
  QCoro::Task<Result<void>> prepare_page(Interrupt* interrupt);

  // The process alone, for the launch: whether it runs, and how it ended.
  bool process_running() const;
  std::string exit_text() const;
  // Whether the connection is open.
  bool connected() const;

  // Usable: the process runs, the connection is open, and the page's own process has not died
  // (a page whose renderer crashed or was killed never answers a page command again, while
  // the browser around it runs on).
  bool alive() const;
  // Why it is not alive, in the words its page commands fail with: the page's process ended,
  // or the browser's connection closed (the process ending closes it too).
  std::string end_reason() const;

  // Ends the process group and removes the profile folder on a thread of its own. The future
  // tells whether the folder is gone. Repeated calls return the same future. The ended process
  // is collected when the event loop hears of its end; at the end of the program, when no
  // event loop will, `reap_now` waits for it here (a killed process is gone within
  // milliseconds).
  std::shared_future<bool> shutdown(bool reap_now = false);

 private:
  void handle_event(const CdpEvent& event);
  void answer_file_request(const common::Json& params);

  std::string program_;
  std::unique_ptr<exec::Child> process_;
  std::int64_t pid_ = 0;
  std::string profile_;
  std::unique_ptr<CdpConnection> connection_;
  std::string target_id_;
  std::string session_;
  bool page_crashed_ = false;
  PageState page_;
  std::uint32_t width_ = kDefaultWidth;
  std::uint32_t height_ = kDefaultHeight;
  std::string desktop_user_agent_;
  std::string major_version_ = "130";
  std::optional<std::shared_future<bool>> removal_;
  std::mutex local_mutex_;
  std::vector<std::filesystem::path> local_folders_;
  std::vector<std::filesystem::path> local_files_;
};

// Waits for every browser process ended by `shutdown` that the event loop has not reaped yet;
// for the end of the program.
void reap_ended_browsers();

}  // namespace kavor::browser
