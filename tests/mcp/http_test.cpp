// The HTTP transport's doors: who is refused before any message is read, the addresses it
// agrees to listen on, the owner of a connection's other end, and the exchange's own refusals
// on a real listener.
#include "mcp/http.h"

#include <gtest/gtest.h>
#include <QTcpSocket>

#include "platform/loopback_listener.h"
#include "session.h"
#include "support/temp_tree.h"
#include "tools/command_tools.h"
#include "tools/file_tools.h"

namespace kavor::mcp {
namespace http_test {
namespace {

constexpr unsigned kPort = 4711;
const std::string kSecret(64, 'a');

HttpRequest with(std::vector<std::pair<std::string, std::string>> headers) {
  HttpRequest request{"POST", "/mcp", {}, "{}"};
  for (auto& [name, value] : headers) request.headers.emplace(name, value);
  return request;
}

TEST(HttpTest, StrangersAreRefusedBeforeAnyMessageIsRead) {
  const std::pair<std::string, std::string> host{"host", "127.0.0.1:4711"};
  const std::pair<std::string, std::string> bearer{"authorization", "Bearer " + kSecret};
  struct Case {
    const char* why;
    HttpRequest request;
    int status;  // 0: let in
  };
  const std::vector<Case> cases = {
      {"a rebinding site's name", with({{"host", "attacker.example:4711"}, bearer}), 403},
      {"a loopback name on another port", with({{"host", "127.0.0.1:4712"}, bearer}), 403},
      {"no port", with({{"host", "localhost"}, bearer}), 403},
      {"two Host headers", with({host, {"host", "attacker.example"}, bearer}), 403},
      {"no Host", with({bearer}), 403},
      {"a web page's Origin", with({host, {"origin", "https://attacker.example"}, bearer}), 403},
      {"a sandboxed page's Origin", with({host, {"origin", "null"}, bearer}), 403},
      {"a loopback page on another port", with({host, {"origin", "http://127.0.0.1:8080"}, bearer}),
       403},
      {"no secret", with({host}), 401},
      {"a secret one character short",
       with({host, {"authorization", "Bearer " + kSecret.substr(1)}}), 401},
      {"the same length, other bytes",
       with({host, {"authorization", "Bearer " + std::string(64, 'b')}}), 401},
      {"another scheme", with({host, {"authorization", "Basic " + kSecret}}), 401},
      {"two Authorization headers", with({host, bearer, bearer}), 401},
      {"the right client", with({host, bearer}), 0},
      {"the right client, named localhost", with({{"host", "LOCALHOST:4711"}, bearer}), 0},
      {"its own origin", with({host, {"origin", "http://127.0.0.1:4711"}, bearer}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::optional<HttpRefusal> refusal = refuse_stranger(c.request, kPort, kSecret);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status);
  }
  // A server without a secret lets nobody in.
  EXPECT_EQ(refuse_stranger(with({host, {"authorization", "Bearer "}}), kPort, "")->status, 401);
}

TEST(HttpTest, OnlyLoopbackAddressesAreServed) {
  struct Case {
    std::string text;
    std::string host;  // "" when refused
    unsigned port;
  };
  const Case cases[] = {{"127.0.0.1:8765", "127.0.0.1", 8765},
                        {"localhost:0", "localhost", 0},
                        {"[::1]:9", "::1", 9},
                        {"0.0.0.0:8765", "", 0},
                        {"192.168.1.2:8765", "", 0},
                        {"[::]:8765", "", 0},
                        {"127.0.0.1", "", 0},
                        {"127.0.0.1:65536", "", 0},
                        {"127.0.0.1:-1", "", 0},
                        {"127.0.0.1:", "", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = parse_http_address(c.text);
    EXPECT_EQ(parsed.ok(), !c.host.empty());
    if (parsed.ok()) {
      EXPECT_EQ(parsed.value(), std::make_pair(c.host, c.port));
    }
  }
}

TEST(HttpTest, TheOwnerOfAConnectionsOtherEndIsItsEstablishedSocketsUser) {
  // Our listener on 0x1267 (4711); a client of user 1001 on port 0xC350 (50000); the listener's
  // own accepted socket (user 0), and a socket of another connection to another port.
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
      "inode\n"
      "   0: 0100007F:1267 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
      "1\n"
      "   1: 0100007F:1267 0100007F:C350 01 00000000:00000000 00:00000000 00000000     0        0 "
      "2\n"
      "   2: 0100007F:C350 0100007F:1267 01 00000000:00000000 00:00000000 00000000  1001        0 "
      "3\n"
      "   3: 0100007F:C351 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1002        0 "
      "4\n";
  const platform::Address local = platform::loopback_targets("127.0.0.1").front();
  EXPECT_EQ(platform::parse_connection_owner(table, false, local, 50000, 4711), 1001u);
  EXPECT_EQ(platform::parse_connection_owner(table, false, local, 50001, 4711), std::nullopt);
  EXPECT_EQ(platform::parse_connection_owner(table, false, local, 50000, 8080), std::nullopt);
}

// One request on its own connection; the whole answer.
std::string exchange(unsigned port, const std::string& request) {
  QTcpSocket socket;
  socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
  kavor::test::wait_until([&] { return socket.state() == QAbstractSocket::ConnectedState; });
  socket.write(QByteArray::fromStdString(request));
  std::string out;
  kavor::test::wait_until([&] {
    out += socket.readAll().toStdString();
    return socket.state() == QAbstractSocket::UnconnectedState;
  });
  return out + socket.readAll().toStdString();
}

TEST(HttpTest, TheExchangeRefusesWhatIsNotPartOfASession) {
  tools::ToolTable table;
  tools::install_file_tools(table);
  const std::vector<tools::ToolShape> shapes = tools::core_tool_shapes();
  tools::Approvals approvals;
  tools::RunningChats running;
  EventRelay relay;
  QThreadPool pool;
  test::SilentNotifications notes;
  HttpTransport http(
      [&](Server::Send send) {
        return std::make_unique<Server>(
            ServerContext{table, shapes, approvals, running, relay, notes, pool, {}},
            ServerOptions{}, std::move(send));
      },
      kSecret);
  ASSERT_TRUE(http.listen("127.0.0.1", 0).ok());
  const std::string head = "Host: 127.0.0.1:" + std::to_string(http.port()) +
                           "\r\nAuthorization: Bearer " + kSecret + "\r\n";
  const auto post = [&](const std::string& headers, const std::string& body) {
    return exchange(http.port(), "POST /mcp HTTP/1.1\r\n" + head + headers + "Content-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body);
  };
  const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
  struct Case {
    const char* why;
    std::string answer;
    const char* starts;
  };
  const Case cases[] = {
      {"no session", post("", ping), "HTTP/1.1 400"},
      {"a session nobody made", post("Mcp-Session-Id: 1234\r\n", ping), "HTTP/1.1 404"},
      {"not JSON", post("", "{"), "HTTP/1.1 400"},
      {"a revision not spoken", post("MCP-Protocol-Version: 1999-01-01\r\n", ping), "HTTP/1.1 400"},
      {"a body past the limit",
       exchange(http.port(),
                "POST /mcp HTTP/1.1\r\n" + head + "Content-Length: 99999999999\r\n\r\n"),
       "HTTP/1.1 413"},
      {"a chunked body",
       exchange(http.port(),
                "POST /mcp HTTP/1.1\r\n" + head + "Transfer-Encoding: chunked\r\n\r\n"),
       "HTTP/1.1 411"},
      {"another path", exchange(http.port(), "GET /other HTTP/1.1\r\n" + head + "\r\n"),
       "HTTP/1.1 404"},
      {"another method", exchange(http.port(), "PUT /mcp HTTP/1.1\r\n" + head + "\r\n"),
       "HTTP/1.1 405"},
      {"a stranger announcing a body it never sends (refused on its headers)",
       exchange(http.port(),
                "POST /mcp HTTP/1.1\r\nHost: attacker.example:" + std::to_string(http.port()) +
                    "\r\nContent-Length: 30000000\r\n\r\n"),
       "HTTP/1.1 403"},
      {"nested past the limit",
       post("", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"a":)" +
                    std::string(12'000, '[') + std::string(12'000, ']') + "}}"),
       "HTTP/1.1 400"},
      {"an object past the member limit",
       post("",
            [] {
              std::string body = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{)";
              for (int i = 0; i <= 4096; ++i) body += "\"k" + std::to_string(i) + "\":0,";
              body.back() = '}';
              return body + "}";
            }()),
       "HTTP/1.1 400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.answer.rfind(c.starts, 0), 0u) << c.answer;
  }
  EXPECT_NE(cases[2].answer.find("The message is not valid JSON."), std::string::npos);
  EXPECT_NE(cases[10].answer.find("The message has an object of more than 4096 members and was "
                                  "dropped."),
            std::string::npos);
  EXPECT_NE(cases[4].answer.find("limit of 32 MiB"), std::string::npos);
  EXPECT_NE(cases[9].answer.find("nests deeper than 128 levels"), std::string::npos);

  // A session: made by initialize, named in every later request, ended by DELETE.
  const std::string init = post(
      "",
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
  const std::size_t at = init.find("Mcp-Session-Id: ");
  ASSERT_NE(at, std::string::npos) << init;
  const std::string session = init.substr(at + 16, 32);
  EXPECT_NE(init.find(R"("protocolVersion":"2025-06-18")"), std::string::npos);
  const std::string named = "Mcp-Session-Id: " + session + "\r\n";

  // An initialize that fails keeps no session: more of them than sessions may be open leave
  // room for the next good one.
  for (std::size_t i = 0; i <= kMaxSessions; ++i) {
    const std::string refused = post("", R"({"jsonrpc":"2.0","id":1,"method":"initialize"})");
    ASSERT_NE(refused.find(R"("code":-32602)"), std::string::npos) << refused;
  }
  const std::string second = post("", R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":)"
                                      R"({"protocolVersion":"2025-06-18"}})");
  ASSERT_EQ(second.rfind("HTTP/1.1 200", 0), 0u) << second;
  EXPECT_NE(post(named, ping).find(R"(data: {"jsonrpc":"2.0","id":1,"result":{}})"),
            std::string::npos);
  EXPECT_EQ(post(named, R"({"jsonrpc":"2.0","method":"notifications/initialized"})")
                .rfind("HTTP/1.1 202", 0),
            0u);
  EXPECT_EQ(exchange(http.port(), "DELETE /mcp HTTP/1.1\r\n" + head + named + "\r\n")
                .rfind("HTTP/1.1 200", 0),
            0u);

  EXPECT_EQ(post(named, ping).rfind("HTTP/1.1 404", 0), 0u);
}

// A call's stream stays open while it runs: a second request under its id is refused rather
// than crossed with it, and ending the session ends the stream and the call.
TEST(HttpTest, ARunningCallsIdIsItsOwnAndEndingTheSessionEndsItsStream) {
  kavor::test::TempTree tree;
  tools::ToolTable table;
  tools::install_command_tools(table);
  const std::vector<tools::ToolShape> shapes = tools::core_tool_shapes();
  tools::Approvals approvals;
  approvals.set_mode(kChat, tools::Mode::Everything);
  tools::RunningChats running;
  EventRelay relay;
  QThreadPool pool;
  test::SilentNotifications notes;
  {
    HttpTransport http(
        [&](Server::Send send) {
          return std::make_unique<Server>(
              ServerContext{table, shapes, approvals, running, relay, notes, pool, {}},
              ServerOptions{{tree.path()}, tools::Mode::Everything}, std::move(send));
        },
        kSecret);
    ASSERT_TRUE(http.listen("127.0.0.1", 0).ok());
    const std::string head =
        "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(http.port()) +
        "\r\nAuthorization: Bearer " + kSecret + "\r\n";
    const auto with_body = [&](const std::string& headers, const std::string& body) {
      return head + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string init = exchange(
        http.port(), with_body("", R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":)"
                                   R"({"protocolVersion":"2025-11-25"}})"));
    const std::size_t at = init.find("Mcp-Session-Id: ");
    ASSERT_NE(at, std::string::npos) << init;
    const std::string named = "Mcp-Session-Id: " + init.substr(at + 16, 32) + "\r\n";
    const std::string call =
        R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"shell",)"
        R"("arguments":{"command":"touch started; sleep 30; echo late"}}})";

    QTcpSocket stream;
    stream.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(http.port()));
    ASSERT_TRUE(
        kavor::test::wait_until([&] { return stream.state() == QAbstractSocket::ConnectedState; }));
    stream.write(QByteArray::fromStdString(with_body(named, call)));
    std::string streamed;
    ASSERT_TRUE(kavor::test::wait_until([&] {
      streamed += stream.readAll().toStdString();
      return streamed.find("text/event-stream") != std::string::npos &&
             std::filesystem::exists(tree.path() + "/started");
    }));

    const std::string twice = exchange(http.port(), with_body(named, call));
    EXPECT_EQ(twice.rfind("HTTP/1.1 400", 0), 0u) << twice;
    EXPECT_NE(twice.find("still running in this session"), std::string::npos) << twice;

    EXPECT_EQ(exchange(http.port(),
                       "DELETE /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(http.port()) +
                           "\r\nAuthorization: Bearer " + kSecret + "\r\n" + named + "\r\n")
                  .rfind("HTTP/1.1 200", 0),
              0u);
    EXPECT_TRUE(kavor::test::wait_until(
        [&] { return stream.state() == QAbstractSocket::UnconnectedState; }));
    streamed += stream.readAll().toStdString();
    EXPECT_EQ(streamed.find("late"), std::string::npos);
    // The stopped call ends before what it uses goes.
    EXPECT_TRUE(kavor::test::wait_until([&] { return running.size() == 0; }));
  }
  pool.waitForDone();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace http_test
}  // namespace kavor::mcp
