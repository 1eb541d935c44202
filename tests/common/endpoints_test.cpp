#include "common/endpoints.h"

#include <gtest/gtest.h>

namespace kavor::common {
namespace endpoints_test {
namespace {

TEST(Endpoints, ApiBaseNeverEndsInSlashAndAssetsResolveAgainstTheLocalOrigin) {
  const Endpoints e(QStringLiteral("https://chat.example.test/"),
                    QStringLiteral("https://api.example.test///"));
  EXPECT_EQ(e.api_base(), QStringLiteral("https://api.example.test"));
  EXPECT_FALSE(
      (e.api_base() + QStringLiteral("/bridge/poll")).mid(8).contains(QLatin1String("//")));

  const QUrl error = e.asset_url(QStringLiteral("error.html#server"));
  EXPECT_EQ(error.path(), QStringLiteral("/error.html"));
  EXPECT_EQ(error.fragment(), QStringLiteral("server"));
  EXPECT_EQ(error.scheme(), QString::fromLatin1(kAssetScheme));
  // A reference that is not a URL falls back to the origin itself.
  EXPECT_EQ(e.asset_url(QStringLiteral("http://[bad")), QUrl(Endpoints::default_asset_base()));
  EXPECT_EQ(e.app_url(), QUrl(QStringLiteral("https://chat.example.test/")));
}

TEST(Endpoints, SameOriginComparesSchemeHostAndEffectivePort) {
  const QUrl app(QStringLiteral("https://chat.example.test/"));
  EXPECT_TRUE(same_origin(app, QUrl(QStringLiteral("https://chat.example.test:443/c/1?x#y"))));
  EXPECT_TRUE(same_origin(app, QUrl(QStringLiteral("https://CHAT.example.test/"))));
  EXPECT_FALSE(same_origin(app, QUrl(QStringLiteral("http://chat.example.test/"))));
  EXPECT_FALSE(same_origin(app, QUrl(QStringLiteral("https://chat.example.test:8443/"))));
  EXPECT_FALSE(same_origin(app, QUrl(QStringLiteral("https://chat.example.test.evil.test/"))));
  EXPECT_FALSE(same_origin(app, QUrl(QStringLiteral("https://chat.example.test@evil.test/"))));
  EXPECT_FALSE(same_origin(app, QUrl(QStringLiteral("file:///chat.example.test/"))));
  EXPECT_FALSE(same_origin(app, QUrl()));
}

TEST(FatalStops, MalformedBuiltInAddressesStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Endpoints(QStringLiteral("not a url"), QStringLiteral("x")).app_url(),
               "valid app url");
  EXPECT_DEATH(
      Endpoints(QStringLiteral("https://a.test/"), QStringLiteral("x"), QStringLiteral("::"))
          .asset_url(QStringLiteral("error.html")),
      "valid asset base url");
}

}  // namespace
}  // namespace endpoints_test
}  // namespace kavor::common
