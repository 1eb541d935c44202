// Another program on a loopback port, for the tests: run through setpriv as another user, it is
// a listener of that user. `loopback_peer serve PORT` reads a page from standard input, serves
// it to every GET on 127.0.0.1:PORT (0: any free port), prints "port <n>" once listening, then
// "request <method> <path> <first word of the User-Agent>" for each request, and
// "secret-header" when one carries the session secret's header. `loopback_peer listen6only PORT`
// only listens on [::]:PORT with IPV6_V6ONLY set, prints "port <n>" and waits to be ended.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>

// An IPv6 wildcard that takes no IPv4 connections: it binds beside a listener on 127.0.0.1.
int listen_v6_only(int port) {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  const int yes = 1;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<std::uint16_t>(port));
  // NOLINTNEXTLINE: the socket API takes the generic address type.
  if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4) != 0) {
    return 1;
  }
  std::printf("port %d\n", port);
  std::fflush(stdout);
  pause();
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "listen6only") == 0)
    return listen_v6_only(std::atoi(argv[2]));
  if (argc != 3 || std::strcmp(argv[1], "serve") != 0) {
    std::fprintf(stderr, "usage: loopback_peer serve PORT | listen6only PORT\n");
    return 2;
  }
  const std::string page((std::istreambuf_iterator<char>(std::cin)),
                         std::istreambuf_iterator<char>());
  httplib::Server server;
  // The port may still hold connections of a listener that was just ended.
  server.set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  std::mutex output;
  const auto answer = [&](const httplib::Request& r, httplib::Response& response) {
    const std::lock_guard lock(output);
    const std::string agent = r.get_header_value("User-Agent");
    std::printf("request %s %s %s\n%s", r.method.c_str(), r.path.c_str(),
                agent.substr(0, agent.find(' ')).c_str(),
                r.has_header("X-Kavor-Session") ? "secret-header\n" : "");
    std::fflush(stdout);
    response.set_content(page, "text/html");
  };
  server.Get(".*", answer).Post(".*", answer);
  const int wanted = std::atoi(argv[2]);
  const int port = wanted == 0 ? server.bind_to_any_port("127.0.0.1")
                               : (server.bind_to_port("127.0.0.1", wanted) ? wanted : -1);
  if (port <= 0) return 1;
  std::printf("port %d\n", port);
  std::fflush(stdout);
  return server.listen_after_bind() ? 0 : 1;
}
