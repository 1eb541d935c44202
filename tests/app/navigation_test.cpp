#include "app/navigation.h"

#include <gtest/gtest.h>

namespace kavor::app {
namespace navigation_test {
namespace {

TEST(Navigation, OnlyLocalPagesAndTheApplicationOriginLoadInTheWindow) {
  const common::Endpoints e(QStringLiteral("https://chat.example.test/"),
                            QStringLiteral("https://api.example.test"));
  const struct {
    const char* url;
    Navigation expected;
  } cases[] = {
      {"https://chat.example.test/c/123", Navigation::Allow},
      {"https://chat.example.test:443/", Navigation::Allow},
      {"kavor://localhost/error.html#offline", Navigation::Allow},
      {"about:blank", Navigation::Allow},
      {"https://chat.example.test.evil.test/", Navigation::OpenExternal},
      {"http://chat.example.test/", Navigation::OpenExternal},
      {"https://api.example.test/", Navigation::OpenExternal},
      {"https://example.org/docs", Navigation::OpenExternal},
      {"mailto:help@example.org", Navigation::OpenExternal},
      {"file:///etc/passwd", Navigation::Drop},
      {"javascript:alert(1)", Navigation::Drop},
      {"ftp://example.org/x", Navigation::Drop},
      {"data:text/html,hi", Navigation::Drop},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decide_navigation(QUrl(QString::fromLatin1(c.url)), e), c.expected) << c.url;
  }
}

}  // namespace
}  // namespace navigation_test
}  // namespace kavor::app
