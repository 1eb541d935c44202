#include "walk/path_form.h"

#include <climits>
#include <cstdlib>

namespace kavor::walk {

namespace {

// The next non-empty component of `path` from `pos` on; empty at the end.
std::string_view next_component(std::string_view path, std::size_t& pos) {
  while (pos < path.size() && path[pos] == '/') ++pos;
  const std::size_t start = pos;
  while (pos < path.size() && path[pos] != '/') ++pos;
  return path.substr(start, pos - start);
}

}  // namespace

std::optional<std::string> canonical(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string out(real);
  std::free(real);
  return out;
}

bool inside_or_same(std::string_view outer, std::string_view inner) {
  const bool outer_absolute = !outer.empty() && outer.front() == '/';
  const bool inner_absolute = !inner.empty() && inner.front() == '/';
  if (outer_absolute != inner_absolute) return false;
  std::size_t o = 0;
  std::size_t i = 0;
  for (;;) {
    const std::string_view part = next_component(outer, o);
    if (part.empty()) return true;
    if (next_component(inner, i) != part) return false;
  }
}

std::string relative_to(const std::string& outer, const std::string& inner) {
  if (inner.size() <= outer.size()) return "";
  return inner.substr(outer == "/" ? 1 : outer.size() + 1);
}

bool plain_relative(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view part = path.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

}  // namespace kavor::walk
