// A real folder for a test, and the file helpers the suites share.
//
// The folder's path is canonical, as the agent records workspace roots and scopes, so a test
// compares the paths the agent gives back with it as they are. The folder goes, with all it
// holds, when the tree ends; its owner's permissions are given back first, so a test that made
// it unreadable still leaves nothing behind. Plain C++: the suites of the layers without Qt use
// it too.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kavor::test {

// Writes `bytes` to `path` as they are, making its folders first.
inline void write_file(const std::filesystem::path& path, std::string_view bytes = "") {
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The bytes of `path`; empty when it cannot be read. A folder, or a /proc entry gone meanwhile,
// reads as empty too: the copy below sets the stream's error state where reading it through an
// iterator would throw.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class TempTree {
 public:
  // A new folder named `name` and six random characters, in `parent`.
  explicit TempTree(std::string_view name = "kavor-test",
                    const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / (std::string(name) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "no temporary folder could be made in " << parent;
      return;
    }
    path_ = std::filesystem::canonical(pattern).string();
  }
  ~TempTree() {
    if (path_.empty()) return;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  // Creates a file (and its folders); a path ending in "/" creates a folder.
  void add(const std::string& rel, std::string_view content = "") const {
    const std::string full = *this / rel;
    if (!rel.empty() && rel.back() == '/') {
      std::filesystem::create_directories(full);
      return;
    }
    write_file(full, content);
  }
  void add_all(const std::vector<std::string>& rels) const {
    for (const auto& rel : rels) add(rel);
  }

 private:
  std::string path_;
};

}  // namespace kavor::test
