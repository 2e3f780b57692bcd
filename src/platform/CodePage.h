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

}  // namespace platform

}  // namespace quarvel
