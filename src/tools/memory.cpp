#include "tools/memory.h"

#include <cstdint>
#include <string>
#include <utility>

#include "common/diff.h"
#include "platform/text.h"
#include "tools/args.h"
#include "tools/memory_store.h"

namespace kavor::tools {

namespace {

// The change shown for a memory file too large to read before the user decides.
std::string unshown(std::uint64_t size) {
  return "the file is " + std::to_string(size) + " bytes; its changes are not shown";
}

// The memory file `slug` names as it stands now, once the places it lives in may be changed.
Result<ExistingMemory> memory_as_it_stands(const Scope& scope, const std::string& slug,
                                           MemoryChange change) {
  const Result<MemoryPlaces> located = locate_memory(scope, slug, change);
  if (!located.ok()) return located.error();
  return read_existing_memory(located->file, memory_relative(slug));
}

}  // namespace

Decoder save_memory_tool(Clock clock) {
  return [clock](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    const std::string title = trim(one_line(string_arg(args, "title")));
    const std::string description = trim(one_line(string_arg(args, "description")));
    const std::string content = string_arg(args, "content");
    if (title.empty()) return fail("title is empty.");
    if (blank(content)) return fail("content is empty.");

    const std::int64_t now = clock();
    std::string slug;
    const std::string given = string_arg(args, "slug");
    if (!blank(given)) {
      Result<std::string> checked = check_slug(given);
      if (!checked.ok()) return checked.error();
      slug = std::move(checked).value();
    } else {
      slug = derive_slug(title, now);
    }

    const std::string relative = memory_relative(slug);
    const Result<ExistingMemory> found = memory_as_it_stands(scope, slug, MemoryChange::Save);
    if (!found.ok()) return found.error();
    const ExistingMemory& existing = found.value();

    const std::string stamp = utc_time(now);
    Memory memory;
    memory.title = title;
    memory.description = description;
    const std::string kept_created =
        existing.exists ? parse_memory(existing.text, slug).created : std::string();
    memory.created = blank(kept_created) ? stamp : kept_created;
    memory.updated = stamp;
    memory.content = tidy_content(content);
    std::string document = render_memory(memory);

    Decoded decoded;
    decoded.kind = ToolKind::Write;
    decoded.memory = true;
    decoded.summary = relative;
    decoded.detail = existing.too_big ? unshown(*existing.too_big)
                                      : common::display_diff(existing.text, document);
    decoded.lang = "diff";
    decoded.run = [scope, slug, document = std::move(document)](const common::StopFlag& stop) {
      return save_memory(scope, slug, document, stop);
    };
    return decoded;
  };
}

Decoder forget_memory_tool() {
  return [](const common::Json& args, const Scope& scope) -> Result<Decoded> {
    Result<std::string> checked = check_slug(string_arg(args, "slug"));
    if (!checked.ok()) return checked.error();
    const std::string slug = std::move(checked).value();
    const std::string relative = memory_relative(slug);
    const Result<ExistingMemory> found = memory_as_it_stands(scope, slug, MemoryChange::Forget);
    if (!found.ok()) return found.error();
    const ExistingMemory& existing = found.value();
    if (!existing.exists) return fail(relative + " does not exist.");

    Decoded decoded;
    decoded.kind = ToolKind::Write;
    decoded.memory = true;
    decoded.summary = "forget " + slug;
    decoded.detail = existing.too_big ? unshown(*existing.too_big) : existing.text;
    decoded.lang = "markdown";
    decoded.run = [scope, slug](const common::StopFlag& stop) {
      return forget_memory(scope, slug, stop);
    };
    return decoded;
  };
}

}  // namespace kavor::tools
