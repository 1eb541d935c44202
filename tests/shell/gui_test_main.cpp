// Entry for the window tests: a real QApplication with the webview, run under Xvfb.
#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include "shell/asset_scheme.h"

int main(int argc, char** argv) {
  // Chromium refuses its sandbox as root (CI runs as root); the GPU is absent under Xvfb.
  qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // KAVOR_TEST_CHROMIUM_FLAGS adds to them (--force-dark-mode for pictures of the dark scheme).
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
          "--disable-gpu --no-first-run " + qgetenv("KAVOR_TEST_CHROMIUM_FLAGS"));
  QTemporaryDir home;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
  qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
  kavor::shell::register_asset_scheme();
  QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
