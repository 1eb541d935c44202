// Arbitrary bytes as an ignore file and the paths it is asked about: the text up to the first
// NUL byte is the file, each line after it a path (a trailing "/" marks a folder). The rules are
// parsed, counted against their budget and matched; each line is also compiled as a tool glob.
// Matching must stay the same through a stack whose layer sits in a subfolder, and the count
// made before anything is built must never fall below the rules built.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "walk/ignore.h"
#include "walk/wildmatch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavor::walk;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view file = input.substr(0, nul);
  const std::string_view asked = nul == std::string_view::npos ? "" : input.substr(nul + 1);

  const IgnoreRules rules = IgnoreRules::parse(file);
  // The budget is checked on a count made before parsing: a file may not build more rules
  // than were counted, or a hostile one could pass a budget it exceeds.
  if (rules.size() > 0 && IgnoreRules::parse_at_most(file, rules.size() - 1).has_value())
    __builtin_trap();
  const auto within = IgnoreRules::parse_at_most(file, static_cast<std::size_t>(-1));
  if (!within || within->size() != rules.size()) __builtin_trap();

  auto shared = std::make_shared<const IgnoreRules>(rules);
  IgnoreStack stack;
  stack.push("sub/dir", shared);

  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at <= asked.size();) {
    const std::size_t lf = std::min(asked.find('\n', at), asked.size());
    lines.push_back(asked.substr(at, lf - at));
    at = lf + 1;
  }
  for (std::string_view line : lines) {
    const bool is_dir = !line.empty() && line.back() == '/';
    if (is_dir) line.remove_suffix(1);
    if (line.empty()) continue;
    const IgnoreVerdict verdict = rules.match(line, is_dir);
    const std::string below = "sub/dir/" + std::string(line);
    if (stack.check(below, is_dir) != verdict) __builtin_trap();
    // Not below the layer's folder: the layer has no say.
    if (stack.check(line, is_dir) != IgnoreVerdict::NoOpinion && line.substr(0, 8) != "sub/dir/")
      __builtin_trap();
  }

  // Each line of the file as a tool glob: malformed ones are refused with a reason, the
  // others match without fault.
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t lf = std::min(file.find('\n', at), file.size());
    const std::string_view pattern = file.substr(at, lf - at);
    at = lf + 1;
    const kavor::Result<detail::Wildmatch> glob =
        detail::Wildmatch::compile(pattern, detail::Dialect::Tool);
    if (!glob.ok()) {
      if (glob.message().empty()) __builtin_trap();
      continue;
    }
    for (const std::string_view line : lines) glob.value().matches(line);
  }
  return 0;
}
