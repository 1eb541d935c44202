// The web engine's process settings that the agent chooses for itself: the engine switches it
// adds to the user's own, and the allocator's arenas. Both must be set before the application
// object exists (the engine reads its switches once, when it starts; the allocator makes its
// arenas as threads first allocate).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kavor::platform {

// The engine features the agent switches off. Neither weakens the page: site isolation and the
// sandbox stay as they are.
// - BackForwardCache: the local loader page, once the chat page has replaced it, would stay
//   alive in its renderer for a way back that the window never offers.
// - SpareRendererForSitePerProcess: a renderer kept warm for the next site; the window stays
//   on the chat application, so it would mostly sit idle and hold its memory.
inline constexpr std::string_view kEngineDisabledFeatures =
    "BackForwardCache,SpareRendererForSitePerProcess";

// `user` (QTWEBENGINE_CHROMIUM_FLAGS as the user set it) with the agent's switches added. The
// engine keeps only the last --disable-features it is given, so the agent's features join the
// user's own list instead of following it as a second switch that would drop theirs. A
// feature the user enabled with --enable-features is left enabled.
std::string with_agent_engine_flags(std::string_view user);

// Puts the agent's switches into QTWEBENGINE_CHROMIUM_FLAGS, keeping what the user set there.
void add_agent_engine_flags();

// Whether the window should draw with Qt Quick's software renderer instead of OpenGL. Without
// a GPU (no render node in `dri`), OpenGL is emulated on the processor (Mesa's llvmpipe), which
// brings a compiler (LLVM) and its caches into the program: about 75 MB more than the software
// renderer needs to draw the same page of text, and no faster. With a GPU, OpenGL stays. A
// user's own choice of graphics (QT_QUICK_BACKEND, QSG_RHI_BACKEND) is kept.
bool draw_in_software(const std::filesystem::path& dri = "/dev/dri");

// Keeps the windowing system's OpenGL off while the application object is made (when `off`),
// so that the web engine's shared OpenGL context, which it makes whatever the window draws
// with, does not load the emulation either. It sets QT_XCB_GL_INTEGRATION to "none" unless the
// user set it; restore() puts the variable back, so that the programs the agent starts later
// do not inherit it.
class WithoutWindowSystemOpenGL {
 public:
  explicit WithoutWindowSystemOpenGL(bool off);
  ~WithoutWindowSystemOpenGL() { restore(); }
  WithoutWindowSystemOpenGL(const WithoutWindowSystemOpenGL&) = delete;
  WithoutWindowSystemOpenGL& operator=(const WithoutWindowSystemOpenGL&) = delete;
  void restore();

 private:
  bool set_ = false;
};

// Caps the allocator's arenas (glibc only; elsewhere nothing).
void limit_allocator_arenas();

}  // namespace kavor::platform
