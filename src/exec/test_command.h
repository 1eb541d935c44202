// Finding a project's test command from the files in its folder, when the assistant does not
// name one. Only the folder itself is looked at, and the first rule that applies wins:
//   1. Cargo.toml                                          cargo test
//   2. package.json with a string "test" in its "scripts"  bun run test   (bun.lock, bun.lockb)
//                                                          pnpm test      (pnpm-lock.yaml)
//                                                          yarn test      (yarn.lock)
//                                                          npm test       (otherwise)
//   3. go.mod                                              go test ./...
//   4. pytest.ini, pyproject.toml, setup.py or tox.ini     python -m pytest -q
//   5. Makefile, makefile or GNUmakefile (the first that can be read) with a line starting
//      "test:"                                             make test
// The folder belongs to the workspace, so anything in it may be hostile: only regular files
// are read (a pipe named package.json would block the reader forever), and only their first
// kProjectFileLimit bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kavor::exec {

// Bytes of package.json or a makefile looked at; a longer package.json does not count.
inline constexpr std::uint64_t kProjectFileLimit = 4 * 1024 * 1024;

std::optional<std::string> detect_test_command(const std::filesystem::path& folder);

}  // namespace kavor::exec
