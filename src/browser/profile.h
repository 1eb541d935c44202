// The profile folder of a private browser: made fresh for each browser, readable by its owner
// only, and removed once the browser has ended.
//
// 1. make_profile_folder() makes "kavor-agent-browser-{pid}-{counter}-{random}" in the temporary
//    folder. The random end matters: the process id is known to every user of the computer, who
//    could otherwise make folders of the coming names first and keep every browser from
//    starting.
// 2. remove_profile_later() removes it on a thread of its own, since a killed browser's last
//    processes may still write files for a moment: up to 20 attempts, 250 ms apart, stopping
//    once it is gone. The folder of the browser's own socket goes too (it lies outside the
//    profile, and a browser that is killed leaves it behind): the one the profile's
//    SingletonSocket link points into, when it is a folder of this user holding nothing but
//    the browser's Singleton entries.
#pragma once

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "platform/result.h"

namespace kavor::browser {

// Real time: the removal waits on the browser's processes, not on the protocol.
inline constexpr int kRemovalAttempts = 20;
inline constexpr std::chrono::milliseconds kRemovalPause{250};

// Where step 1 makes the profiles: the temporary folder and a name pattern ("...-*").
std::filesystem::path private_profile_pattern();

// The profile folders of the browsers a user may have installed, relative to the home folder:
// they hold cookies and saved passwords.
std::vector<std::filesystem::path> installed_browser_profiles();

// A fresh profile folder (step 1), or the error.
Result<std::filesystem::path> make_profile_folder();

// Step 2; the future tells whether the folder is gone.
std::shared_future<bool> remove_profile_later(std::string folder);

}  // namespace kavor::browser
