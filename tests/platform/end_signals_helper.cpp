// Catches the end signals as the program does, prints the signal state and descriptors a child
// it starts begins with, then receives SIGTERM before its event loop runs. Prints "ended N" for
// the signal the loop then reports, and exits 0.
//
//   end_signals_helper
#include <QCoreApplication>
#include <QProcess>

#include <csignal>
#include <cstdio>

#include "platform/end_signals.h"

int main(int argc, char** argv) {
  kavor::platform::catch_end_signals();
  QCoreApplication app(argc, argv);
  // The shell reads its own masks with built-ins only: a program it started for that would
  // read them while the shell forks, when it blocks every signal for a moment.
  QProcess child;
  child.start(QStringLiteral("sh"),
              {QStringLiteral("-c"),
               QStringLiteral("while read -r line; do case $line in Sig[IB]*) echo \"$line\";; "
                              "esac; done < /proc/$$/status; ls -l /proc/$$/fd")});
  child.waitForFinished();
  std::fputs(child.readAll().constData(), stdout);

  std::raise(SIGTERM);
  kavor::platform::EndSignals ending([](int signal) {
    std::printf("ended %d\n", signal);
    QCoreApplication::quit();
  });
  return app.exec();
}
