#pragma once

#include <string>
#include <string_view>

namespace quarvel {

namespace platform {

// The code set of the process's locale (LC_CTYPE), e.g. "UTF-8" or "ANSI_X3.4-1968".
std::string LocaleCodePage();

// Converts `text` from `codePage` (an iconv name such as "CP950"; empty means the
// locale's) to UTF-8. Bytes that do not decode become U+FFFD. Returns false when the
// code page is unknown, leaving `out` empty.
bool ConvertToUtf8(std::string_view text, const std::string& codePage, std::string& out);

// The length of the longest start of `text` of at most `limit` bytes that does not end
// inside a character of `codePage` (empty: the locale's). Bytes that do not decode count
// as characters of their own; an unknown code page cuts at `limit`.
size_t CharacterPrefix(std::string_view text, size_t limit, const std::string& codePage);

}  // namespace platform

}  // namespace quarvel
