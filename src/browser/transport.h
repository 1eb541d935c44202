// The wire under the DevTools connection: a pair of pipes to the browser, which reads commands
// from its descriptor 3 and writes replies and events to its descriptor 4, each message a JSON
// text ended by a NUL byte. The connection above sees only "send this text", "a text arrived"
// and "the wire is gone"; nothing above it touches the pipes.
//
// Why pipes and not the browser's debugging port: a port is a listener that any local user can
// connect to, with no password, and through it drive the browser to read any file its user
// can read. A pipe has no address; only the agent holds its ends.
//
// Reading. The read end is watched on the event-loop thread; whatever has arrived is read at
// once, split at each NUL, and every whole message goes to `on_message` in order. A message
// still incomplete waits in the buffer for the rest.
//
// Writing. A message goes out at once as far as the pipe takes it; the rest (a pipe holds
// 64 KiB, a command may be longer) waits in a queue that is written as the pipe drains, so the
// event loop never blocks on a browser that is slow to read.
//
// The end. End of file, a read or write error, a message beyond the size limit, or `close`:
// both pipes are closed and `on_closed` runs once. A browser that died cannot take the agent
// with it: writing to its pipe reports an error, never the signal that would end the program.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QSocketNotifier;

namespace kavor::browser {

// Screenshots arrive as one large base64 text message; anything bigger than this is not a
// reply we could use, and the wire is closed rather than buffering without end.
inline constexpr std::size_t kMaxMessageBytes = std::size_t{256} << 20;

class Transport {
 public:
  virtual ~Transport() = default;
  // Queues one text message; false when the wire is already gone.
  virtual bool send(const std::string& text) = 0;
  virtual void close() = 0;

  // Set by the connection before any message can arrive. Called on the event-loop thread.
  std::function<void(std::string_view text)> on_message;
  std::function<void()> on_closed;  // once, when the wire ends for any reason
};

class PipeTransport : public Transport {
 public:
  // Takes both descriptors: `to_browser` is written (the browser's 3), `from_browser` is read
  // (the browser's 4). Both are made non-blocking.
  PipeTransport(int to_browser, int from_browser);
  ~PipeTransport() override;

  bool send(const std::string& text) override;
  void close() override;

 private:
  void read_available();
  // Writes what the pipe takes now; false when the browser's end is gone.
  bool write_queued();
  // Closes both pipes; `report` runs on_closed (once over the transport's life).
  void end(bool report);

  int to_browser_;
  int from_browser_;
  std::unique_ptr<QSocketNotifier> readable_;
  std::unique_ptr<QSocketNotifier> writable_;
  std::string inbox_;        // bytes of messages not yet whole
  std::size_t scanned_ = 0;  // inbox_ holds no NUL before this
  std::deque<std::string> outbox_;
  std::size_t written_ = 0;  // of outbox_.front()
  bool closed_ = false;
  bool reported_ = false;
  bool reading_ = false;  // handing out messages that point into inbox_
  // A callback may drop the transport; what runs after one looks here first.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kavor::browser
