#include "shell/asset_scheme.h"

#include <QBuffer>
#include <QFile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

#include "common/endpoints.h"

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
      {".js", "text/javascript"},
      {".css", "text/css"},
  };
  for (const auto& [suffix, type] : kTypes) {
    if (path.endsWith(QLatin1String(suffix))) return type;
  }
  return "text/plain;charset=utf-8";
}

}  // namespace

void register_asset_scheme() {
  init_shell_resources();
  QWebEngineUrlScheme scheme(kAssetScheme);
  scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
  scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::CorsEnabled);
  QWebEngineUrlScheme::registerScheme(scheme);
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
