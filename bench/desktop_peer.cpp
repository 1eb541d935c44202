// The reference for bench/run-desktop: a bare program with one web view that loads the chat
// application from the local service, with nothing of the agent around it. What it costs is
// what the web engine itself costs; the agent is measured against it.
//
//   desktop_peer URL
//
// Like the agent it reads the service's session secret (KAVOR_AGENT_SESSION_FILE or the
// default place) and sends it with the application's requests, so that the page runs as it
// does in the agent. It writes one line when the page's first document exists:
//
//   desktop-peer start-trace <milliseconds since the process started> ms: chat page first script
#include <QApplication>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

#include <cstdio>

#include "platform/session_file.h"
#include "platform/start_trace.h"

namespace {

constexpr QLatin1StringView kMark("desktop-peer: first script");

class SessionHeader : public QWebEngineUrlRequestInterceptor {
 public:
  explicit SessionHeader(QUrl app) : app_(std::move(app)) {}
  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    if (info.requestUrl().host() != app_.host() || info.requestUrl().port() != app_.port()) return;
    const kavor::Result<std::string> secret =
        kavor::platform::read_session_secret(kavor::platform::agent_session_file());
    if (secret.ok()) {
      info.setHttpHeader(kavor::platform::kSessionHeader,
                         QByteArray::fromStdString(secret.value()));
    }
  }

 private:
  QUrl app_;
};

class Page : public QWebEnginePage {
 public:
  using QWebEnginePage::QWebEnginePage;

 protected:
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                int line, const QString& source) override {
    if (message == kMark) {
      if (!told_) {
        told_ = true;
        std::fprintf(stderr, "desktop-peer start-trace %.1f ms: chat page first script\n",
                     kavor::platform::ms_since_process_start());
        std::fflush(stderr);
      }
      return;
    }
    QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
  }

 private:
  bool told_ = false;
};

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fputs("usage: desktop_peer URL\n", stderr);
    return 2;
  }
  const QUrl url(QString::fromLocal8Bit(argv[1]));
  QWebEngineProfile profile(QStringLiteral("desktop-peer"));
  SessionHeader header(url);
  profile.setUrlRequestInterceptor(&header);
  QWebEngineView view;
  auto* page = new Page(&profile, &view);
  QWebEngineScript mark;
  mark.setSourceCode(QStringLiteral("console.info('%1');").arg(kMark));
  mark.setInjectionPoint(QWebEngineScript::DocumentCreation);
  mark.setWorldId(QWebEngineScript::MainWorld);
  page->scripts().insert(mark);
  view.setPage(page);
  view.setWindowTitle(QStringLiteral("desktop-peer"));
  view.resize(1180, 800);
  view.show();
  page->load(url);
  // The view, made after the profile, goes before it, and the page with it.
  return app.exec();
}
