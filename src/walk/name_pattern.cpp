#include "walk/name_pattern.h"

namespace kavor::walk {

std::optional<NamePattern> NamePattern::compile(std::string_view pattern, std::string& error) {
  auto compiled = detail::Wildmatch::compile(pattern, detail::Dialect::Tool, &error);
  if (!compiled) return std::nullopt;
  return NamePattern(pattern.starts_with('.'), std::move(*compiled));
}

bool NamePattern::matches(std::string_view name) const {
  if (!dot_ && name.starts_with('.')) return false;
  return compiled_.matches(name);
}

bool NamePattern::hidden_from(std::string_view pattern, std::string_view name) {
  return name.starts_with('.') && !pattern.starts_with('.');
}

}  // namespace kavor::walk
