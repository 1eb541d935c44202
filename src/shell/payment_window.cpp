#include "shell/payment_window.h"

#include <QTimer>
#include <QWebEngineNewWindowRequest>

#include "app/navigation.h"

namespace kavor::shell {

namespace {

class PaymentPage : public QWebEnginePage {
 public:
  PaymentPage(QWebEngineProfile* profile, common::Endpoints endpoints,
              std::function<void(const QUrl&)> back_to_app, QObject* parent)
      : QWebEnginePage(profile, parent),
        endpoints_(std::move(endpoints)),
        back_to_app_(std::move(back_to_app)) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType, bool main_frame) override {
    if (!main_frame || !common::same_origin(url, endpoints_.app_url())) return true;
    // Reported after this decision returns: the callback closes the window that owns us.
    QTimer::singleShot(0, parent(), [callback = back_to_app_, url] { callback(url); });
    return false;
  }

 private:
  common::Endpoints endpoints_;
  std::function<void(const QUrl&)> back_to_app_;
};

}  // namespace

PaymentWindow::PaymentWindow(QWebEngineProfile* profile, common::Endpoints endpoints,
                             std::function<void(const QUrl&)> open_external,
                             std::function<void(const QUrl&)> back_to_app) {
  setWindowTitle(QStringLiteral("پرداخت"));
  resize(kPaymentWidth, kPaymentHeight);
  setMinimumSize(kPaymentMinWidth, kPaymentMinHeight);
  setAttribute(Qt::WA_DeleteOnClose);
  auto* page = new PaymentPage(profile, std::move(endpoints), std::move(back_to_app), this);
  setPage(page);
  connect(page, &QWebEnginePage::newWindowRequested, this,
          [open = std::move(open_external)](QWebEngineNewWindowRequest& request) {
            if (app::opens_externally(request.requestedUrl())) open(request.requestedUrl());
          });
}

void PaymentWindow::show_url(const QUrl& url) {
  page()->load(url);
  show();
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  raise();
  activateWindow();
}

}  // namespace kavor::shell
