#include "exec/fence.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "exec/run_folders.h"
#include "platform/text.h"
#include "walk/owned_fd.h"
#include "walk/path_form.h"

namespace kavor::exec {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMachineTemp = "/tmp";

// What the rule on `fd` was made on, for the run's view to check (namespace.h).
GrantedFolder granted_folder(std::string path, int fd) {
  struct stat info {};
  ::fstat(fd, &info);
  return GrantedFolder{std::move(path), info.st_dev, info.st_ino};
}

// A workspace folder opened for its rule. The folders come resolved, free of links; one found
// on the way now was put there since (by an earlier run, say, that swapped a folder for a link
// to the home folder), and following it would hand this run the place it leads to.
Result<walk::OwnedFd> open_writable(const fs::path& folder) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  walk::OwnedFd fd(
      static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, folder.c_str(), &how, sizeof how)));
  if (!fd.valid() && errno == ELOOP) {
    return fail(folder.string() + " leads through a link that was not there when it was checked");
  }
  if (!fd.valid()) return fail(folder.string() + ": " + errno_text(errno));
  return fd;
}

}  // namespace

std::vector<fs::path> fence_home_folders() {
  std::vector<fs::path> homes;
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    homes.emplace_back(home);
  }
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    homes.emplace_back(found->pw_dir);
  }
  return homes;
}

RunFence::RunFence(int ruleset_fd, fs::path temp_folder)
    : ruleset_fd_(ruleset_fd), temp_folder_(std::move(temp_folder)) {}

RunFence::~RunFence() {
  if (ruleset_fd_ >= 0) ::close(ruleset_fd_);
  if (!temp_folder_.empty()) run_folders().remove_ended(temp_folder_.string());
}

Fence::Fence(ExtraPlaces extra) : extra_(std::move(extra)) {}

std::vector<RefusedPlace> Fence::refused() const {
  std::vector<RefusedPlace> places;
  const std::vector<fs::path> homes = fence_home_folders();
  for (const fs::path& home : homes) {
    for (RefusedPlace& place : home_credential_places(home)) places.push_back(std::move(place));
  }
  if (const char* gnupg = std::getenv("GNUPGHOME"); gnupg != nullptr && gnupg[0] == '/') {
    places.push_back({gnupg});
  }
  if (extra_) {
    for (RefusedPlace& place : extra_(homes)) places.push_back(std::move(place));
  }
  return places;
}

Result<std::shared_ptr<RunFence>> Fence::prepare(const std::vector<fs::path>& writable) const {
  return prepare_fence(refused(), writable);
}

Result<std::shared_ptr<RunFence>> prepare_fence(const std::vector<RefusedPlace>& refused,
                                                const std::vector<fs::path>& writable) {
  // 1. The ruleset, for the rights this kernel knows.
  Result<FenceRuleset> created = FenceRuleset::create();
  if (!created.ok()) return created.error();
  FenceRuleset& rules = created.value();

  // 2. The run's folder; from here it and the ruleset are the fence's, removed and closed with
  //    it.
  Result<std::string> temp = run_folders().take(run_folder_parent());
  if (!temp.ok()) return temp.error();
  auto fence = std::make_shared<RunFence>(rules.release(), temp.value());

  // 3. Reading: a place in the machine's /tmp is out of view when the run has a /tmp of its
  //    own, and its folder is not walked (/tmp may hold hundreds of entries).
  const bool own_temp = run_view_support() != ViewSupport::None &&
                        !view_keeps_real_temp(writable, fence_home_folders());
  std::vector<RefusedPlace> in_view;
  for (const RefusedPlace& place : refused) {
    if (!own_temp || !walk::inside_or_same(kMachineTemp, place.path.lexically_normal().string())) {
      in_view.push_back(place);
    }
  }
  if (Result<void> reading = rules.grant_reading_except(in_view); !reading.ok()) {
    return reading.error();
  }

  // 4. Writing: the workspace folders and the run's own folder with every right, the devices
  //    with reading and writing only.
  std::vector<GrantedFolder> granted;
  for (const fs::path& folder : writable) {
    Result<walk::OwnedFd> fd = open_writable(folder);
    if (!fd.ok()) return fd.error();
    if (!rules.grant(fd->get(), rules.handled())) return fail(errno_text(errno));
    granted.push_back(granted_folder(folder.string(), fd->get()));
  }
  GrantedFolder run_folder;
  {
    const walk::OwnedFd fd(
        ::open(temp.value().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return fail(temp.value() + ": " + errno_text(errno));
    if (!rules.grant(fd.get(), rules.handled())) return fail(errno_text(errno));
    run_folder = granted_folder(temp.value(), fd.get());
  }
  rules.grant_devices();

  // 5. The session's doors (namespace.h), where the system lets the run have a view of its own.
  if (run_view_support() != ViewSupport::None) {
    mark_displays_in_use(temp.value());
    fence->set_view(plan_run_view(run_folder, granted, fence_home_folders(), rules.handled(),
                                  rules.read_rights()));
  }
  return fence;
}

}  // namespace kavor::exec
