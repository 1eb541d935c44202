#include "mention/fold.h"

#include <QChar>
#include <QList>
#include <QString>

#include "common/utf8.h"

namespace kavor::mention {

char32_t fold_char(char32_t c) {
  if (c < 0x80) return kAsciiFold.to[c];
  if (c >= 0x0600 && c <= 0x06FF) {
    switch (c) {
      case 0x0623:
      case 0x0625:
      case 0x0671:
        return 0x0627;
      case 0x0626:
      case 0x0649:
      case 0x064A:
        return 0x06CC;
      case 0x0629:
      case 0x06C0:
        return 0x0647;
      case 0x0643:
        return 0x06A9;
      case 0x0640:
      case 0x0670:
        return kFoldsToNothing;
      default:
        break;
    }
    if (c >= 0x0660 && c <= 0x0669) return U'0' + (c - 0x0660);
    if (c >= 0x06F0 && c <= 0x06F9) return U'0' + (c - 0x06F0);
    if (c >= 0x064B && c <= 0x065F) return kFoldsToNothing;
    return c;  // the rest of the block has no case
  }
  if (c >= 0x0300 && c <= 0x036F) return kFoldsToNothing;
  if (c >= 0x200C && c <= 0x200F) return kFoldsToNothing;
  return lower_case(c);
}

bool is_lower_case(char32_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z';
  return c >= 0xAA && QChar::isLower(c);
}

bool is_upper_case(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z';
  return c >= 0xC0 && QChar::isUpper(c);
}

bool is_letter(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return c >= 0xAA && QChar::isLetter(c);
}

std::uint64_t folded_char_set(std::string_view text) {
  std::uint64_t set = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      set |= kAsciiBits.of[byte];
      ++pos;
      continue;
    }
    set |= kNonAsciiText;
    const char32_t folded = fold_char(decode_utf8(text, pos));
    if (folded != kFoldsToNothing) set |= folded_char_bit(folded);
  }
  return set;
}

char32_t lower_case(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
  const char32_t simple = QChar::toLower(c);
  if (simple != c || !QChar::isUpper(c)) return simple;
  // An upper-case letter whose lower case is more than one character (dotted capital I):
  // the first character of the full mapping.
  const QString full = QString::fromUcs4(&c, 1).toLower();
  const QList<uint> chars = full.toUcs4();
  return chars.isEmpty() ? c : chars.front();
}

}  // namespace kavor::mention
