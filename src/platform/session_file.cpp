#include "platform/session_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/text.h"

namespace kavor::platform {

namespace {

constexpr std::size_t kSecretBytes = 32;
// A secret file is a line of hexadecimal; anything longer is not one of ours.
constexpr std::size_t kMaxFileBytes = 256;
constexpr std::size_t kMinSecretDigits = 32;
// Nobody but the owner may read, write or enter.
constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kOthersBits = 077;

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool is_hex_text(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

// Makes the folder when missing, then checks that it is a private folder of ours.
Result<void> private_folder(const std::string& folder) {
  if (mkdir(folder.c_str(), kPrivateFolder) != 0 && errno != EEXIST) {
    return fail("The folder " + folder +
                " for the session file cannot be made: " + errno_text(errno) + ".");
  }
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0) {
    return fail("The folder " + folder +
                " for the session file cannot be read: " + errno_text(errno) + ".");
  }
  if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode)) {
    return fail("The path " + folder + " for the session file is not a folder of its own.");
  }
  if (info.st_uid != geteuid()) {
    return fail("The folder " + folder + " for the session file belongs to another user.");
  }
  if ((info.st_mode & kOthersBits) != 0) {
    return fail("The folder " + folder +
                " for the session file is open to other users; make it private (mode 700).");
  }
  return {};
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string default_session_file() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    return std::string(runtime) + "/kavor-agent/session";
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  return base + "/kavor-agent-" + std::to_string(geteuid()) + "/session";
}

std::string agent_session_file() {
  const char* chosen = std::getenv(kSessionFileVariable);
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  return default_session_file();
}

std::string new_session_secret() {
  unsigned char bytes[kSecretBytes];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    // getrandom only fails on kernels older than any this program supports.
    if (n <= 0) std::abort();
    filled += static_cast<std::size_t>(n);
  }
  std::string out;
  for (unsigned char b : bytes) {
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 0xf];
  }
  return out;
}

Result<void> write_session_secret(const std::string& path, std::string_view secret) {
  const std::string folder = folder_of(path);
  if (const Result<void> usable = private_folder(folder); !usable.ok()) return usable.error();
  std::string temporary = folder + "/.session-XXXXXX";
  // mkstemp makes the file with mode 0600 and O_EXCL: nobody else can have opened it.
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    return fail("The session file cannot be written in " + folder + ": " + errno_text(errno) + ".");
  }
  const std::string line = std::string(secret) + "\n";
  const bool written = fchmod(fd, kPrivateFile) == 0 && write_all(fd, line) && fsync(fd) == 0;
  const int error = errno;
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    const int failure = written ? errno : error;
    unlink(temporary.c_str());
    return fail("The session file " + path + " cannot be written: " + errno_text(failure) + ".");
  }
  return {};
}

Result<std::string> read_session_secret(const std::string& path) {
  // O_NOFOLLOW refuses a link in the last place; O_NONBLOCK keeps a FIFO from stalling the open.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      return fail(
          "There is no session file at " + path + "; kavor-service makes it when it starts.",
          ErrorKind::NotFound);
    }
    if (errno == ELOOP) return fail("The session file " + path + " is a link; it is not read.");
    return fail("The session file " + path + " cannot be read: " + errno_text(errno) + ".");
  }
  struct stat info {};
  std::string text;
  std::optional<Error> refused;
  if (fstat(fd, &info) != 0) {
    refused = fail("The session file " + path + " cannot be read: " + errno_text(errno) + ".");
  } else if (!S_ISREG(info.st_mode)) {
    refused = fail("The session file " + path + " is not a regular file; it is not read.");
  } else if (info.st_uid != geteuid()) {
    refused = fail("The session file " + path + " belongs to another user; it is not read.");
  } else if ((info.st_mode & kOthersBits) != 0) {
    refused = fail("The session file " + path + " can be read by other users; it is not used.");
  } else {
    // One byte more than a secret may take tells a longer file apart.
    char buffer[kMaxFileBytes + 1];
    std::size_t total = 0;
    while (total < sizeof buffer) {
      const ssize_t n = read(fd, buffer + total, sizeof buffer - total);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      total += static_cast<std::size_t>(n);
    }
    text.assign(buffer, total);
  }
  close(fd);
  if (refused) return *refused;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.size() < kMinSecretDigits || text.size() > kMaxFileBytes || !is_hex_text(text)) {
    return fail("The session file " + path + " does not hold a session secret.");
  }
  return text;
}

void remove_session_secret(const std::string& path, std::string_view secret) {
  const Result<std::string> held = read_session_secret(path);
  if (held.ok() && held.value() == secret) unlink(path.c_str());
}

}  // namespace kavor::platform
