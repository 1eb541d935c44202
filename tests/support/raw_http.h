// One HTTP exchange over a loopback socket with the request written byte for byte, so that a
// request without a Host line, or with one no client library would send, arrives as written.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

namespace kavor::test {

struct RawAnswer {
  int status = 0;  // 0 when no answer came
  std::string body;
};

// Sends `request` (which should say "Connection: close") and reads until the server closes.
inline RawAnswer raw_exchange(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string got;
  // NOLINTNEXTLINE: the socket API takes the generic address type.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) got.append(buffer, n);
  }
  close(fd);
  const auto head_end = got.find("\r\n\r\n");
  if (got.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return {};
  return {std::atoi(got.c_str() + got.find(' ') + 1), got.substr(head_end + 4)};
}

}  // namespace kavor::test
