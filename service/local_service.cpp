// The bundled local chat service: what a fresh build talks to when no real service exists.
// It serves a small chat page on the application address and answers the agent's API on the
// API address, so the program can be run end to end on one machine.
#include <httplib.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

namespace {

struct Address {
  std::string host;
  int port = 0;
};

// "http://127.0.0.1:47810/..." -> {127.0.0.1, 47810}. Only plain http on loopback is served.
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
  return out.port > 0 && out.port < 65536;
}

constexpr const char* kChatPage = R"(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Kavor AI (local)</title>
<style>body{font-family:system-ui,sans-serif;margin:40px;color:#1c1b1a;background:#f8f7f5}
.bubble{background:#fff;border:1px solid #e7e3de;border-radius:14px;padding:12px 16px;max-width:520px;margin:10px 0}
button{font:inherit;padding:8px 14px;border-radius:10px;border:1px solid #e35200;background:#ff5c00;color:#fff;cursor:pointer}
code{font-size:13px}</style>
</head><body>
<h1>Kavor AI</h1>
<div class="bubble"><div class="msg-body">This is the local stand-in for the chat service. Link this
computer to let the assistant reach it.</div></div>
<div class="bubble"><div class="msg-body" id="state">Asking the agent...</div></div>
<button id="link">Link this computer</button> <button id="unlink">Unlink</button>
<script>
  const agent = window.__TAURI_INTERNALS__;
  const state = document.getElementById('state');
  let connected = false;
  function show(info) {
    const device = info.device ? 'linked as ' + info.device.name + ' (device ' + info.device.id + ')' : 'not linked';
    state.textContent = 'Kavor Agent ' + info.version + ' on ' + info.os_version + ': ' + device +
      (connected || info.connected ? ', connected.' : '.');
  }
  function refresh() { agent.invoke('agent_info', {}).then(show, (e) => { state.textContent = String(e); }); }
  if (!agent) {
    state.textContent = 'Open this page in Kavor Agent to link a computer.';
  } else {
    const handler = agent.transformCallback((event) => { connected = event.payload; refresh(); });
    agent.invoke('plugin:event|listen', { event: 'agent://connection', target: { kind: 'Any' }, handler });
    document.getElementById('link').onclick = () => agent.invoke('agent_link', { token: 'local-link' }).then(show, (e) => { state.textContent = String(e); });
    document.getElementById('unlink').onclick = () => agent.invoke('agent_unlink', {}).then(show);
    refresh();
  }
</script>
</body></html>)";

std::string random_token() {
  std::random_device rd;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string out;
  for (int i = 0; i < 32; ++i) out += "0123456789abcdef"[digit(rd)];
  return out;
}

httplib::Server* g_servers[2] = {nullptr, nullptr};

void stop_all(int) {
  for (auto* s : g_servers) {
    if (s) s->stop();
  }
}

}  // namespace

int main() {
  Address app;
  Address api;
  if (!parse_address(KAVOR_APP_URL, app) || !parse_address(KAVOR_API_BASE, api)) {
    std::fprintf(stderr, "kavor-service serves only http://host:port addresses\n");
    return 2;
  }

  httplib::Server app_server;
  app_server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kChatPage, "text/html; charset=utf-8");
  });

  httplib::Server api_server;
  std::atomic<int> next_device{1};
  api_server.Post("/bridge/devices", [&](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Authorization").rfind("Bearer ", 0) != 0) {
      res.status = 401;
      res.set_content(R"({"message":"Sign in again to link this computer."})", "application/json");
      return;
    }
    const int id = next_device++;
    res.set_content(
        "{\"device\":{\"id\":" + std::to_string(id) + "},\"secret\":\"" + random_token() + "\"}",
        "application/json");
  });
  api_server.Delete(R"(/bridge/devices/([^/]+))",
                    [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  api_server.Get("/bridge/poll", [](const httplib::Request&, httplib::Response& res) {
    // Nothing for the agent to do: hold the poll a while, then say so.
    std::this_thread::sleep_for(std::chrono::seconds(20));
    res.status = 204;
  });

  g_servers[0] = &app_server;
  g_servers[1] = &api_server;
  std::signal(SIGINT, stop_all);
  std::signal(SIGTERM, stop_all);

  std::thread app_thread([&] { app_server.listen(app.host, app.port); });
  std::printf("kavor-service: chat page on %s, API on %s\n", KAVOR_APP_URL, KAVOR_API_BASE);
  std::fflush(stdout);
  const bool ok = api_server.listen(api.host, api.port);
  app_server.stop();
  app_thread.join();
  return ok ? 0 : 1;
}
