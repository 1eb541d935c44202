// One HTTP exchange over a plain loopback socket, with the request written byte for byte: a
// request without a Host line, or with a Host no client library would send, reaches the server
// exactly as written. Plain C++ without Qt, for the service tests and the loopback peer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace kavor::test {

struct RawAnswer {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;
};

// Sends `request` (which should say "Connection: close") to 127.0.0.1:`port` and reads the
// answer until the server closes; nothing when no connection or no status line came.
inline std::optional<RawAnswer> raw_exchange(int port, const std::string& request,
                                             int timeout_seconds = 10) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  timeval timeout{timeout_seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string received;
  // NOLINTNEXTLINE: the socket API takes the generic address type.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    ssize_t n = 0;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  const auto end_of_head = received.find("\r\n\r\n");
  if (received.rfind("HTTP/1.", 0) != 0 || end_of_head == std::string::npos) return std::nullopt;
  RawAnswer answer;
  answer.status = std::atoi(received.c_str() + received.find(' ') + 1);
  answer.head = received.substr(0, end_of_head);
  answer.body = received.substr(end_of_head + 4);
  return answer;
}

}  // namespace kavor::test
