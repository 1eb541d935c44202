#include "exec/test_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>

#include <fstream>
#include <map>

namespace kavor::exec {
namespace test_command_test {
namespace {

namespace fs = std::filesystem;

TEST(TestCommand, TheFirstRuleThatAppliesWins) {
  struct Case {
    const char* why;
    std::map<std::string, std::string> files;
    std::optional<std::string> expected;
  };
  const std::string with_test = R"({"scripts": {"test": "jest"}})";
  const Case cases[] = {
      {"cargo before everything", {{"Cargo.toml", ""}, {"package.json", with_test}}, "cargo test"},
      {"npm by default", {{"package.json", with_test}}, "npm test"},
      {"bun.lock",
       {{"package.json", with_test}, {"bun.lock", ""}, {"yarn.lock", ""}},
       "bun run test"},
      {"bun.lockb", {{"package.json", with_test}, {"bun.lockb", ""}}, "bun run test"},
      {"pnpm before yarn",
       {{"package.json", with_test}, {"pnpm-lock.yaml", ""}, {"yarn.lock", ""}},
       "pnpm test"},
      {"yarn", {{"package.json", with_test}, {"yarn.lock", ""}}, "yarn test"},
      {"no test script: go",
       {{"package.json", R"({"scripts": {"build": "tsc"}})"}, {"go.mod", ""}},
       "go test ./..."},
      {"test not a string", {{"package.json", R"({"scripts": {"test": 1}})"}}, std::nullopt},
      {"scripts not an object", {{"package.json", R"({"scripts": ["test"]})"}}, std::nullopt},
      {"broken package.json", {{"package.json", "{"}, {"setup.py", ""}}, "python -m pytest -q"},
      {"pyproject", {{"pyproject.toml", ""}}, "python -m pytest -q"},
      {"tox", {{"tox.ini", ""}}, "python -m pytest -q"},
      {"makefile target", {{"Makefile", "all:\n\tcc x.c\ntest: all\n\t./x\n"}}, "make test"},
      {"bare target", {{"makefile", "test:"}}, "make test"},
      {"GNUmakefile", {{"GNUmakefile", "test:\r\n\ttrue\r\n"}}, "make test"},
      {"phony is not a target",
       {{"Makefile", ".PHONY: test\n  test: x\ntests: y\n"}},
       std::nullopt},
      {"nothing", {{"README.md", "test:"}}, std::nullopt},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    for (const auto& [name, text] : c.files) std::ofstream(root / name) << text;
    EXPECT_EQ(detect_test_command(root), c.expected) << c.why;
  }
}

TEST(TestCommand, HostileProjectFilesNeitherBlockNorCount) {
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  // Pipes named like project files would block a plain read for ever.
  ASSERT_EQ(::mkfifo((root / "package.json").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((root / "Makefile").c_str(), 0644), 0);
  EXPECT_EQ(detect_test_command(root), std::nullopt);
  // A folder named like a makefile is not read; a later makefile still is not looked at.
  fs::remove(root / "Makefile");
  fs::create_directory(root / "Makefile");
  std::ofstream(root / "GNUmakefile") << "test:\n";
  EXPECT_EQ(detect_test_command(root), "make test");
  // A package.json beyond the limit is not parsed, whatever it holds.
  fs::remove(root / "package.json");
  {
    std::ofstream big(root / "package.json");
    big << R"({"scripts": {"test": "x"}, "pad": ")" << std::string(kProjectFileLimit, 'x') << "\"}";
  }
  EXPECT_EQ(detect_test_command(root), "make test");
  EXPECT_EQ(detect_test_command(root / "missing"), std::nullopt);
}

}  // namespace
}  // namespace test_command_test
}  // namespace kavor::exec
