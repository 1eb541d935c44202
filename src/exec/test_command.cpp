#include "exec/test_command.h"

#include <fcntl.h>

#include "common/json.h"
#include "walk/small_file.h"

namespace kavor::exec {

namespace {

namespace fs = std::filesystem;

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// A project file read by the rules of walk/small_file.h, only a regular one. Links are
// followed, as the build tools that read these files follow them: what is read only decides
// which test command is proposed, and is never shown.
std::optional<std::string> read_project_file(const fs::path& path, walk::AtBound at_bound) {
  walk::FileBytes read = walk::read_small_file(AT_FDCWD, path.native(),
                                               {kProjectFileLimit, at_bound, walk::Links::Follow});
  if (!read.ok()) return std::nullopt;
  return std::move(read.bytes);
}

std::optional<std::string> node_command(const fs::path& folder) {
  const auto text = read_project_file(folder / "package.json", walk::AtBound::Refuse);
  if (!text) return std::nullopt;
  const auto json = common::parse_json(*text);
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
    if (const auto text = read_project_file(folder / name, walk::AtBound::Cut)) {
      return has_test_target(*text) ? std::optional<std::string>("make test") : std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace kavor::exec
