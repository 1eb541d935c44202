// kavor-service: the bundled local chat service on the addresses the agent was built with.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "local_service.h"
#include "platform/session_file.h"

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

constexpr const char* kUsage =
    "usage: kavor-service [--session-file PATH]\n"
    "  The session secret that lets the agent's window use the chat application is written to\n"
    "  PATH (default: $XDG_RUNTIME_DIR/kavor-agent/session); the agent reads it from\n"
    "  KAVOR_AGENT_SESSION_FILE or the same default.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string session_file;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--session-file" && i + 1 < argc && argv[i + 1][0] != '\0') {
      session_file = argv[++i];
    } else {
      std::fputs(kUsage, arg == "--help" ? stdout : stderr);
      return arg == "--help" ? 0 : 2;
    }
  }
  if (session_file.empty()) session_file = kavor::platform::default_session_file();

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
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    kavor::service::LocalServiceOptions options;
    options.host = app.host;
    options.app_port = app.port;
    options.api_port = api.port;
    options.session_secret = kavor::platform::new_session_secret();
    // 1. Bind both ports: a service that cannot listen must not replace the secret of one that
    //    does.
    kavor::service::LocalService service(options);
    // 2. Hand the secret to the agent's window, through a file only this user can read.
    const kavor::Result<void> written =
        kavor::platform::write_session_secret(session_file, options.session_secret);
    if (!written.ok()) {
      std::fprintf(stderr, "kavor-service: %s\n", written.message().c_str());
      return 1;
    }
    std::printf("kavor-service: chat application on %s, API on %s\n", KAVOR_APP_URL,
                KAVOR_API_BASE);
    std::printf("kavor-service: ready; session file %s\n", session_file.c_str());
    std::fflush(stdout);
    std::thread waiter([&] {
      int signal = 0;
      sigwait(&signals, &signal);
      service.stop();
    });
    service.wait();
    // Ended by a signal: the waiter has returned already.
    waiter.join();
    kavor::platform::remove_session_secret(session_file, options.session_secret);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kavor-service: %s\n", e.what());
    return 1;
  }
  return 0;
}
