// The pipes under the DevTools connection: messages cut at NUL, long writes that wait for the
// pipe, and a dead reader that ends only the wire.
#include "browser/transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace kavor::browser {
namespace transport_test {
namespace {

// The test plays the browser on the far ends of two real pipes.
TEST(PipeTransport, MessagesEndAtNulLongOnesWaitForThePipeAndADeadReaderEndsOnlyTheWire) {
  int to_browser[2];
  int from_browser[2];
  ASSERT_EQ(::pipe2(to_browser, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(from_browser, O_CLOEXEC), 0);
  auto wire = std::make_unique<PipeTransport>(to_browser[1], from_browser[0]);
  std::vector<std::string> arrived;
  int closings = 0;
  wire->on_message = [&](std::string_view text) { arrived.emplace_back(text); };
  wire->on_closed = [&] { ++closings; };

  // In: two messages in one write, one in two pieces, one far larger than a pipe holds.
  const std::string shot(3 << 20, 'j');
  std::thread browser([&] {
    for (const std::string& part : {std::string("1\0"
                                                "2\0"
                                                "3",
                                                5),
                                    std::string("3\0", 2), shot + '\0'}) {
      for (std::size_t at = 0; at < part.size();)
        at += static_cast<std::size_t>(::write(from_browser[1], &part[at], part.size() - at));
    }
  });
  EXPECT_TRUE(kavor::test::wait_until([&] { return arrived.size() == 4; }));
  browser.join();
  EXPECT_EQ(std::vector<std::string>(arrived.begin(), arrived.begin() + 3),
            (std::vector<std::string>{"1", "2", "33"}));
  EXPECT_TRUE(arrived.size() == 4 && arrived[3] == shot);

  // Out: a command larger than the pipe does not block the caller; it and the next one arrive
  // whole and in order as the event loop runs.
  const std::string script(1 << 20, 's');
  ASSERT_TRUE(wire->send(script));
  ASSERT_TRUE(wire->send("next"));
  // The reader's text is the test's to read once it has ended; meanwhile only its count is.
  std::string received;
  std::atomic<std::size_t> received_bytes = 0;
  std::thread reader([&] {
    char chunk[65536];
    for (ssize_t got; received.size() < script.size() + 6 &&
                      (got = ::read(to_browser[0], chunk, sizeof chunk)) > 0;) {
      received.append(chunk, static_cast<std::size_t>(got));
      received_bytes = received.size();
    }
  });
  EXPECT_TRUE(kavor::test::wait_until([&] { return received_bytes == script.size() + 6; }));
  reader.join();
  EXPECT_TRUE(received == script + '\0' + "next" + '\0');

  // The browser's end closes: reported once, and nothing more is sent.
  ::close(from_browser[1]);
  EXPECT_TRUE(kavor::test::wait_until([&] { return closings == 1; }));
  EXPECT_FALSE(wire->send("{}"));
  wire->close();
  EXPECT_EQ(closings, 1);

  // A dead browser leaves a pipe nobody reads. Writing there raises SIGPIPE, whose default
  // action would end the agent; only the wire ends.
  int dead[2];
  ASSERT_EQ(::pipe2(dead, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(from_browser, O_CLOEXEC), 0);
  wire = std::make_unique<PipeTransport>(dead[1], from_browser[0]);
  wire->on_closed = [&] { ++closings; };
  ::close(dead[0]);
  const auto previous = ::signal(SIGPIPE, SIG_DFL);
  EXPECT_FALSE(wire->send("{}"));
  ::signal(SIGPIPE, previous);
  EXPECT_TRUE(kavor::test::wait_until([&] { return closings == 2; }));
  for (const int fd : {from_browser[1], to_browser[0]}) ::close(fd);
}

}  // namespace
}  // namespace transport_test
}  // namespace kavor::browser
