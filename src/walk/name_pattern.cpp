#include "walk/name_pattern.h"

namespace kavor::walk {

Result<NamePattern> NamePattern::compile(std::string_view pattern) {
  Result<detail::Wildmatch> compiled = detail::Wildmatch::compile(pattern, detail::Dialect::Tool);
  if (!compiled.ok()) return compiled.error();
  return NamePattern(pattern.starts_with('.'), std::move(compiled).value());
}

bool NamePattern::matches(std::string_view name) const {
  if (!dot_ && name.starts_with('.')) return false;
  return compiled_.matches(name);
}

bool NamePattern::hidden_from(std::string_view pattern, std::string_view name) {
  return name.starts_with('.') && !pattern.starts_with('.');
}

}  // namespace kavor::walk
