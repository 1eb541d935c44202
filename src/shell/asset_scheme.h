// Serves the program's own pages (loader, error page, logo, fonts) from the assets compiled
// into the executable, under the private scheme of the local origin. One file is made here:
// config.js tells the error page where the chat web application lives, where the public
// website is, and how fast a test runs the clock.
#pragma once

#include <QWebEngineUrlSchemeHandler>

#include "common/endpoints.h"

namespace kavor::shell {

// Must run before the QApplication is created.
void register_asset_scheme();

class AssetSchemeHandler : public QWebEngineUrlSchemeHandler {
  Q_OBJECT
 public:
  AssetSchemeHandler(common::Endpoints endpoints, QString website, QObject* parent = nullptr);
  void requestStarted(QWebEngineUrlRequestJob* job) override;

  // The text of config.js.
  QByteArray config_script() const;

 private:
  common::Endpoints endpoints_;
  QString website_;
};

}  // namespace kavor::shell
