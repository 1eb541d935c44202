// The protocol's stdio transport: messages are lines of JSON, read from one descriptor and
// written to another. Nothing else may be written to the output: diagnostics go to standard
// error. Neither direction ever holds up the event loop, and neither lets the client make the
// server hold more than a bounded amount of memory.
//
// Reading happens on a thread of its own, because standard input may be a pipe, a terminal or a
// file, and only a blocking read serves all three: the thread waits in poll() on the input and
// on a wake-up pipe, splits what arrives at line feeds, and hands each line to the event loop,
// where `line` is emitted. A line longer than kMaxMessageBytes is not kept: its bytes are
// dropped as they arrive, up to its line feed, and `oversized` is emitted in its place. While
// kMaxQueuedInput bytes of lines are handed over and not yet handled, the thread reads nothing
// more, so a client writing faster than the server works is held back by its own pipe; pause()
// holds the handing over too (the server pauses while its answers wait for a client that does
// not read them). Two things still pass a full or paused reader: a cancel that was read, and the
// end of input (the lines held then go unanswered, since the session ends). The end of input (or a
// read error) emits `closed` once, after every line; a last line without a line feed is delivered
// before it. Destroying the reader wakes and joins the thread.
//
// Writing happens on a thread of its own too, so that a client that stops reading holds up
// nothing but that thread: a signal, a cancel or the end of input is still handled at once. The
// event loop queues each line; the thread writes them in order, waiting on the output and on a
// wake-up pipe, never inside a write that could block (a pipe is written through a non-blocking
// description of its own, a socket with MSG_DONTWAIT, a file whole, anything else (a terminal) a
// pipe's atomic size at a time once it is writable). Past kMaxQueuedOutput bytes waiting, lines
// that may be lost (live progress, which a client that has stopped reading would only read late)
// are dropped; answers and the server's own requests are always kept; past the room they emit
// `over` (the server then pauses its reader, so that a client that sends requests without reading
// the answers is held back), and `drained` once half the room is free again. A client that is gone
// makes a write fail (SIGPIPE is ignored by the program) and `gone` is emitted.
#pragma once

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "mcp/protocol.h"

namespace kavor::mcp {

// Lines read but not yet handled by the event loop: one largest message beside the one being
// read, so that the server holds at most about two limits' worth of a client's input.
inline constexpr std::size_t kMaxQueuedInput = kMaxMessageBytes;

// Output waiting for a client that reads slowly, past which live progress is dropped.
inline constexpr std::size_t kMaxQueuedOutput = std::size_t{16} << 20;

class LineReader : public QObject {
  Q_OBJECT
 public:
  // Reads `fd` (not owned) once start() is called.
  explicit LineReader(int fd, std::size_t limit = kMaxMessageBytes,
                      std::size_t room = kMaxQueuedInput, QObject* parent = nullptr);
  ~LineReader() override;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  void start();
  // Holds back (true) or resumes (false) the lines read; on the event loop's thread.
  void pause(bool paused);

 signals:
  void line(QByteArray text);
  void oversized();
  void closed();

 private:
  enum class Kind { Line, Oversized, Closed };
  struct Item {
    Kind kind;
    QByteArray text;
    bool passes = false;  // passes a pause: the end of input, or a cancel (judged once, as read)
  };
  void read_loop();
  // Waits for room, then queues `item` for the event loop; false when the reader is being
  // destroyed.
  bool hand_over(Item item);
  // After a hand-over gave up because the input was closed: the end goes out at once.
  void hang_up();
  // On the event loop: emits what is queued, unless paused.
  void deliver();

  int fd_;
  std::size_t limit_;
  std::size_t room_;
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable freed_;
  std::deque<Item> items_;
  std::size_t queued_ = 0;   // bytes of items_, with each one's overhead
  std::size_t passing_ = 0;  // items_ that pass a pause
  bool posted_ = false;      // a deliver() is on its way to the event loop
  bool paused_ = false;
  bool hung_up_ = false;  // the input closed while a line waited for room
  bool stopping_ = false;
  std::thread thread_;
};

class LineWriter : public QObject {
  Q_OBJECT
 public:
  // Writes to `fd` (not owned).
  explicit LineWriter(int fd, std::size_t room = kMaxQueuedOutput, QObject* parent = nullptr);
  // Stops at once: what is still queued is not written.
  ~LineWriter() override;
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Queues one line (its line feed included); a `droppable` one is dropped instead while more
  // than the room is waiting. Never blocks.
  void write(std::string text, bool droppable);
  // Waits at most `wait` until everything queued is written (or cannot be); true when it was.
  bool flush(std::chrono::milliseconds wait);
  // Droppable lines dropped so far.
  std::size_t dropped() const;
  // More than the room waits to be written, until half of it is free again.
  bool backed_up() const;

 signals:
  // More than the room waits to be written; then half the room is free again. On the event loop.
  void over();
  void drained();
  // The output no longer takes anything: the client is gone. Emitted once, on the event loop.
  void gone();

 private:
  void write_loop();
  bool write_out(std::string_view text);

  int fd_;
  int own_fd_ = -1;  // a non-blocking description of the same pipe, when fd_ is one
  bool socket_ = false;
  bool regular_ = false;
  std::size_t room_;
  int wake_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;
  std::size_t queued_ = 0;  // bytes in queue_ and in the write under way
  std::size_t dropped_ = 0;
  bool over_ = false;
  bool failed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kavor::mcp
