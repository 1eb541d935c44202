// Who answers a loopback port. Any user of a machine may listen on any unprivileged port of
// 127.0.0.1, so a plain-http address on loopback says nothing about who serves it: whoever binds
// the port first does. The kernel knows the owner. Every line of /proc/net/tcp and
// /proc/net/tcp6 describes one socket of this network namespace:
//
//   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode
//    0: 0100007F:B879 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 55323
//    …
//
// The local address is the in-memory address as hexadecimal 32-bit words in the machine's byte
// order (127.0.0.1 reads 0100007F on a little-endian machine; tcp6 has four such words), the port
// is plain hexadecimal, state 0A is LISTEN, and `uid` is the socket's owner: the effective user
// of the process that made it, whichever process holds it now.
//
// A connection to a loopback address A on port P reaches a LISTEN socket on P bound to A itself,
// to the wildcard of A's family (0.0.0.0 or ::), or, for an IPv4 A, to :: (dual-stack) or to A
// written as an IPv4-mapped IPv6 address. A :: socket with IPV6_V6ONLY takes no IPv4
// connections, and may be bound by anyone beside a listener on 127.0.0.1; the
// socket-diagnostics interface tells such a socket apart, the tables do not (there it counts).
// Every such socket counts, and the port is only "ours" when there is at least one and all of
// them belong to us: Linux picks the most specific binding, and a foreign wildcard beside our
// own socket is refused rather than reasoned about.
// Sockets on other loopback addresses (127.0.0.2 when A is 127.0.0.1) cannot take A's
// connections and are ignored, so another user cannot make our own service look foreign.
//
// The same facts come faster from the kernel's socket-diagnostics interface, which walks only
// the listening sockets; the tables are read when that interface is not available. Cost: one
// netlink round trip per address family, tens of microseconds; reading the tables instead takes
// milliseconds whatever they hold, as the kernel walks its whole connection hash to print them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavor::platform {

// An IPv4 address is kept as its IPv4-mapped IPv6 form (::ffff:a.b.c.d).
using Address = std::array<std::uint8_t, 16>;

struct Listener {
  Address address{};
  unsigned port = 0;
  unsigned uid = 0;
  std::uint64_t inode = 0;
};

// The loopback addresses a client may connect to for `host` as a URL parser gives it ("127.0.0.1",
// "::1", "localhost" for both 127.0.0.1 and ::1); empty when the host is not loopback.
std::vector<Address> loopback_targets(std::string_view host);

// The LISTEN sockets on `port` in the text of /proc/net/tcp (`ipv6` false) or /proc/net/tcp6
// that take connections to one of `targets`. Lines that do not parse are passed over.
std::vector<Listener> parse_listeners(std::string_view table, bool ipv6, unsigned port,
                                      const std::vector<Address>& targets);

// The same listeners from the kernel's socket-diagnostics interface (what `ss -l` asks): only
// listening sockets are walked, which costs microseconds, where a read of the tables walks
// every connection slot of the machine (milliseconds, each). Nothing when it cannot be asked.
std::optional<std::vector<Listener>> loopback_listeners_netlink(
    unsigned port, const std::vector<Address>& targets);

// Both tables of this machine read and parsed; nothing when neither table can be read.
std::optional<std::vector<Listener>> loopback_listeners_tables(unsigned port,
                                                               const std::vector<Address>& targets);

// The socket-diagnostics answer, or the tables when that interface cannot be asked.
std::optional<std::vector<Listener>> loopback_listeners(unsigned port,
                                                        const std::vector<Address>& targets);

enum class PortOwner {
  Ours,      // at least one listener, and every one belongs to `uid`
  Foreign,   // some listener belongs to another user
  Nobody,    // nothing listens
  Unknown,   // the tables cannot be read
  Unproven,  // a listener of `uid` that no program of the user's outside a sandbox holds
             // (loopback_port_owner)
};

struct PortVerdict {
  PortOwner owner = PortOwner::Unknown;
  unsigned foreign_uid = 0;  // for Foreign: the first other owner found
};

PortVerdict judge_listeners(const std::optional<std::vector<Listener>>& listeners, unsigned uid);

// Whether a process of this user, in this process's own user namespace, holds the socket
// `inode`. The table's owner does not tell a sandbox's listener from the user's own: a command
// the workspace fence kept, or what it left running, is the user too, and could take the port of
// our service while it restarts. Nor can the sandbox be searched for it: a socket can travel in
// a message, unseen in any descriptor table, or sit in a table of a thread's own, or in that of a
// process whose descriptors cannot be read. So it is the other way round: a listener is ours
// only when a program of ours outside every sandbox (which always makes a user namespace of its
// own) is found holding it. Processes are looked at newest first (a service is usually started
// shortly before it is asked), the descriptors of each process's own table; a program whose
// descriptors cannot be read (it made itself undumpable) is never found. Cost: one link read
// per process up to the holder, and its descriptors; much more only when nothing holds it.
bool held_outside_sandboxes(std::uint64_t inode);

// Who serves `host`:`port` for this process's effective user. Hosts that are not loopback get
// Unknown: nothing on this machine can tell who answers them. Listeners of this user must also
// be held outside every sandbox (held_outside_sandboxes): looked for once for each listening
// socket, whose inode is remembered when found, so that a request's look stays one question to
// the kernel. A socket held outside was made outside, and nothing passes it into a sandbox.
PortVerdict loopback_port_owner(const std::string& host, unsigned port);

// The owner of the other end of a loopback connection this program accepted: the socket whose
// own address is the peer's (`peer`:`peer_port`) and whose remote port is our listener's
// (`port`), in the ESTABLISHED state (01) of the tables above. A server on loopback learns from it
// whether the connecting program runs as another user of the machine. Nothing when no line
// matches (the peer already closed) or the tables cannot be read.
std::optional<unsigned> parse_connection_owner(std::string_view table, bool ipv6,
                                               const Address& peer, unsigned peer_port,
                                               unsigned port);
std::optional<unsigned> loopback_connection_owner(const Address& peer, unsigned peer_port,
                                                  unsigned port);

}  // namespace kavor::platform
