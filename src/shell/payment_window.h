// The payment window: the payment provider's pages, outside the chat application. When the
// provider sends the user back to the chat application, that page opens in the main window
// instead and the payment window closes.
#pragma once

#include <QWebEnginePage>
#include <QWebEngineView>

#include <functional>

#include "common/endpoints.h"

namespace kavor::shell {

inline constexpr int kPaymentWidth = 480;
inline constexpr int kPaymentHeight = 760;
inline constexpr int kPaymentMinWidth = 380;
inline constexpr int kPaymentMinHeight = 560;

class PaymentWindow : public QWebEngineView {
  Q_OBJECT
 public:
  // `back_to_app` receives a navigation to the chat application's origin.
  PaymentWindow(QWebEngineProfile* profile, common::Endpoints endpoints,
                std::function<void(const QUrl&)> open_external,
                std::function<void(const QUrl&)> back_to_app);

  void show_url(const QUrl& url);
};

}  // namespace kavor::shell
