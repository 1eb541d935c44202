// The one form in which paths are compared, and the one test of whether a path lies inside a
// folder.
//
// A path is compared in canonical form: absolute, every link resolved, no "." or "..", no
// repeated or trailing "/" (what realpath gives). Containment is judged on components, never on
// the text alone: "/ws-evil" does not start "/ws", and "/ws/" holds the same as "/ws". A
// relative path named by someone else (the page, the assistant) is taken only when it is plain:
// ordinary components only, so that joining it to a folder cannot climb out of that folder
// before the canonical form is checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavor::walk {

// The canonical form of `path`, which must exist; nothing when it does not or cannot be read.
std::optional<std::string> canonical(const std::string& path);

// Whether `inner` is `outer` or lies below it, comparing whole components (empty components,
// from a repeated or trailing "/", are passed over). An absolute path is never inside a
// relative one, nor the other way round.
bool inside_or_same(std::string_view outer, std::string_view inner);

// `inner` relative to its ancestor-or-self `outer` ("" when equal); both canonical.
std::string relative_to(const std::string& outer, const std::string& inner);

// A relative path of ordinary components: not empty, no empty, "." or ".." component, no NUL,
// not absolute.
bool plain_relative(std::string_view path);

}  // namespace kavor::walk
