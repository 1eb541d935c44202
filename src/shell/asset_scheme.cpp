#include "shell/asset_scheme.h"

#include <QBuffer>
#include <QFile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

#include "common/json.h"
#include "common/timing.h"

// Resources compiled into a static library are only linked in when named once.
static void init_shell_resources() {
  Q_INIT_RESOURCE(shell);
}

namespace kavor::shell {

namespace {

QByteArray mime_for(const QString& path) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html;charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".woff2", "font/woff2"},
      {".js", "text/javascript;charset=utf-8"},
      {".css", "text/css;charset=utf-8"},
  };
  for (const auto& [suffix, type] : kTypes) {
    if (path.endsWith(QLatin1String(suffix))) return type;
  }
  return "text/plain;charset=utf-8";
}

}  // namespace

void register_asset_scheme() {
  init_shell_resources();
  QWebEngineUrlScheme scheme(common::kAssetScheme);
  scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
  scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::CorsEnabled);
  QWebEngineUrlScheme::registerScheme(scheme);
}

AssetSchemeHandler::AssetSchemeHandler(common::Endpoints endpoints, QString website,
                                       QObject* parent)
    : QWebEngineUrlSchemeHandler(parent),
      endpoints_(std::move(endpoints)),
      website_(std::move(website)) {}

QByteArray AssetSchemeHandler::config_script() const {
  // The application's origin with a trailing slash: the error page probes its favicon and
  // returns to it.
  const QUrl origin = endpoints_.app_url().adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath |
                                                    QUrl::RemoveQuery | QUrl::RemoveFragment);
  common::Json config = common::Json::object();
  config["remote"] = origin.toString(QUrl::FullyEncoded).toStdString() + "/";
  config["website"] = website_.toStdString();
  config["speedup"] = common::timing::speedup();
  return "window.kavorPages = " + QByteArray::fromStdString(config.dump()) + ";\n";
}

void AssetSchemeHandler::requestStarted(QWebEngineUrlRequestJob* job) {
  if (job->requestMethod() != "GET") {
    job->fail(QWebEngineUrlRequestJob::RequestDenied);
    return;
  }
  QString path = job->requestUrl().path();
  if (path.isEmpty() || path == QLatin1String("/")) path = QStringLiteral("/index.html");
  // Resource paths cannot climb out of the asset folder, but a clean path keeps lookups exact.
  if (path.contains(QLatin1String(".."))) {
    job->fail(QWebEngineUrlRequestJob::UrlNotFound);
    return;
  }
  if (path == QLatin1String("/config.js")) {
    auto* buffer = new QBuffer(job);
    buffer->setData(config_script());
    buffer->open(QIODevice::ReadOnly);
    job->reply(mime_for(path), buffer);
    return;
  }
  QFile file(QStringLiteral(":/assets") + path);
  if (!file.open(QIODevice::ReadOnly)) {
    job->fail(QWebEngineUrlRequestJob::UrlNotFound);
    return;
  }
  auto* buffer = new QBuffer(job);
  buffer->setData(file.readAll());
  buffer->open(QIODevice::ReadOnly);
  job->reply(mime_for(path), buffer);
}

}  // namespace kavor::shell
