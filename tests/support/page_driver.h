// What the window tests do with a page of a window: run a script in it and wait for the value,
// the wait long enough for a page of the application to load on a busy machine under Xvfb.
#pragma once

#include <gtest/gtest.h>
#include <QString>
#include <QVariant>
#include <QWebEnginePage>

#include <chrono>

#include "support/wait.h"

namespace kavor::test {

// A page load, scripts and all, with a loaded machine's room.
inline constexpr std::chrono::seconds kPageTimeout{30};

// Runs `script` in `page` and gives its value; a script that has not answered within
// kPageTimeout fails the test and gives an empty value.
inline QVariant run_script(QWebEnginePage* page, const QString& script) {
  QVariant result;
  bool done = false;
  page->runJavaScript(script, [&](const QVariant& v) {
    result = v;
    done = true;
  });
  EXPECT_TRUE(wait_until([&] { return done; }, kPageTimeout)) << script.toStdString();
  return result;
}

}  // namespace kavor::test
