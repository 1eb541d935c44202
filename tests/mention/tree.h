// A real folder on disk for the mention tests, removed at the end, and a few ways of filling it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mention/index.h"

namespace kavor::mention::test {

namespace fs = std::filesystem;

class TempTree {
 public:
  TempTree() {
    std::string pattern = (fs::temp_directory_path() / "mention-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
    // Canonical, as the index records roots.
    path_ = fs::canonical(pattern).string();
  }
  ~TempTree() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  // Creates a file (and its folders); a path ending in "/" creates a folder.
  void add(const std::string& rel, const std::string& content = "") const {
    const std::string full = *this / rel;
    if (!rel.empty() && rel.back() == '/') {
      fs::create_directories(full);
      return;
    }
    fs::create_directories(fs::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << content;
  }
  void add_all(const std::vector<std::string>& rels) const {
    for (const auto& rel : rels) add(rel);
  }

 private:
  std::string path_;
};

// An entry list as a walk would record it: sorted, folders marked by a trailing "/".
inline std::vector<Entry> entries_of(const std::vector<std::string>& paths,
                                     std::uint32_t mtime = 1) {
  std::vector<Entry> out;
  for (std::string p : paths) {
    const bool dir = !p.empty() && p.back() == '/';
    if (dir) p.pop_back();
    out.push_back(Entry::make(p, mtime, dir));
  }
  sort_unique(out);
  return out;
}

}  // namespace kavor::mention::test
