// The stdio reader over a real pipe: lines split where the client put its line feeds, whatever
// the sizes of the writes, a line past the limit dropped and reported in its place, and the end.
#include "mcp/stdio.h"

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
      ASSERT_TRUE(write_all(fds[1], piece));
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

// A reader gone mid-write: the write fails instead of ending the program.
TEST(StdioTest, WritingToAGoneReaderFails) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(write_all(fds[1], "{}\n"));
  std::signal(SIGPIPE, previous);
  ::close(fds[1]);
}

}  // namespace
}  // namespace stdio_test
}  // namespace kavor::mcp
