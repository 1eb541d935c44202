#include <QApplication>
#include <QQuickWindow>

#include <cstdio>
#include <cstring>

#include "app/mcp_main.h"
#include "common/build_config.h"
#include "exec/run_keeper.h"
#include "platform/end_signals.h"
#include "platform/engine_flags.h"
#include "platform/start_trace.h"
#include "shell/application.h"
#include "shell/asset_scheme.h"
#include "shell/single_instance.h"

namespace {

QtMessageHandler g_previous_handler = nullptr;

// While the windowing system's OpenGL is off on purpose, the one warning that it is off says
// nothing the user needs to act on; everything else goes where it went.
void without_opengl_warning(QtMsgType type, const QMessageLogContext& context,
                            const QString& text) {
  if (type == QtWarningMsg &&
      text.contains(QLatin1String("Cannot create platform OpenGL context"))) {
    return;
  }
  if (g_previous_handler != nullptr) g_previous_handler(type, context, text);
}

}  // namespace

int main(int argc, char* argv[]) {
  // A keeper of fenced commands made anew (run_keeper.h): nothing of the agent starts.
  if (argc == 2 && std::strcmp(argv[1], kavor::exec::kKeeperArgument) == 0) {
    return kavor::exec::keep_fenced_runs();
  }
  kavor::platform::start_milestone("main entered");
  // Answered before anything starts, so it works without a display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kavor-agent %s\n", kavor::common::build::kVersion);
    return 0;
  }
  // While the process is small: the keeper of fenced commands is a copy of it, for as long as
  // the agent runs.
  kavor::exec::start_run_keeper(true);
  // Before the application object starts any thread, so that every thread shares the handlers.
  kavor::platform::catch_end_signals();
  kavor::platform::limit_allocator_arenas();
  // The protocol server runs without a window: nothing of the engine or the shell starts.
  if (argc >= 2 && std::strcmp(argv[1], "mcp") == 0) return kavor::app::mcp_main(argc, argv);
  // Read by the engine when it starts, with the application object.
  kavor::platform::add_agent_engine_flags();
  kavor::shell::register_asset_scheme();
  // Before any window: the web view draws through Qt Quick.
  const bool software = kavor::platform::draw_in_software();
  if (software) QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  kavor::platform::WithoutWindowSystemOpenGL no_opengl(software);
  if (software) g_previous_handler = qInstallMessageHandler(without_opengl_warning);
  QApplication app(argc, argv);
  no_opengl.restore();
  if (software) qInstallMessageHandler(g_previous_handler);
  kavor::platform::start_milestone("application object made");
  QApplication::setApplicationName(QString::fromUtf8(kavor::common::build::kProgramName));
  QApplication::setApplicationDisplayName(QStringLiteral("Kavor Agent"));

  kavor::shell::SingleInstance instance;
  if (instance.activate_running()) return 0;

  kavor::shell::Application application;
  using Listening = kavor::shell::SingleInstance::Listening;
  switch (instance.listen([&application] {
    if (auto* window = application.main_window()) window->bring_forward();
  })) {
    case Listening::Yes:
      break;
    case Listening::AnotherRuns:
      // Another start won the race for the socket: hand over to it.
      instance.activate_running();
      return 0;
    case Listening::Unavailable:
      std::fputs("Kavor Agent runs without its single-instance socket: none could be made.\n",
                 stderr);
      break;
  }
  // A signal ends the program as closing its window does; the window may not exist yet. Made
  // after the application object, so it is gone before the application's ordered end runs.
  kavor::platform::EndSignals ending([&application](int) {
    if (auto* window = application.main_window()) window->close();
    QApplication::quit();
  });
  application.set_up();
  const int code = app.exec();
  if (code != 0) {
    std::fputs("error while running Kavor Agent\n", stderr);
  }
  return code;
}
