// Line-based unified diffs, shown to the user before a file tool changes a file. The hunks are
// exactly what `diff -U3 old new` prints after its two file header lines, so the change reads
// the way it would on the command line and can be checked against that tool.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavor::common {

// Longest diff text shown to the user, in bytes (before the cut marker).
inline constexpr std::size_t kDiffDisplayLimit = 20000;

// The hunks, with three lines of context, that turn `old_text` into `new_text`; "" when the texts
// are equal. Lines end after "\n"; a "\r" before it stays part of the line. A last line without
// "\n" is followed by the line "\ No newline at end of file". The texts are treated as bytes:
// invalid UTF-8 passes through unchanged.
std::string unified_diff(std::string_view old_text, std::string_view new_text);

// `diff` itself when it has at most `max_bytes` bytes. Otherwise its longest beginning that ends
// on a UTF-8 character boundary no later than byte `max_bytes`, followed by
// "\n[... diff cut ...]".
std::string cut_diff(std::string diff, std::size_t max_bytes = kDiffDisplayLimit);

// The diff as shown to the user: unified_diff, then cut_diff.
std::string display_diff(std::string_view old_text, std::string_view new_text);

}  // namespace kavor::common
