// A Host without windows for core tests: remembers what it shows, every navigation and every
// event, and answers pickers with preset choices.
#pragma once

#include <QUrl>

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "common/host.h"

namespace kavor::test {

class RecordingHost : public common::Host {
 public:
  explicit RecordingHost(QUrl start = QUrl(QStringLiteral("kavor://localhost/index.html")))
      : current_(std::move(start)) {}

  std::optional<QUrl> main_window_url() override {
    if (!has_window) return std::nullopt;
    return current_;
  }
  bool navigate_main_window(const QUrl& url) override {
    if (!has_window) return false;
    current_ = url;
    visited.push_back(url.toString());
    return true;
  }
  // Recorded as a navigation too, and also apart, so a test can tell the two kinds of loads.
  bool replace_hung_page(const QUrl& url) override {
    if (!navigate_main_window(url)) return false;
    replaced.push_back(url.toString());
    return true;
  }
  void emit_event(const QString& name, const common::Json& payload) override {
    std::lock_guard lock(mutex_);
    events_.emplace_back(name, payload);
  }
  Result<void> open_external(const QUrl& url) override {
    opened.push_back(url.toString());
    if (open_error) return fail(open_error->toStdString());
    return {};
  }
  Result<void> open_payment(const QUrl& url) override {
    payments.push_back(url.toString());
    return {};
  }
  std::optional<WindowState> main_window_state() override {
    ++window_state_asked;
    if (!has_window) return std::nullopt;
    return window;
  }
  void request_attention(Attention level) override { attention.push_back(level); }
  bool run_page_script(const QString& script, std::function<void()> done) override {
    if (!has_window) return false;
    scripts.push_back(script);
    if (page_answers) done();
    return true;
  }
  QCoro::Task<std::optional<QString>> pick_folder(QString title) override {
    titles.push_back(title);
    std::optional<QString> choice = picked;
    co_return choice;
  }
  QCoro::Task<std::optional<QString>> pick_file(QString title, QString filter_name,
                                                QString extension) override {
    titles.push_back(title + QStringLiteral("|") + filter_name + QStringLiteral("|") + extension);
    std::optional<QString> choice = picked;
    co_return choice;
  }

  std::vector<std::pair<QString, common::Json>> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<common::Json> events(const QString& name) const {
    std::lock_guard lock(mutex_);
    std::vector<common::Json> out;
    for (const auto& [n, p] : events_) {
      if (n == name) out.push_back(p);
    }
    return out;
  }

  bool has_window = true;
  WindowState window{true, false, false};  // shown, but the user is elsewhere
  std::vector<Attention> attention;
  std::vector<QString> scripts;
  bool page_answers = true;  // whether page scripts complete
  std::vector<QString> visited;
  std::vector<QString> replaced;  // the loads that ended a hung page first
  std::vector<QString> opened;
  std::vector<QString> payments;
  std::optional<QString> open_error;
  std::optional<QString> picked;
  std::vector<QString> titles;
  // How often the window's state was asked for: a sign that a task looked again.
  std::atomic<int> window_state_asked{0};

 private:
  QUrl current_;
  mutable std::mutex mutex_;
  std::vector<std::pair<QString, common::Json>> events_;
};

}  // namespace kavor::test
