#include "browser/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace kavor::browser {

namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> g_profiles{0};
// The start of every private profile's name; the workspace fence refuses reading them.
const std::string kPrivateProfilePrefix = "kavor-agent-browser-";

// Creates a fresh folder whose name begins with `prefix`, readable by its owner only from the
// first moment; the folder, or the error.
Result<fs::path> make_private_folder(const fs::path& prefix) {
  std::error_code error;
  fs::create_directories(prefix.parent_path(), error);
  if (error) return fail(error.message());
  std::string pattern = prefix.string() + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return fail(errno_text(errno));
  return fs::path(pattern);
}

// The browser's entries in the folder of its socket.
bool is_singleton_entry(const std::string& name) {
  return name == "SingletonSocket" || name == "SingletonCookie" || name == "SingletonLock";
}

// The folder of the browser's socket, which it makes in the temporary folder (a socket's path
// must be short) and links to from the profile. A browser that ends by itself removes it; ours
// are killed, and every one would leave a folder behind.
std::optional<fs::path> singleton_folder(const fs::path& profile) {
  std::error_code error;
  const fs::path socket = fs::read_symlink(profile / "SingletonSocket", error);
  if (error || !socket.is_absolute() || socket.filename() != "SingletonSocket") return std::nullopt;
  const fs::path folder = socket.parent_path();
  if (folder == folder.root_path()) return std::nullopt;
  return folder;
}

// Removes the folder when it is a real folder of this user with nothing in it but the browser's
// own entries; anything else is left alone.
void remove_singleton_folder(const fs::path& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
    return;
  std::error_code error;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (!is_singleton_entry(it->path().filename().string())) return;
    entries.push_back(it->path());
  }
  if (error) return;
  for (const fs::path& entry : entries) fs::remove(entry, error);
  ::rmdir(folder.c_str());
}

}  // namespace

fs::path private_profile_pattern() {
  return fs::path(QDir::tempPath().toStdString()) / (std::string(kPrivateProfilePrefix) + "*");
}

std::vector<fs::path> installed_browser_profiles() {
  return {".config/chromium",
          ".config/google-chrome",
          ".config/google-chrome-beta",
          ".config/google-chrome-unstable",
          ".config/microsoft-edge",
          ".config/microsoft-edge-beta",
          ".config/microsoft-edge-dev",
          ".config/BraveSoftware",
          ".config/vivaldi",
          ".config/opera",
          ".mozilla",
          ".var/app/org.chromium.Chromium",
          ".var/app/com.google.Chrome",
          ".var/app/com.brave.Browser",
          ".var/app/org.mozilla.firefox",
          "snap/chromium",
          "snap/firefox",
          "snap/brave"};
}

Result<fs::path> make_profile_folder() {
  const unsigned counter = ++g_profiles;
  return make_private_folder(
      fs::path(QDir::tempPath().toStdString()) /
      (kPrivateProfilePrefix + std::to_string(::getpid()) + "-" + std::to_string(counter)));
}

std::shared_future<bool> remove_profile_later(std::string folder) {
  auto done = std::make_shared<std::promise<bool>>();
  std::shared_future<bool> future = done->get_future().share();
  if (folder.empty()) {
    done->set_value(true);
    return future;
  }
  std::thread([folder = std::move(folder), done] {
    // Read before the profile goes, with the link that names it.
    const std::optional<fs::path> socket_folder = singleton_folder(folder);
    bool gone = false;
    for (int attempt = 0; attempt < kRemovalAttempts && !gone; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kRemovalPause);
      std::error_code error;
      if (socket_folder) remove_singleton_folder(*socket_folder);
      fs::remove_all(folder, error);
      gone = !fs::exists(fs::symlink_status(folder, error));
    }
    done->set_value(gone);
  }).detach();
  return future;
}

}  // namespace kavor::browser
