// Commands that open windows and dialogs, in the real program under Xvfb.
#include <gtest/gtest.h>
#include <QApplication>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QWebEngineProfile>

#include "common/timing.h"
#include "shell/application.h"
#include "support/wait.h"
#include "test_service.h"

namespace kavor::shell {
namespace window_commands_test {
namespace {

using service::Reply;
using service::TestService;
using test::wait_until;

class WindowCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    svc_.set_default("GET", "/", Reply::text(200, "<p>app</p>", "text/html"));
    svc_.set_default("GET", "/paid", Reply::text(200, "<p>paid</p>", "text/html"));
    ApplicationOptions options;
    options.endpoints = common::Endpoints(app_url(), QString::fromStdString(svc_.base_url()));
    options.watchdog = false;  // at twenty times the speed it would judge pages too soon
    options.opener = [](const QUrl&) { return true; };
    options.profile_name = QString();
    app_ = std::make_unique<Application>(std::move(options));
    app_->set_up();
    ASSERT_TRUE(wait_until([&] { return app_->main_window()->page()->url() == QUrl(app_url()); },
                           std::chrono::seconds(30)));
  }
  QString app_url() const { return QString::fromStdString(svc_.base_url() + "/"); }

  // Starts a command and returns its task; dialogs answer only while the loop runs.
  QCoro::Task<app::CommandResult> start(const std::string& name,
                                        common::Json args = common::Json::object()) {
    return app_->commands().invoke(name, std::move(args));
  }
  QFileDialog* open_dialog() {
    QFileDialog* found = nullptr;
    wait_until([&] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<QFileDialog*>(w); d != nullptr && d->isVisible()) found = d;
      }
      return found != nullptr;
    });
    return found;
  }

  TestService svc_;
  std::unique_ptr<Application> app_;
};

TEST_F(WindowCommandsTest, ThePaymentWindowIsReusedAndHandsTheReturnToTheMainWindow) {
  const app::CommandResult first =
      test::run(start("agent_pay", {{"url", "https://127.0.0.1:9/checkout"}}));
  ASSERT_TRUE(first.ok()) << first.message();
  PaymentWindow* payment = app_->host().payment_window();
  ASSERT_NE(payment, nullptr);
  EXPECT_EQ(payment->windowTitle(), QString::fromUtf8("\u067e\u0631\u062f\u0627\u062e\u062a"));
  EXPECT_EQ(payment->size(), QSize(480, 760));
  EXPECT_EQ(payment->minimumSize(), QSize(380, 560));
  EXPECT_TRUE(payment->isVisible());

  ASSERT_TRUE(test::run(start("agent_pay", {{"url", "https://127.0.0.1:9/again"}})).ok());
  EXPECT_EQ(app_->host().payment_window(), payment);  // the same window, not a second one
  int payment_windows = 0;
  for (QWidget* w : QApplication::topLevelWidgets())
    payment_windows += qobject_cast<PaymentWindow*>(w) ? 1 : 0;
  EXPECT_EQ(payment_windows, 1);

  // The provider sends the user back to the chat application.
  payment->page()->load(QUrl(app_url() + QStringLiteral("paid")));
  ASSERT_TRUE(wait_until([&] { return app_->host().payment_window() == nullptr; }));
  EXPECT_TRUE(wait_until(
      [&] {
        return app_->main_window()->page()->url() == QUrl(app_url() + QStringLiteral("paid"));
      },
      std::chrono::seconds(30)));
}

TEST_F(WindowCommandsTest, PickersReturnTheChoiceOrNothing) {
  QTemporaryDir dir;
  auto picking = start("agent_pick_folder");
  QFileDialog* dialog = open_dialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(
      dialog->windowTitle(),
      QString::fromUtf8("\u067e\u0648\u0634\u0647\u06cc \u06a9\u0627\u0631\u06cc \u0631\u0627 "
                        "\u0627\u0646\u062a\u062e\u0627\u0628 \u06a9\u0646\u06cc\u062f"));
  EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
  dialog->setDirectory(dir.path());
  dialog->selectFile(dir.path());
  static_cast<QDialog*>(dialog)->accept();  // through QDialog: accept is public there
  const app::CommandResult chosen = test::run(std::move(picking));
  ASSERT_TRUE(chosen.ok());
  EXPECT_EQ(chosen.value(), dir.path().toStdString());

  auto cancelled = start("chatgpt_pick_export");
  dialog = open_dialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("ChatGPT export"));
  EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("ChatGPT export (zip) (*.zip)")});
  dialog->reject();
  const app::CommandResult none = test::run(std::move(cancelled));
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().is_null());
}

}  // namespace
}  // namespace window_commands_test
}  // namespace kavor::shell
