// The stdio transport over real pipes: lines split where the client put its line feeds, whatever
// the sizes of the writes, a line past the limit dropped and reported in its place, and the end;
// a client that writes faster than the server works, or stops reading, holding up neither the
// event loop nor more than a bounded amount of memory.
#include "mcp/stdio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include <string>
#include <vector>

#include "support/wait.h"

namespace kavor::mcp {
namespace stdio_test {
namespace {

TEST(StdioTest, LinesAreSplitOversizedOnesDroppedAndTheEndSignalledOnce) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr std::size_t kLimit = 16;
  std::vector<std::string> got;
  int closed = 0;
  {
    LineReader reader(fds[0], kLimit);
    QObject::connect(&reader, &LineReader::line, &reader,
                     [&](const QByteArray& line) { got.push_back(line.toStdString()); });
    QObject::connect(&reader, &LineReader::oversized, &reader,
                     [&] { got.push_back("<oversized>"); });
    QObject::connect(&reader, &LineReader::closed, &reader, [&] { ++closed; });
    reader.start();
    // A line cut across writes, two in one write, one just at the limit, one past it sent in
    // pieces, then a last line without a line feed.
    for (const std::string& piece : {std::string("{\"a\""), std::string(":1}\nsecond\nthird\n"),
                                     std::string(kLimit, 'x') + "\n", std::string(10, 'y'),
                                     std::string(10, 'y'), std::string("yy\nafter\nlast")}) {
      ASSERT_EQ(::write(fds[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
      QThread::msleep(5);
    }
    ::close(fds[1]);
    ASSERT_TRUE(kavor::test::wait_until([&] { return closed == 1; }));
  }
  ::close(fds[0]);
  EXPECT_EQ(got, (std::vector<std::string>{"{\"a\":1}", "second", "third", std::string(kLimit, 'x'),
                                           "<oversized>", "after", "last"}));
  EXPECT_EQ(closed, 1);
}

TEST(StdioTest, AReaderEndsWhileItsInputStaysOpen) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  { LineReader(fds[0]).start(); }  // joins a thread blocked in poll()
  ::close(fds[0]);
  ::close(fds[1]);
}

// A client writing faster than the server handles lines (here: paused): the reader stops taking
// input once its room is full, so the client's own writes wait; every line then arrives, in
// order, once the reader is resumed.
TEST(StdioTest, AReaderTakesNoMoreInputWhileItsRoomIsFull) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  constexpr std::size_t kRoom = 64 * 1024;
  constexpr std::size_t kCap = std::size_t{64} << 20;  // where an unbounded reader is caught
  std::vector<int> got;
  bool closed = false;
  LineReader reader(fds[0], 1024, kRoom);
  QObject::connect(&reader, &LineReader::line, &reader,
                   [&](const QByteArray& line) { got.push_back(line.trimmed().toInt()); });
  QObject::connect(&reader, &LineReader::closed, &reader, [&] { closed = true; });
  reader.pause(true);
  reader.start();
  std::size_t written = 0;
  int lines = 0;
  std::string pending;
  for (int idle = 0; idle < 300 && written < kCap;) {
    if (pending.empty()) pending = std::to_string(lines++) + std::string(100, ' ') + "\n";
    const ssize_t put = ::write(fds[1], pending.data(), pending.size());
    if (put > 0) {
      written += static_cast<std::size_t>(put);
      pending.erase(0, static_cast<std::size_t>(put));
      idle = 0;
    } else {
      ++idle;
      QCoreApplication::processEvents();
      QThread::msleep(1);
    }
  }
  QCoreApplication::processEvents();
  EXPECT_TRUE(got.empty());
  // The room, one read's worth in the reader and the pipe's own buffer.
  EXPECT_LT(written, kRoom + 2 * 64 * 1024) << "the reader kept taking input";
  const int complete = lines - (pending.empty() ? 0 : 1);
  reader.pause(false);
  ASSERT_TRUE(kavor::test::wait_until(
      [&] { return got.size() >= static_cast<std::size_t>(complete); }, std::chrono::seconds(30)));
  for (int i = 0; i < complete; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], i);
  ::close(fds[1]);
  EXPECT_TRUE(kavor::test::wait_until([&] { return closed; }));
  ::close(fds[0]);
}

// A paused reader still passes a cancel at once, and the end of input, even while its room is
// full: the lines it holds then go unanswered, since the session ends.
TEST(StdioTest, APausedReaderStillPassesCancelsAndTheEndOfInput) {
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "room full" : "room free");
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    std::vector<std::string> got;
    bool closed = false;
    LineReader reader(fds[0], 1024, full ? 1024 : 64 * 1024);
    QObject::connect(&reader, &LineReader::line, &reader,
                     [&](const QByteArray& line) { got.push_back(line.left(40).toStdString()); });
    QObject::connect(&reader, &LineReader::closed, &reader, [&] { closed = true; });
    reader.pause(true);
    reader.start();
    const std::string held = "{\"id\":1,\"method\":\"ping\"}" + std::string(600, ' ') + "\n";
    const std::string cancel = R"({"method":"notifications/cancelled","params":{"requestId":1}})"
                               "\n";
    const std::string text = held + cancel + held + held + held;
    ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    if (!full) {
      EXPECT_TRUE(kavor::test::wait_until([&] { return !got.empty(); }));
      EXPECT_EQ(got, (std::vector<std::string>{cancel.substr(0, 40)}));
    }
    ::close(fds[1]);
    EXPECT_TRUE(kavor::test::wait_until([&] { return closed; }));
    EXPECT_LE(got.size(), 1u);
    ::close(fds[0]);
  }
}

// The output to a client that stops reading: writing never blocks the caller, progress past the
// room is dropped while every answer is kept in order, a flush gives up after its wait, and a
// client that goes is reported once.
TEST(StdioTest, AWriterNeverBlocksKeepsEveryAnswerAndReportsAGoneClient) {
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  constexpr std::size_t kRoom = 256 * 1024;
  int gone = 0;
  std::vector<std::string> pressure;
  {
    LineWriter writer(fds[1], kRoom);
    QObject::connect(&writer, &LineWriter::gone, &writer, [&] { ++gone; });
    QObject::connect(&writer, &LineWriter::over, &writer, [&] { pressure.push_back("over"); });
    QObject::connect(&writer, &LineWriter::drained, &writer,
                     [&] { pressure.push_back("drained"); });
    const std::string answer = "{\"id\":1}" + std::string(1 << 20, ' ') + "\n";
    writer.write(answer, false);  // more than the pipe takes, nobody reads
    for (int i = 0; i < 64; ++i) writer.write(std::string(16 * 1024, 'p') + "\n", true);
    writer.write("{\"id\":2}\n", false);
    EXPECT_GT(writer.dropped(), 40u);
    EXPECT_FALSE(writer.flush(std::chrono::milliseconds(50)));

    std::string out;
    char buffer[65536];
    while (out.size() < answer.size() || out.back() != '\n' || out.find("{\"id\":2}") == out.npos) {
      const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
      ASSERT_GT(got, 0);
      out.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_TRUE(writer.flush(std::chrono::seconds(10)));
    EXPECT_TRUE(kavor::test::wait_until([&] { return pressure.size() == 2; }));
    EXPECT_EQ(pressure, (std::vector<std::string>{"over", "drained"}));
    EXPECT_EQ(out.substr(0, answer.size()), answer);
    EXPECT_EQ(out.substr(out.size() - 9), "{\"id\":2}\n");
    EXPECT_LE(out.size(), answer.size() + kRoom + 16);

    ::close(fds[0]);
    writer.write("{\"id\":3}\n", false);
    EXPECT_TRUE(kavor::test::wait_until([&] { return gone == 1; }));
    writer.write("{\"id\":4}\n", false);
  }
  EXPECT_EQ(gone, 1);
  ::close(fds[1]);
  std::signal(SIGPIPE, previous);
}

// A writer whose client never reads ends at once, its queue unwritten.
TEST(StdioTest, AWriterEndsWhileItsClientReadsNothing) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    LineWriter writer(fds[1]);
    writer.write(std::string(1 << 20, 'x') + "\n", false);
  }  // joins a thread waiting for the pipe to take more
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace stdio_test
}  // namespace kavor::mcp
