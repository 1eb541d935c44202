// The mention tests' temporary folder (support/temp_tree.h) and entry lists written out.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "mention/index.h"
#include "support/temp_tree.h"

namespace kavor::mention::test {

namespace fs = std::filesystem;

// The shared temporary tree, under the name the mention tests have always used.
using kavor::test::TempTree;

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
