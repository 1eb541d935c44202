#include "exec/test_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/json.h"

namespace kavor::exec {

namespace {

namespace fs = std::filesystem;

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// Up to `limit` bytes of a regular file (one more, so that the caller can tell it was longer);
// nothing when it is not a regular file or cannot be read.
std::optional<std::string> read_regular(const fs::path& path, std::uint64_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::string> out;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    out.emplace();
    char buffer[65536];
    while (out->size() <= limit) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        out.reset();
        break;
      }
      if (n == 0) break;
      out->append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return out;
}

std::optional<std::string> node_command(const fs::path& folder) {
  const auto text = read_regular(folder / "package.json", kProjectFileLimit);
  if (!text || text->size() > kProjectFileLimit) return std::nullopt;
  const auto json = parse_json(*text);
  if (!json || !json->is_object()) return std::nullopt;
  const auto scripts = json->find("scripts");
  if (scripts == json->end() || !scripts->is_object()) return std::nullopt;
  const auto test = scripts->find("test");
  if (test == scripts->end() || !test->is_string()) return std::nullopt;
  if (present(folder / "bun.lock") || present(folder / "bun.lockb")) return "bun run test";
  if (present(folder / "pnpm-lock.yaml")) return "pnpm test";
  if (present(folder / "yarn.lock")) return "yarn test";
  return "npm test";
}

bool has_test_target(const std::string& makefile) {
  std::size_t start = 0;
  while (start < makefile.size()) {
    if (makefile.compare(start, 5, "test:") == 0) return true;
    const std::size_t end = makefile.find('\n', start);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<std::string> detect_test_command(const fs::path& folder) {
  if (present(folder / "Cargo.toml")) return "cargo test";
  if (auto node = node_command(folder)) return node;
  if (present(folder / "go.mod")) return "go test ./...";
  for (const char* name : {"pytest.ini", "pyproject.toml", "setup.py", "tox.ini"}) {
    if (present(folder / name)) return "python -m pytest -q";
  }
  for (const char* name : {"Makefile", "makefile", "GNUmakefile"}) {
    if (const auto text = read_regular(folder / name, kProjectFileLimit)) {
      return has_test_target(*text) ? std::optional<std::string>("make test") : std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace kavor::exec
