#include "platform/loopback_listener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>

namespace kavor::platform {

namespace {

// The kernel's code for a listening socket in the `st` column.
constexpr std::string_view kListenState = "0A";
// Columns of a table line: "sl", local address, remote address, state, …, uid (7), …, inode (9).
constexpr std::size_t kLocalColumn = 1;
constexpr std::size_t kStateColumn = 3;
constexpr std::size_t kUidColumn = 7;
constexpr std::size_t kInodeColumn = 9;
constexpr std::size_t kIpv4HexDigits = 8;
constexpr std::size_t kIpv6HexDigits = 32;
// Listening sockets remembered as checked; far more than the few addresses the agent asks.
constexpr std::size_t kCheckedSockets = 64;
// Room for a few dozen socket descriptions per read; the kernel fills what fits.
constexpr std::size_t kNetlinkBuffer = 32 * 1024;

constexpr Address kAnyAddress{};  // :: (and the tcp6 side of a dual-stack wildcard)

Address mapped_ipv4(const std::uint8_t (&v4)[4]) {
  Address out{};
  out[10] = 0xff;
  out[11] = 0xff;
  std::copy(std::begin(v4), std::end(v4), out.begin() + 12);
  return out;
}

const Address kAnyIpv4 = mapped_ipv4({0, 0, 0, 0});

bool is_mapped_ipv4(const Address& a) {
  return std::all_of(a.begin(), a.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
         a[10] == 0xff && a[11] == 0xff;
}

bool is_loopback(const Address& a) {
  if (is_mapped_ipv4(a)) return a[12] == 127;
  Address one{};
  one[15] = 1;
  return a == one;
}

std::vector<std::string_view> columns(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const std::size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > start) out.push_back(line.substr(start, at - start));
  }
  return out;
}

template <typename T>
std::optional<T> number(std::string_view text, int base) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "0100007F:B579" or the 32-digit tcp6 form: the words are copied as the machine stores them.
std::optional<std::pair<Address, unsigned>> local_address(std::string_view text, bool ipv6) {
  const std::size_t digits = ipv6 ? kIpv6HexDigits : kIpv4HexDigits;
  if (text.size() <= digits || text[digits] != ':') return std::nullopt;
  const auto port = number<unsigned>(text.substr(digits + 1), 16);
  if (!port || *port > 0xffff) return std::nullopt;
  std::uint8_t bytes[16] = {};
  for (std::size_t word = 0; word < digits / 8; ++word) {
    const auto value = number<std::uint32_t>(text.substr(word * 8, 8), 16);
    if (!value) return std::nullopt;
    std::memcpy(bytes + word * 4, &*value, 4);
  }
  Address address{};
  if (ipv6) {
    std::copy(std::begin(bytes), std::end(bytes), address.begin());
  } else {
    address = mapped_ipv4({bytes[0], bytes[1], bytes[2], bytes[3]});
  }
  return std::make_pair(address, *port);
}

// `v6_only`: the socket is known to have IPV6_V6ONLY set, so its wildcard takes IPv6 only.
bool takes_connections_to(const Address& bound, const Address& target, bool v6_only = false) {
  if (bound == target) return true;
  if (bound == kAnyAddress) return !(v6_only && is_mapped_ipv4(target));
  return is_mapped_ipv4(target) && bound == kAnyIpv4;
}

// The IPV6_V6ONLY flag among the attributes that follow a socket's description.
bool v6_only_attribute(const char* attributes, std::size_t size) {
  std::size_t at = 0;
  while (at + sizeof(rtattr) <= size) {
    rtattr attribute{};
    std::memcpy(&attribute, attributes + at, sizeof attribute);
    if (attribute.rta_len < sizeof attribute || at + attribute.rta_len > size) return false;
    if (attribute.rta_type == INET_DIAG_SKV6ONLY && attribute.rta_len > RTA_LENGTH(0)) {
      return attributes[at + RTA_LENGTH(0)] != 0;
    }
    at += RTA_ALIGN(attribute.rta_len);
  }
  return false;
}

// Reads the answers to one dump request of the socket-diagnostics family until the kernel says
// it is done. Messages are copied out of the buffer rather than cast in place, so alignment
// never matters. Nothing when the family cannot be asked; an empty list when the kernel does
// not have the address family at all (IPv6 switched off).
std::optional<std::vector<Listener>> netlink_dump(int fd, std::vector<char>& buffer,
                                                  std::uint8_t family, unsigned port,
                                                  const std::vector<Address>& targets) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = family;
  request.body.sdiag_family = family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = 1u << TCP_LISTEN;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  // NOLINTNEXTLINE: the socket API takes the generic address type.
  if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
             sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
    return std::nullopt;
  }
  std::vector<Listener> out;
  while (true) {
    const ssize_t received = recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) return std::nullopt;
    std::size_t at = 0;
    const auto size = static_cast<std::size_t>(received);
    while (at + sizeof(nlmsghdr) <= size) {
      nlmsghdr header{};
      std::memcpy(&header, buffer.data() + at, sizeof header);
      if (header.nlmsg_len < sizeof header || at + header.nlmsg_len > size) return std::nullopt;
      const char* payload = buffer.data() + at + NLMSG_HDRLEN;
      const std::size_t payload_size = header.nlmsg_len - NLMSG_HDRLEN;
      at += NLMSG_ALIGN(header.nlmsg_len);
      if (header.nlmsg_type == NLMSG_DONE) return out;
      if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr error{};
        if (payload_size >= sizeof error) std::memcpy(&error, payload, sizeof error);
        if (error.error == -ENOENT && family == AF_INET6) return out;
        return std::nullopt;
      }
      if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || payload_size < sizeof(inet_diag_msg)) {
        continue;
      }
      inet_diag_msg message{};
      std::memcpy(&message, payload, sizeof message);
      if (ntohs(message.id.idiag_sport) != port) continue;
      Address address{};
      bool v6_only = false;
      if (message.idiag_family == AF_INET) {
        std::uint8_t v4[4];
        std::memcpy(v4, message.id.idiag_src, sizeof v4);
        address = mapped_ipv4(v4);
      } else {
        std::memcpy(address.data(), message.id.idiag_src, address.size());
        // The kernel adds the flag to every IPv6 socket it describes.
        const std::size_t skip = NLMSG_ALIGN(sizeof(inet_diag_msg));
        if (payload_size > skip) {
          v6_only = v6_only_attribute(payload + skip, payload_size - skip);
        }
      }
      const bool reaches = std::any_of(targets.begin(), targets.end(), [&](const Address& t) {
        return takes_connections_to(address, t, v6_only);
      });
      if (reaches) out.push_back(Listener{address, port, message.idiag_uid, message.idiag_inode});
    }
  }
}

// This thread's socket-diagnostics socket and receive buffer, kept from one look to the next:
// the bridge looks before and after every request, and opening and closing a socket each time
// costs a good part of what the kernel's answer does. A socket whose dump went wrong is closed,
// so that no half-read answer can meet the next request.
class DiagChannel {
 public:
  DiagChannel() = default;
  ~DiagChannel() { drop(); }
  DiagChannel(const DiagChannel&) = delete;
  DiagChannel& operator=(const DiagChannel&) = delete;

  // -1 when no socket can be opened.
  int fd() {
    if (fd_ < 0) fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    return fd_;
  }
  std::vector<char>& buffer() { return buffer_; }
  void drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::vector<char> buffer_ = std::vector<char>(kNetlinkBuffer);
};

// The listening sockets found held outside every sandbox. Never destroyed: a request may ask
// while the program ends.
std::mutex& checked_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::set<std::uint64_t>& checked_sockets() {
  static auto* inodes = new std::set<std::uint64_t>;
  return *inodes;
}

// Whether the descriptor table at `fds` (a /proc/<id>/fd folder) holds `socket`.
bool table_holds(const std::string& fds, std::string_view socket) {
  DIR* table = ::opendir(fds.c_str());
  if (table == nullptr) return false;
  bool held = false;
  while (const dirent* fd = ::readdir(table)) {
    char target[64];
    const ssize_t n = ::readlinkat(::dirfd(table), fd->d_name, target, sizeof target);
    if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == socket) {
      held = true;
      break;
    }
  }
  ::closedir(table);
  return held;
}

// A socket table of the kernel's (/proc/net/tcp, tcp6), when the netlink query is refused. Not
// the bounded reader of small files (walk/small_file.h), which this layer lies below: the path is
// fixed and lies in the kernel's /proc, where no command can put a pipe or a file of its own,
// and the table holds a line per socket of the machine, which no fixed bound fits.
std::optional<std::string> read_table(const char* path) {
  // The files report a size of 0: read to the end instead.
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

std::vector<Address> loopback_targets(std::string_view host) {
  // "[::1]" as a URL writes it; brackets hold IPv6 addresses only.
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  if (host == "localhost" && !bracketed) {
    return {mapped_ipv4({127, 0, 0, 1}), loopback_targets("::1").front()};
  }
  const std::string text(host);
  std::uint8_t v4[4];
  if (!bracketed && inet_pton(AF_INET, text.c_str(), v4) == 1) {
    const Address address = mapped_ipv4(v4);
    return is_loopback(address) ? std::vector<Address>{address} : std::vector<Address>{};
  }
  Address v6{};
  if (inet_pton(AF_INET6, text.c_str(), v6.data()) == 1 && is_loopback(v6)) return {v6};
  return {};
}

std::vector<Listener> parse_listeners(std::string_view table, bool ipv6, unsigned port,
                                      const std::vector<Address>& targets) {
  std::vector<Listener> out;
  std::size_t start = 0;
  while (start < table.size()) {
    std::size_t end = table.find('\n', start);
    if (end == std::string_view::npos) end = table.size();
    const auto fields = columns(table.substr(start, end - start));
    start = end + 1;
    if (fields.size() <= kInodeColumn || fields[kStateColumn] != kListenState) continue;
    const auto local = local_address(fields[kLocalColumn], ipv6);
    const auto uid = number<unsigned>(fields[kUidColumn], 10);
    const auto inode = number<std::uint64_t>(fields[kInodeColumn], 10);
    if (!local || !uid || !inode || local->second != port) continue;
    const bool reaches = std::any_of(targets.begin(), targets.end(), [&](const Address& target) {
      return takes_connections_to(local->first, target);
    });
    if (reaches) out.push_back(Listener{local->first, local->second, *uid, *inode});
  }
  return out;
}

std::optional<std::vector<Listener>> loopback_listeners_netlink(
    unsigned port, const std::vector<Address>& targets) {
  thread_local DiagChannel channel;
  const int fd = channel.fd();
  if (fd < 0) return std::nullopt;
  auto out = netlink_dump(fd, channel.buffer(), AF_INET, port, targets);
  if (out) {
    const auto more = netlink_dump(fd, channel.buffer(), AF_INET6, port, targets);
    if (more) {
      out->insert(out->end(), more->begin(), more->end());
    } else {
      out.reset();
    }
  }
  if (!out) channel.drop();
  return out;
}

std::optional<std::vector<Listener>> loopback_listeners(unsigned port,
                                                        const std::vector<Address>& targets) {
  if (auto asked = loopback_listeners_netlink(port, targets)) return asked;
  return loopback_listeners_tables(port, targets);
}

std::optional<std::vector<Listener>> loopback_listeners_tables(
    unsigned port, const std::vector<Address>& targets) {
  const auto v4 = read_table("/proc/net/tcp");
  const auto v6 = read_table("/proc/net/tcp6");
  if (!v4 && !v6) return std::nullopt;
  std::vector<Listener> out;
  if (v4) out = parse_listeners(*v4, false, port, targets);
  if (v6) {
    const auto more = parse_listeners(*v6, true, port, targets);
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

PortVerdict judge_listeners(const std::optional<std::vector<Listener>>& listeners, unsigned uid) {
  if (!listeners) return {PortOwner::Unknown, 0};
  if (listeners->empty()) return {PortOwner::Nobody, 0};
  for (const Listener& listener : *listeners) {
    if (listener.uid != uid) return {PortOwner::Foreign, listener.uid};
  }
  return {PortOwner::Ours, 0};
}

bool held_outside_sandboxes(std::uint64_t inode) {
  char own[64];
  const ssize_t own_size = ::readlink("/proc/self/ns/user", own, sizeof own);
  const std::string_view ours(own, own_size > 0 ? static_cast<std::size_t>(own_size) : 0);
  const std::string socket = "socket:[" + std::to_string(inode) + "]";
  std::vector<long> pids;
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* entry = ::readdir(proc)) {
      if (const auto pid = number<long>(entry->d_name, 10)) pids.push_back(*pid);
    }
    ::closedir(proc);
  }
  std::sort(pids.rbegin(), pids.rend());
  const uid_t uid = ::geteuid();
  for (const long pid : pids) {
    const std::string at = "/proc/" + std::to_string(pid);
    struct stat info {};
    if (::stat(at.c_str(), &info) != 0 || info.st_uid != uid) continue;
    char link[64];
    const ssize_t size = ::readlink((at + "/ns/user").c_str(), link, sizeof link);
    if (size <= 0 || std::string_view(link, static_cast<std::size_t>(size)) != ours) continue;
    if (table_holds(at + "/fd", socket)) return true;
  }
  return false;
}

std::optional<unsigned> parse_connection_owner(std::string_view table, bool ipv6,
                                               const Address& peer, unsigned peer_port,
                                               unsigned port) {
  std::size_t at = 0;
  while (at < table.size()) {
    const std::size_t end = std::min(table.find('\n', at), table.size());
    const std::vector<std::string_view> cells = columns(table.substr(at, end - at));
    at = end + 1;
    // sl local rem st tx:rx tr:when retrnsmt uid
    if (cells.size() < 8 || cells[3] != "01") continue;
    const auto local = local_address(cells[1], ipv6);
    const auto remote = local_address(cells[2], ipv6);
    if (!local || !remote || local->first != peer || local->second != peer_port ||
        remote->second != port) {
      continue;
    }
    if (const auto uid = number<unsigned>(cells[7], 10)) return uid;
  }
  return std::nullopt;
}

std::optional<unsigned> loopback_connection_owner(const Address& peer, unsigned peer_port,
                                                  unsigned port) {
  for (const bool ipv6 : {false, true}) {
    const std::optional<std::string> table = read_table(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp");
    if (!table) continue;
    if (const auto uid = parse_connection_owner(*table, ipv6, peer, peer_port, port)) return uid;
  }
  return std::nullopt;
}

PortVerdict loopback_port_owner(const std::string& host, unsigned port) {
  const auto targets = loopback_targets(host);
  if (targets.empty()) return {PortOwner::Unknown, 0};
  const auto listeners = loopback_listeners(port, targets);
  const PortVerdict verdict = judge_listeners(listeners, geteuid());
  if (verdict.owner != PortOwner::Ours) return verdict;
  for (const Listener& listener : *listeners) {
    {
      std::lock_guard lock(checked_mutex());
      if (checked_sockets().count(listener.inode) > 0) continue;
    }
    if (!held_outside_sandboxes(listener.inode)) return {PortOwner::Unproven, listener.uid};
    std::lock_guard lock(checked_mutex());
    if (checked_sockets().size() >= kCheckedSockets) checked_sockets().clear();
    checked_sockets().insert(listener.inode);
  }
  return verdict;
}

}  // namespace kavor::platform
