// grep: the lines of a file or of a walked tree that match a regular expression.
//
// Most searched files hold no match at all, so the work per file is kept to a few system calls
// and one pass of the regular-expression automaton over the whole file: the file is read with
// one read() into a buffer reused for every file, a NUL among its first bytes marks it binary,
// and the expression, compiled in multi-line mode so that ^ and $ also hold at line ends, is run
// once over the whole buffer. Only a file with a hit is looked at line by line, and even then
// only around the hits: the line holding the start of a hit is taken, and the search goes on
// from the next line.
//
// A hit in the whole buffer may span lines (say "a\s+b" over "a\nb"), which a line on its own
// would not match, so a hit that runs past the end of its line is checked again on that line
// alone. The opposite cannot happen: a match inside one line is also a match in the buffer, as
// the line's neighbours are line feeds, which count as non-word characters and as line ends.
// The exceptions are the text-boundary assertions \A and \z and a pattern that switches the
// multi-line mode off; such patterns are tried on each line separately instead.
//
// Expressions without a literal beginning make the automaton look at every byte, which is slow
// next to a plain byte search. For those the library's prefilter names the strings ("atoms")
// that any match must contain, in some and/or combination; each file is first scanned for
// them, case-insensitively, by looking for each atom's least common byte with memchr, and the
// automaton only runs on files where the combination can hold. A case-insensitive expression
// can match "k" and "s" by non-ASCII characters (the Kelvin sign, the long s); atoms holding
// those letters are trusted only in files that are pure ASCII.
//
// The buffer is searched a segment of whole lines at a time (a little over kSegmentBytes), with
// the same result: a line is reported for a match that a search of that line alone would find,
// and a segment's edges are line ends, which the expression sees as it sees any other. Between
// segments the search looks at the call's stop flag: an expression can make the matcher slow
// (a thousand repeats of a large Unicode class leave the automaton short of memory, and the
// fallback costs about a second per 10 KiB), and a stop must not wait minutes for a file to end.
// A single line longer than a segment is still searched whole.
//
// Before searching, a file that is not valid UTF-8 is decoded (invalid sequences replaced), and
// the carriage return of every CRLF line end is dropped, so that the buffer holds exactly the
// lines the assistant would see, joined by line feeds; line numbers do not change.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/tool_table.h"

namespace kavor::tools {

inline constexpr std::size_t kGrepMatchLimit = 300;       // lines shown by grep
inline constexpr std::size_t kGrepLineChars = 300;        // characters per grep line
inline constexpr std::uint64_t kGrepFileLimit = 2 << 20;  // bytes of one searched file

Decoder grep_tool();

}  // namespace kavor::tools
