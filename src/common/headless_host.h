// A Host without any window: for running the agent where there is no desktop, and for the
// benchmarks. Events are dropped (nobody listens), there is nothing to navigate, no window
// state, and the pickers answer as if the user cancelled.
#pragma once

#include "common/host.h"

namespace kavor::common {

class HeadlessHost : public Host {
 public:
  std::optional<QUrl> main_window_url() override { return std::nullopt; }
  bool navigate_main_window(const QUrl&) override { return false; }
  bool replace_hung_page(const QUrl&) override { return false; }
  void emit_event(const QString&, const Json&) override {}
  Result<void> open_external(const QUrl&) override {
    return fail("there is no window to open links from");
  }
  Result<void> open_payment(const QUrl&) override {
    return fail("there is no window to show the payment in");
  }
  std::optional<WindowState> main_window_state() override { return std::nullopt; }
  void request_attention(Attention) override {}
  bool run_page_script(const QString&, std::function<void()>) override { return false; }
  QCoro::Task<std::optional<QString>> pick_folder(QString) override { co_return std::nullopt; }
  QCoro::Task<std::optional<QString>> pick_file(QString, QString, QString) override {
    co_return std::nullopt;
  }
};

}  // namespace kavor::common
