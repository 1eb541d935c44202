// The session secret that ties the local chat service to the agent window of the same user.
//
// The local service answers on loopback, where every user of the machine and every web page the
// user opens can reach it. Its chat routes and its link token are therefore served only to
// requests that carry a secret, and only the agent's own webview adds that secret, to the
// requests the chat application's pages make of their own origin. The secret travels through a
// file that only the user can read:
//
//   1. The service makes a fresh secret (32 random bytes as hexadecimal) after it has bound its
//      ports, and writes it to the file: a new file in the same folder, made readable and
//      writable by its owner only from the moment it exists, then renamed over the old one.
//      The folder is made when missing (mode 0700); one that exists must be a real folder (not
//      a link), owned by the user and closed to everyone else.
//   2. The agent reads the file at each request that needs it, so a restarted service's new
//      secret is picked up. A file that is a link, not a regular file, not owned by the user or
//      open to the group or others is refused: its secret may be known to someone else, or be
//      someone else's.
//
// The file's path is given to both programs (`kavor-service --session-file PATH`, and
// KAVOR_AGENT_SESSION_FILE for the agent); the secret itself never appears on a command line,
// which every user can read in /proc. Without a path both use default_session_file().
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace kavor::platform {

// The request header that carries the secret.
inline constexpr const char* kSessionHeader = "X-Kavor-Session";

// The agent reads the path of the session file from this variable.
inline constexpr const char* kSessionFileVariable = "KAVOR_AGENT_SESSION_FILE";

// $XDG_RUNTIME_DIR/kavor-agent/session when XDG_RUNTIME_DIR names an absolute folder, else
// kavor-agent-{uid}/session in the temporary folder ($TMPDIR or /tmp).
std::string default_session_file();

// KAVOR_AGENT_SESSION_FILE when set and not empty, else default_session_file().
std::string agent_session_file();

// 32 bytes from the system's random source as 64 lower-case hexadecimal digits.
std::string new_session_secret();

// Writes `secret` to `path` as described above.
Result<void> write_session_secret(const std::string& path, std::string_view secret);

// Reads and checks the secret at `path`; ErrorKind::NotFound when there is no file.
Result<std::string> read_session_secret(const std::string& path);

// Removes the file at `path` when it still holds `secret` (a newer service may have replaced it).
void remove_session_secret(const std::string& path, std::string_view secret);

}  // namespace kavor::platform
