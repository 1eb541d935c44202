// The program's one UTF-8 module. File contents, file names, command output and archive text
// are bytes, while everything shown to the page or sent to the service is JSON text, which must
// be well-formed UTF-8; so every such text passes through here before it is shown.
//
// Well-formed means one of the shapes of the Unicode standard: no overlong forms, no
// surrogates, nothing above U+10FFFF. Lossy decoding replaces each maximal ill-formed
// subsequence (the longest prefix that could still have become well-formed, at least one byte)
// by one U+FFFD and resumes right after it: the replacement practice the standard recommends
// and most decoders follow, so two decoders agree on how many U+FFFD a broken text shows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavor::common {

inline constexpr char32_t kReplacementChar = 0xFFFD;

enum class Utf8Form { Ascii, Valid, Invalid };

// Whether `bytes` is plain ASCII, other well-formed UTF-8, or not well-formed.
Utf8Form classify_utf8(std::string_view bytes);
inline bool valid_utf8(std::string_view bytes) {
  return classify_utf8(bytes) != Utf8Form::Invalid;
}

// Length of the well-formed character starting at byte `pos` of `bytes` (pos < size): 1 to 4,
// or 0 when the bytes from `pos` on do not begin one. For readers that check a text while
// passing over it for another purpose.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t pos);

// Appends `bytes` to `out` with every maximal ill-formed subsequence replaced by one U+FFFD.
void append_utf8_lossy(std::string_view bytes, std::string& out);
std::string utf8_lossy(std::string_view bytes);

// Length of the unfinished character at the end of `bytes`: the last 1 to 3 bytes when they
// begin a well-formed sequence that the end cuts short, else 0. A stream decoded piece by
// piece holds these bytes back for the next piece, so a character split between two reads
// is not shown as two U+FFFD.
std::size_t utf8_unfinished_tail(std::string_view bytes);

// The character starting at byte `pos` of `bytes` (pos < size), moving `pos` past it; an
// ill-formed subsequence reads as U+FFFD and `pos` moves past it, as lossy decoding does.
char32_t next_code_point(std::string_view bytes, std::size_t& pos);

// Appends the UTF-8 form of `cp` (a scalar value) to `out`.
void append_code_point(char32_t cp, std::string& out);

// Byte length of the first `count` characters of well-formed UTF-8 `text` (all of it when it
// has fewer).
std::size_t utf8_prefix_bytes(std::string_view text, std::size_t count);

// The longest beginning of well-formed UTF-8 `text` that ends on a character boundary and has
// at most `max_bytes` bytes.
std::string_view utf8_cut_bytes(std::string_view text, std::size_t max_bytes);

// Whether `cp` is white space in the Unicode sense.
bool is_unicode_space(char32_t cp);

// `text` (well-formed UTF-8) without trailing white space in the Unicode sense.
std::string_view trim_end_unicode(std::string_view text);
// ... and without leading white space either: what a person typed into a field.
std::string_view trim_unicode(std::string_view text);

// Texts the agent writes for people to judge (a call's summary, the command or diff shown for
// approval, a notification) must read as what they hold. Some characters make a text read
// otherwise: a carriage return or an escape sequence overwrites or recolours what came before;
// the direction overrides, embeddings and isolates (U+202A to U+202E, U+2066 to U+2069) and
// the direction marks (U+200E, U+200F, U+061C) reorder what follows, so that a command shows
// "rm -rf ~/etc.bak" while it runs something else; the line and paragraph separators (U+2028,
// U+2029) break a one-line text. Each of them, and every other C0 control, DEL and C1 control,
// is shown as the visible "<U+XXXX>" (four hex digits or more, upper case). Tabs stay, and
// line feeds stay where the text has lines (a multi-line command, a diff), with a carriage
// return just before one (a Windows line end hides nothing); the joiners that Persian and
// emoji need (U+200C, U+200D) stay too. An ill-formed sequence shows as U+FFFD. Only what is
// shown changes: the command that runs and the output the assistant reads never pass through
// here. Applying it again changes nothing.
enum class LineBreaks { Keep, Escape };
std::string visible_controls(std::string_view text, LineBreaks breaks);

}  // namespace kavor::common
