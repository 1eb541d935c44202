// kavor-service: the bundled local chat service on the addresses the agent was built with.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "local_service.h"

namespace {

struct Address {
  std::string host;
  int port = 0;
};

// "http://127.0.0.1:47810/..." -> {127.0.0.1, 47810}. Only plain http on loopback is served:
// the service has no sign-in, so it must not be reachable from other computers.
bool parse_address(const std::string& url, Address& out) {
  const std::string prefix = "http://";
  if (url.rfind(prefix, 0) != 0) return false;
  const std::string rest = url.substr(prefix.size());
  const auto colon = rest.find(':');
  const auto slash = rest.find('/');
  if (colon == std::string::npos || (slash != std::string::npos && slash < colon)) return false;
  out.host = rest.substr(0, colon);
  out.port = std::atoi(
      rest.substr(colon + 1, slash == std::string::npos ? std::string::npos : slash - colon - 1)
          .c_str());
  const bool loopback = out.host == "127.0.0.1" || out.host == "localhost";
  return loopback && out.port > 0 && out.port < 65536;
}

}  // namespace

int main() {
  Address app;
  Address api;
  if (!parse_address(KAVOR_APP_URL, app) || !parse_address(KAVOR_API_BASE, api) ||
      app.host != api.host) {
    std::fprintf(stderr, "kavor-service serves only http://127.0.0.1:port addresses\n");
    return 2;
  }

  // Signals are taken by a thread of their own, where stopping the servers is safe.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    kavor::service::LocalServiceOptions options;
    options.host = app.host;
    options.app_port = app.port;
    options.api_port = api.port;
    kavor::service::LocalService service(options);
    std::printf("kavor-service: chat application on %s, API on %s\n", KAVOR_APP_URL,
                KAVOR_API_BASE);
    std::printf("kavor-service: link token %s\n", service.link_token().c_str());
    std::fflush(stdout);
    std::thread waiter([&] {
      int signal = 0;
      sigwait(&signals, &signal);
      service.stop();
    });
    service.wait();
    // Ended by a signal: the waiter has returned already.
    waiter.join();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kavor-service: %s\n", e.what());
    return 1;
  }
  return 0;
}
