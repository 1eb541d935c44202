// Precedence of ignore rules, as git applies them: for a path, the ignore files are consulted
// from the deepest folder upwards and the first file with any matching rule decides; inside a
// file the last matching rule wins, and a "!" rule makes that decision "included". A rule with
// a trailing "/" is passed over for anything that is not a folder (a symbolic link is never a
// folder here). Whether an excluded folder's contents can come back is not decided here: the
// walker simply never enters an excluded folder, so nothing below it can be re-included.
#include "walk/ignore.h"

#include <algorithm>

namespace kavor::walk {
namespace {

// Drops trailing spaces that are not escaped with a backslash; an escaped space stays together
// with its backslash, which the pattern compiler reads as an escape.
std::string_view trim_trailing_spaces(std::string_view line) {
  std::size_t keep = line.size();
  std::size_t last_space = std::string_view::npos;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ') {
      if (last_space == std::string_view::npos) last_space = i;
      continue;
    }
    if (c == '\\') {
      ++i;
      if (i >= line.size()) return line;
    }
    last_space = std::string_view::npos;
  }
  if (last_space != std::string_view::npos) keep = last_space;
  return line.substr(0, keep);
}

std::string_view last_component(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

IgnoreRules IgnoreRules::parse(std::string_view content) {
  return *parse_at_most(content, static_cast<std::size_t>(-1));
}

std::optional<IgnoreRules> IgnoreRules::parse_at_most(std::string_view content,
                                                      std::size_t max_rules) {
  // Counted first, without building anything: a line that is neither blank nor a comment
  // becomes at most one rule.
  std::size_t lines = 0;
  for (std::size_t at = 0; at < content.size();) {
    const std::size_t lf = std::min(content.find('\n', at), content.size());
    if (lf > at && content[at] != '#' && !(lf == at + 1 && content[at] == '\r')) ++lines;
    at = lf + 1;
  }
  if (lines > max_rules) return std::nullopt;
  IgnoreRules out;
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  while (!content.empty()) {
    const std::size_t lf = content.find('\n');
    std::string_view line = content.substr(0, lf);
    content.remove_prefix(lf == std::string_view::npos ? content.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    line = trim_trailing_spaces(line);

    Rule rule;
    if (!line.empty() && line.front() == '!') {
      rule.negated = true;
      line.remove_prefix(1);
    }
    if (!line.empty() && line.back() == '/') {
      rule.dir_only = true;
      line.remove_suffix(1);
    }
    if (line.empty()) continue;
    rule.name_only = line.find('/') == std::string_view::npos;
    if (!rule.name_only && line.front() == '/') line.remove_prefix(1);
    Result<detail::Wildmatch> compiled = detail::Wildmatch::compile(line, detail::Dialect::Ignore);
    if (!compiled.ok()) continue;  // the ignore dialect always compiles; kept for safety
    rule.pattern = std::move(compiled).value();
    out.rules_.push_back(std::move(rule));
  }
  return out;
}

IgnoreVerdict IgnoreRules::match(std::string_view path, bool is_dir) const {
  return match(path, last_component(path), is_dir);
}

IgnoreVerdict IgnoreRules::match(std::string_view path, std::string_view name, bool is_dir) const {
  for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
    if (it->dir_only && !is_dir) continue;
    if (it->pattern.matches(it->name_only ? name : path))
      return it->negated ? IgnoreVerdict::Included : IgnoreVerdict::Ignored;
  }
  return IgnoreVerdict::NoOpinion;
}

void IgnoreStack::push(std::string folder, std::shared_ptr<const IgnoreRules> rules) {
  if (!rules || rules->empty()) return;
  rule_count_ += rules->size();
  layers_.push_back(Layer{std::move(folder), std::move(rules)});
}

void IgnoreStack::truncate(std::size_t size) {
  while (layers_.size() > size) {
    rule_count_ -= layers_.back().rules->size();
    layers_.pop_back();
  }
}

IgnoreVerdict IgnoreStack::check(std::string_view path, bool is_dir) const {
  return check(path, last_component(path), is_dir);
}

IgnoreVerdict IgnoreStack::check(std::string_view path, std::string_view name, bool is_dir) const {
  for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) {
    std::string_view inner = path;
    if (!it->folder.empty()) {
      const std::size_t n = it->folder.size();
      if (path.size() <= n + 1 || path[n] != '/' || path.compare(0, n, it->folder) != 0) continue;
      inner = path.substr(n + 1);
    }
    const IgnoreVerdict v = it->rules->match(inner, name, is_dir);
    if (v != IgnoreVerdict::NoOpinion) return v;
  }
  return IgnoreVerdict::NoOpinion;
}

}  // namespace kavor::walk
