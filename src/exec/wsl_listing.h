// The WSL distributions of this computer, as `wsl.exe -l -v` lists them. That program writes
// UTF-16LE when its output goes to a pipe, while other versions and wrappers write UTF-8; the
// bytes themselves tell which: a UTF-16LE byte-order mark, or a zero in every second byte over
// the first 64 code units (each line begins with ASCII: names, blanks, an asterisk).
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "exec/runner.h"

namespace kavor::exec {

// Code units looked at to tell UTF-16LE from UTF-8.
inline constexpr std::size_t kUtf16ProbeUnits = 64;
// The listing is a quick question; a wsl.exe that does not answer in this time is stopped.
inline constexpr std::chrono::seconds kListingTimeout{60};

// The listing's bytes as text, without byte-order marks and NUL characters.
std::string decode_wsl_listing(std::string_view bytes);

// Runs the listing on the calling thread: the listing, or the failure's message
// ("WSL is not available: {error}" when wsl.exe cannot start, "{output}\n[WSL is not
// installed or not set up]" when it fails).
RunOutcome list_wsl_distributions(const std::filesystem::path& folder,
                                  const std::atomic<bool>& stop);

}  // namespace kavor::exec
