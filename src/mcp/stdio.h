// The protocol's stdio transport: messages are lines of JSON, read from one descriptor and
// written to another. Nothing else may be written to the output: diagnostics go to standard
// error.
//
// Reading happens on a thread of its own, because standard input may be a pipe, a terminal or a
// file, and only a blocking read serves all three: the thread waits in poll() on the input and
// on a wake-up pipe, splits what arrives at line feeds, and hands each line to the event loop
// (the `line` signal, queued). A line longer than kMaxMessageBytes is not kept: its bytes are
// dropped as they arrive, up to its line feed, and `oversized` is signalled in its place, so a
// client cannot make the server hold more than one limit's worth of memory. The end of input (or
// a read error) signals `closed` once; a last line without a line feed is delivered before it.
// Destroying the reader wakes and joins the thread.
//
// Writing happens on the event-loop thread: each message one write of its line, retried until
// all of it is out. A client that stops reading blocks the server, as a pipe does; a client
// that is gone makes the write fail (SIGPIPE is ignored by the program), and the server ends.
#pragma once

#include <QByteArray>
#include <QObject>

#include <cstddef>
#include <string_view>
#include <thread>

#include "mcp/protocol.h"

namespace kavor::mcp {

class LineReader : public QObject {
  Q_OBJECT
 public:
  // Reads `fd` (not owned) once start() is called.
  explicit LineReader(int fd, std::size_t limit = kMaxMessageBytes, QObject* parent = nullptr);
  ~LineReader() override;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  void start();

 signals:
  void line(QByteArray text);
  void oversized();
  void closed();

 private:
  void read_loop();

  int fd_;
  std::size_t limit_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

// Writes all of `text` to `fd`; false when the descriptor no longer takes it (the reader is
// gone).
bool write_all(int fd, std::string_view text);

}  // namespace kavor::mcp
