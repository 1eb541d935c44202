// Serves the program's own pages (loader, error page, logo, fonts) from the assets compiled
// into the executable, under the private scheme of the local origin.
#pragma once

#include <QWebEngineUrlSchemeHandler>

namespace kavor::shell {

// Must run before the QApplication is created.
void register_asset_scheme();

class AssetSchemeHandler : public QWebEngineUrlSchemeHandler {
  Q_OBJECT
 public:
  using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
  void requestStarted(QWebEngineUrlRequestJob* job) override;
};

}  // namespace kavor::shell
