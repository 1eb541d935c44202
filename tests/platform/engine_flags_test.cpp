#include "platform/engine_flags.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kavor::platform {
namespace engine_flags_test {
namespace {

const std::string kOurs = "--disable-features=BackForwardCache,SpareRendererForSitePerProcess";

TEST(EngineFlags, TheUsersSwitchesAreKeptAndTheFeatureListsJoined) {
  EXPECT_EQ(with_agent_engine_flags(""), kOurs);
  EXPECT_EQ(with_agent_engine_flags("  --disable-gpu  "), "--disable-gpu " + kOurs);
  // One --disable-features only: a second one would make the engine drop the user's list.
  EXPECT_EQ(with_agent_engine_flags("--disable-features=Foo,Bar --single-process"),
            "--disable-features=Foo,Bar,BackForwardCache,SpareRendererForSitePerProcess "
            "--single-process");
  // Only the last of the user's lists counted before; it is the one that is kept.
  EXPECT_EQ(with_agent_engine_flags("--disable-features=Old --disable-features=New"),
            "--disable-features=New,BackForwardCache,SpareRendererForSitePerProcess");
  // Named by the user already: not twice.
  EXPECT_EQ(with_agent_engine_flags("--disable-features=BackForwardCache"), kOurs);
}

TEST(EngineFlags, AFeatureTheUserEnabledStaysEnabled) {
  EXPECT_EQ(with_agent_engine_flags("--enable-features=BackForwardCache,Other"),
            "--enable-features=BackForwardCache,Other "
            "--disable-features=SpareRendererForSitePerProcess");
  EXPECT_EQ(with_agent_engine_flags(
                "--enable-features=BackForwardCache,SpareRendererForSitePerProcess --x"),
            "--enable-features=BackForwardCache,SpareRendererForSitePerProcess --x");
}

TEST(EngineFlags, TheEnvironmentGetsTheJoinedSwitches) {
  const char* before = std::getenv("QTWEBENGINE_CHROMIUM_FLAGS");
  const std::string kept = before == nullptr ? "" : before;
  ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 1);
  add_agent_engine_flags();
  EXPECT_EQ(std::string(std::getenv("QTWEBENGINE_CHROMIUM_FLAGS")), "--disable-gpu " + kOurs);
  if (before == nullptr) {
    ::unsetenv("QTWEBENGINE_CHROMIUM_FLAGS");
  } else {
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", kept.c_str(), 1);
  }
}

}  // namespace
}  // namespace engine_flags_test
}  // namespace kavor::platform
