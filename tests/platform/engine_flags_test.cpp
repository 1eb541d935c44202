#include "platform/engine_flags.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
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

// The variable `name` as it was, put back when this ends.
class KeptVariable {
 public:
  explicit KeptVariable(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) old_ = value;
  }
  ~KeptVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  KeptVariable(const KeptVariable&) = delete;
  KeptVariable& operator=(const KeptVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Software drawing only where OpenGL would be emulated, and never against the user's choice;
// the windowing system's OpenGL is off only while asked, and never inherited by what starts
// afterwards.
TEST(EngineFlags, SoftwareDrawingWithoutAGpuOnlyAndNothingLeftInTheEnvironment) {
  const KeptVariable quick("QT_QUICK_BACKEND");
  const KeptVariable rhi("QSG_RHI_BACKEND");
  const KeptVariable gl("QT_XCB_GL_INTEGRATION");
  ::unsetenv("QT_QUICK_BACKEND");
  ::unsetenv("QSG_RHI_BACKEND");
  ::unsetenv("QT_XCB_GL_INTEGRATION");
  QTemporaryDir dir;
  const std::filesystem::path dri = dir.path().toStdString();
  EXPECT_TRUE(draw_in_software(dri / "missing"));
  EXPECT_TRUE(draw_in_software(dri));
  std::ofstream(dri / "card0").put('\n');  // a display controller alone draws nothing
  EXPECT_TRUE(draw_in_software(dri));
  std::ofstream(dri / "renderD128").put('\n');
  EXPECT_FALSE(draw_in_software(dri));
  std::filesystem::remove(dri / "renderD128");
  ::setenv("QSG_RHI_BACKEND", "vulkan", 1);
  EXPECT_FALSE(draw_in_software(dri));
  ::unsetenv("QSG_RHI_BACKEND");
  ::setenv("QT_QUICK_BACKEND", "opengl", 1);
  EXPECT_FALSE(draw_in_software(dri));

  {
    WithoutWindowSystemOpenGL off(true);
    EXPECT_STREQ(std::getenv("QT_XCB_GL_INTEGRATION"), "none");
    off.restore();
    EXPECT_EQ(std::getenv("QT_XCB_GL_INTEGRATION"), nullptr);
  }
  {
    const WithoutWindowSystemOpenGL on(false);
    EXPECT_EQ(std::getenv("QT_XCB_GL_INTEGRATION"), nullptr);
  }
  ::setenv("QT_XCB_GL_INTEGRATION", "xcb_egl", 1);
  { const WithoutWindowSystemOpenGL off(true); }
  EXPECT_STREQ(std::getenv("QT_XCB_GL_INTEGRATION"), "xcb_egl");
}

}  // namespace
}  // namespace engine_flags_test
}  // namespace kavor::platform
