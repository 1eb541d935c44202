#include "shell/app_server.h"

#include <QWebEngineUrlRequestInfo>

#include <cstdio>
#include <mutex>

#include "app/page_access.h"
#include "common/endpoints.h"
#include "platform/session_file.h"

namespace kavor::shell {

namespace {

std::mutex log_mutex;
QString last_logged;

void log_once(const QString& sentence) {
  const std::lock_guard lock(log_mutex);
  if (sentence == last_logged) return;
  last_logged = sentence;
  std::fprintf(stderr, "kavor-agent: %s\n", sentence.toLocal8Bit().constData());
  std::fflush(stderr);
}

void problem_gone() {
  const std::lock_guard lock(log_mutex);
  last_logged.clear();
}

}  // namespace

bool application_server_trusted(const QUrl& app_url, WhenNobodyListens nobody) {
  const app::AppServerCheck check = app::check_app_server(app_url);
  if (check.state == app::AppServer::Trusted ||
      (check.state == app::AppServer::Absent && nobody == WhenNobodyListens::Allow)) {
    return true;
  }
  log_once(check.problem);
  return false;
}

SessionInterceptor::SessionInterceptor(QUrl app_url, QObject* parent)
    : QWebEngineUrlRequestInterceptor(parent), app_url_(std::move(app_url)) {}

void SessionInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info) {
  if (!common::same_origin(info.requestUrl(), app_url_)) return;
  // 1. Another user's listener gets nothing of the window.
  const app::AppServerCheck check = app::check_app_server(app_url_);
  if (check.state == app::AppServer::Foreign) {
    log_once(check.problem);
    info.block(true);
    return;
  }
  // 2. The secret goes only to our own listener, and only for the application's own documents:
  //    a page of another origin (a frame, the payment window) asks without it.
  if (check.state != app::AppServer::Trusted || !common::same_origin(info.initiator(), app_url_))
    return;
  const Result<std::string> secret = platform::read_session_secret(platform::agent_session_file());
  if (!secret.ok()) {
    log_once(QString::fromStdString(secret.message()));
    return;
  }
  problem_gone();
  info.setHttpHeader(platform::kSessionHeader, QByteArray::fromStdString(secret.value()));
}

}  // namespace kavor::shell
