#include "platform/loopback_listener.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/other_user.h"

namespace kavor::platform {
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
      {kTcp, 0xB579, "localhost", "55323/0"},
      {kTcp, 0xB579, "::1", ""},
      // The IPv4 wildcard takes every IPv4 loopback address, and no IPv6 one.
      {kTcp, 0x8177, "127.0.0.1", "55324/1001"},
      {kTcp, 0x8177, "127.9.9.9", "55324/1001"},
      {kTcp, 0x8177, "::1", ""},
      {kTcp, 0xD520, "127.0.0.1", ""},  // only a connection's end
      {kTcp, 0x1234, "127.0.0.1", ""},
      {kTcp6, 0xAD05, "127.0.0.1", "55327/0"},
      {kTcp6, 0xAD05, "::1", ""},
      {kTcp6, 0x962D, "[::1]", "55325/1001"},
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
                              "   2: 0100007F:FFFFF 00000000:0000 0A 0 0 0 0 0 1 x\n" +
                              "   3: 0100007F 00000000:0000 0A 0 0 0 0 0 1 x\n" + "\n\n" + kTcp;
  EXPECT_EQ(inodes(parse_listeners(garbled, false, 0xB579, loopback_targets("127.0.0.1"))),
            "55323/0");
  EXPECT_EQ(inodes(parse_listeners(kTcp, true, 0xB579, loopback_targets("127.0.0.1"))), "");
}

TEST(LoopbackListener, OnlyLoopbackHostsCanBeChecked) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "[::1]", "::ffff:127.0.0.1"}) {
    EXPECT_EQ(loopback_targets(host).size(), 1u) << host;
  }
  EXPECT_EQ(loopback_targets("localhost").size(), 2u);
  for (const char* host : {"", "0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "::2", "example.com",
                           "localhost.example.com", "127.0.0.1.nip.io", "[127.0.0.1]"}) {
    EXPECT_TRUE(loopback_targets(host).empty()) << host;
  }
  EXPECT_EQ(loopback_port_owner("example.com", 80).owner, PortOwner::Unknown);
}

TEST(LoopbackListener, ThePortIsOursOnlyWhenEveryListenerThatCountsIsOurs) {
  const auto judge = [](std::vector<unsigned> uids) {
    std::vector<Listener> listeners;
    for (unsigned uid : uids) listeners.push_back(Listener{{}, 80, uid, 1});
    return judge_listeners(listeners, 1000);
  };
  EXPECT_EQ(judge({1000}).owner, PortOwner::Ours);
  EXPECT_EQ(judge({1000, 1000}).owner, PortOwner::Ours);
  EXPECT_EQ(judge({}).owner, PortOwner::Nobody);
  const PortVerdict beside = judge({1000, 0});
  EXPECT_EQ(beside.owner, PortOwner::Foreign);
  EXPECT_EQ(beside.foreign_uid, 0u);
  EXPECT_EQ(judge({1001}).foreign_uid, 1001u);
  EXPECT_EQ(judge_listeners(std::nullopt, 1000).owner, PortOwner::Unknown);
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

// A real socket of this process, or of another user's process, on a real port.
TEST(LoopbackListener, TheKernelNamesTheRealOwnerOfAPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  // NOLINTNEXTLINE: the socket API takes the generic address type.
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  ASSERT_EQ(bind(fd, generic, length), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  ASSERT_EQ(getsockname(fd, generic, &length), 0);
  const unsigned port = ntohs(address.sin_port);
  EXPECT_EQ(loopback_port_owner("127.0.0.1", port).owner, PortOwner::Ours);
  EXPECT_EQ(loopback_port_owner("localhost", port).owner, PortOwner::Ours);
  expect_both_agree(port, "localhost");
  close(fd);
  EXPECT_EQ(loopback_port_owner("127.0.0.1", port).owner, PortOwner::Nobody);
  expect_both_agree(port, "127.0.0.1");

  const test::OtherUser other;
  if (!other.problem().empty()) GTEST_SKIP() << other.problem();
  FILE* peer = popen(
      ("sh -c 'echo $$; exec " + other.run_as() + KAVOR_LOOPBACK_PEER + " serve 0 </dev/null'")
          .c_str(),
      "r");
  ASSERT_NE(peer, nullptr);
  int pid = 0;
  unsigned foreign_port = 0;
  ASSERT_EQ(std::fscanf(peer, "%d port %u", &pid, &foreign_port), 2);
  const PortVerdict verdict = loopback_port_owner("127.0.0.1", foreign_port);
  expect_both_agree(foreign_port, "127.0.0.1");
  kill(pid, SIGTERM);
  pclose(peer);
  EXPECT_EQ(verdict.owner, PortOwner::Foreign);
  EXPECT_EQ(verdict.foreign_uid, other.uid());
}

}  // namespace
}  // namespace kavor::platform
