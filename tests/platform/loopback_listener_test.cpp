#include "platform/loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>

#include "support/other_user.h"

namespace kavor::platform {
namespace loopback_listener_test {
namespace {

// Captured on a little-endian machine with listeners on 127.0.0.1, 0.0.0.0 (twice), 127.0.0.2,
// and one connection to the first (its two ends are the ESTABLISHED lines); the uid of the
// 0.0.0.0:33143 socket was 1001.
constexpr const char* kTcp =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 0100007F:B579 00000000:0000 0A 00000000:00000001 00:00000000 00000000     0        0 "
    "55323 2 00000000448bd2a1 100 0 0 10 0\n"
    "   1: 00000000:8177 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1001        0 "
    "55324 1 0000000001fdc13b 100 0 0 10 0\n"
    "   2: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "1110 1 0000000006e4cf1c 100 0 0 10 0\n"
    "   3: 0100007F:B579 0100007F:D520 01 00000000:00000000 00:00000000 00000000     0        0 "
    "0 1 00000000eccd4355 20 0 0 10 -1\n"
    "   4: 0100007F:D520 0100007F:B579 01 00000000:00000000 00:00000000 00000000  1001        0 "
    "55333 2 00000000b24b68fe 20 0 0 10 -1\n"
    "   5: 0200007F:B579 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1001        0 "
    "55340 1 0000000001fdc13c 100 0 0 10 0\n";

// Listeners on ::ffff:127.0.0.1, ::1 and :: (IPV6_V6ONLY unknown to the table).
constexpr const char* kTcp6 =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0000000000000000FFFF00000100007F:AD05 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 55327 1 00000000f2a1192a 100 0 0 10 0\n"
    "   1: 00000000000000000000000001000000:962D 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000  1001        0 55325 1 00000000a989cfe8 100 0 0 10 0\n"
    "   2: 00000000000000000000000000000000:942B 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 55326 1 00000000770fb61d 100 0 0 10 0\n";

std::string inodes(const std::vector<Listener>& listeners) {
  std::string out;
  for (const Listener& l : listeners) {
    out += (out.empty() ? "" : " ") + std::to_string(l.inode) + "/" + std::to_string(l.uid);
  }
  return out;
}

TEST(LoopbackListener, OnlyListenersThatTakeTheTargetsConnectionsCount) {
  struct Case {
    const char* table;
    unsigned port;
    const char* host;
    const char* found;  // inode/uid of each listener that counts
  };
  const Case cases[] = {
      // The listening socket, not the accepted connection on the same port; 127.0.0.2 cannot
      // take connections to 127.0.0.1.
      {kTcp, 0xB579, "127.0.0.1", "55323/0"},
      {kTcp, 0xB579, "127.0.0.2", "55340/1001"},
      {kTcp, 0xB579, "::1", ""},
      // The IPv4 wildcard takes every IPv4 loopback address, and no IPv6 one.
      {kTcp, 0x8177, "127.0.0.1", "55324/1001"},
      {kTcp, 0x8177, "::1", ""},
      {kTcp, 0xD520, "127.0.0.1", ""},  // only a connection's end
      {kTcp6, 0xAD05, "127.0.0.1", "55327/0"},
      {kTcp6, 0xAD05, "::1", ""},
      {kTcp6, 0x962D, "localhost", "55325/1001"},
      {kTcp6, 0x962D, "127.0.0.1", ""},
      {kTcp6, 0x942B, "127.0.0.1", "55326/0"},
      {kTcp6, 0x942B, "::1", "55326/0"},
  };
  for (const Case& c : cases) {
    const bool ipv6 = c.table == kTcp6;
    EXPECT_EQ(inodes(parse_listeners(c.table, ipv6, c.port, loopback_targets(c.host))), c.found)
        << c.host << " port " << c.port << (ipv6 ? " tcp6" : " tcp");
  }
  // Lines cut short or garbled are passed over; the good line after them still counts.
  const std::string garbled = std::string("   0: 0100007F:B579 00000000:0000 0A 0000\n") +
                              "   1: 0100007G:B579 00000000:0000 0A 0 0 0 0 0 1 x\n" +
                              "   2: 0100007F:FFFFF 00000000:0000 0A 0 0 0 0 0 1 x\n\n" + kTcp;
  EXPECT_EQ(inodes(parse_listeners(garbled, false, 0xB579, loopback_targets("127.0.0.1"))),
            "55323/0");
  EXPECT_EQ(inodes(parse_listeners(kTcp, true, 0xB579, loopback_targets("127.0.0.1"))), "");
  // Names that only look like loopback are not checked at all.
  for (const char* host : {"0.0.0.0", "::", "10.0.0.1", "localhost.example.com", "[127.0.0.1]"}) {
    EXPECT_TRUE(loopback_targets(host).empty()) << host;
  }
}

// Both ways of asking the kernel must find the same sockets.
void expect_both_agree(unsigned port, const char* host) {
  const auto targets = loopback_targets(host);
  const auto asked = loopback_listeners_netlink(port, targets);
  const auto tables = loopback_listeners_tables(port, targets);
  ASSERT_TRUE(asked.has_value());
  ASSERT_TRUE(tables.has_value());
  EXPECT_EQ(inodes(*asked), inodes(*tables)) << host << ":" << port;
}

// A real listener of this user, then of another user, on a real port. Beside ours, another user
// may listen on the IPv6 wildcard with IPV6_V6ONLY: it takes ::1 but none of 127.0.0.1's
// connections, so the port stays ours there.
TEST(LoopbackListener, TheKernelNamesTheRealOwnerOfAPort) {
  const test::OtherUser other;
  // The peer's process id and port; nothing when it did not start.
  const auto start = [](const std::string& command, int& pid, unsigned& port) -> FILE* {
    FILE* peer = popen(("sh -c 'echo $$; exec " + command + " </dev/null'").c_str(), "r");
    if (peer == nullptr || std::fscanf(peer, "%d port %u", &pid, &port) == 2) return peer;
    pclose(peer);
    return nullptr;
  };
  for (const bool foreign : {false, true}) {
    if (foreign && !other.problem().empty()) GTEST_SKIP() << other.problem();
    const std::string as = foreign ? other.run_as() : "";
    int pid = 0;
    unsigned port = 0;
    FILE* peer = start(as + KAVOR_LOOPBACK_PEER + " serve 0", pid, port);
    ASSERT_TRUE(peer != nullptr);
    const PortVerdict verdict = loopback_port_owner("127.0.0.1", port);
    expect_both_agree(port, "localhost");
    if (!foreign && other.problem().empty()) {
      int wildcard = 0;
      FILE* v6 =
          start(other.run_as() + KAVOR_LOOPBACK_PEER + " listen6only " + std::to_string(port),
                wildcard, port);
      ASSERT_TRUE(v6 != nullptr);
      EXPECT_EQ(loopback_port_owner("127.0.0.1", port).owner, PortOwner::Ours);
      EXPECT_EQ(loopback_port_owner("::1", port).foreign_uid, other.uid());
      kill(wildcard, SIGTERM);
      pclose(v6);
    }
    kill(pid, SIGTERM);
    pclose(peer);
    EXPECT_EQ(verdict.owner, foreign ? PortOwner::Foreign : PortOwner::Ours);
    EXPECT_EQ(verdict.foreign_uid, foreign ? other.uid() : 0u);
    EXPECT_EQ(loopback_port_owner("127.0.0.1", port).owner, PortOwner::Nobody);
  }
}

// The kernel is asked through one socket per thread: a long run of looks opens no descriptor
// of its own, and each look still tells the port's state at that moment.
TEST(LoopbackListener, RepeatedLooksKeepOneSocketAndStayCurrent) {
  const auto open_descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  // NOLINTBEGIN: the socket API takes the generic address type.
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  // NOLINTEND
  const unsigned port = ntohs(address.sin_port);

  ASSERT_EQ(loopback_port_owner("127.0.0.1", port).owner, PortOwner::Ours);
  const auto before = open_descriptors();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(loopback_port_owner("127.0.0.1", port).owner, PortOwner::Ours) << i;
  }
  EXPECT_EQ(open_descriptors(), before);
  close(listener);
  EXPECT_EQ(loopback_port_owner("127.0.0.1", port).owner, PortOwner::Nobody);
}

}  // namespace
}  // namespace loopback_listener_test
}  // namespace kavor::platform
