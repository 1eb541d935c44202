// A small program that acts for another user of this computer in the tests: run through
// setpriv as that user, it tries what such a user could try against the agent and its service.
//
//   loopback_peer read FILE
//       prints "read" when the file could be read, "refused: <reason>" otherwise
//   loopback_peer request PORT METHOD PATH BODY [NAME:VALUE]...
//       one request to 127.0.0.1:PORT with Host 127.0.0.1:PORT and the given headers; prints
//       "status <code>" and the body
//   loopback_peer serve PORT
//       reads a page from standard input, then serves it to every GET on 127.0.0.1:PORT (0: any
//       free port); prints "port <n>" once listening, then "request <method> <path> <agent>" for
//       each request (<agent>: the first word of its User-Agent) and "secret-header" when one
//       carries the session secret's header
#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>

#include "raw_http.h"

namespace {

int read_file(const char* path) {
  std::ifstream file(path);
  std::string text;
  if (file && std::getline(file, text)) {
    std::printf("read\n");
  } else {
    std::printf("refused: %s\n", std::strerror(errno));
  }
  return 0;
}

int request(int argc, char** argv) {
  const int port = std::atoi(argv[2]);
  const std::string body = argv[5];
  std::string text = std::string(argv[3]) + " " + argv[4] +
                     " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\nConnection: close\r\n";
  for (int i = 6; i < argc; ++i) text += std::string(argv[i]) + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  const auto answer = kavor::test::raw_exchange(port, text);
  if (!answer) {
    std::printf("no answer\n");
    return 1;
  }
  std::printf("status %d\n%s\n", answer->status, answer->body.c_str());
  return 0;
}

int serve(const char* port_text) {
  const std::string page((std::istreambuf_iterator<char>(std::cin)),
                         std::istreambuf_iterator<char>());
  httplib::Server server;
  std::mutex output;
  const auto note = [&](const httplib::Request& r) {
    const std::lock_guard lock(output);
    const std::string agent = r.get_header_value("User-Agent");
    std::printf("request %s %s %s\n", r.method.c_str(), r.path.c_str(),
                agent.substr(0, agent.find(' ')).c_str());
    if (r.has_header("X-Kavor-Session")) std::printf("secret-header\n");
    std::fflush(stdout);
  };
  // The port may still hold connections of an earlier listener that was ended.
  server.set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.Get(".*", [&](const httplib::Request& r, httplib::Response& response) {
    note(r);
    if (r.path == "/favicon.ico") {
      response.status = 404;
      return;
    }
    response.set_content(page, "text/html");
  });
  server.Post(".*", [&](const httplib::Request& r, httplib::Response& response) {
    note(r);
    response.status = 204;
  });
  const int wanted = std::atoi(port_text);
  const int port = wanted == 0 ? server.bind_to_any_port("127.0.0.1")
                               : (server.bind_to_port("127.0.0.1", wanted) ? wanted : -1);
  if (port <= 0) {
    std::printf("cannot listen\n");
    return 1;
  }
  std::printf("port %d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return read_file(argv[2]);
  if (argc >= 6 && std::strcmp(argv[1], "request") == 0) return request(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "serve") == 0) return serve(argv[2]);
  std::fprintf(stderr,
               "usage: loopback_peer read FILE | request PORT METHOD PATH BODY "
               "[HEADER]... | serve PORT\n");
  return 2;
}
