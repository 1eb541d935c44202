#include "tools/scope.h"

#include "walk/path_form.h"

namespace kavor::tools {

bool path_within(const fs::path& path, const fs::path& base) {
  return walk::inside_or_same(base.native(), path.native());
}

bool Scope::contains(const fs::path& path) const {
  if (path_within(path, root)) return true;
  for (const fs::path& extra : extras) {
    if (path_within(path, extra)) return true;
  }
  return false;
}

}  // namespace kavor::tools
