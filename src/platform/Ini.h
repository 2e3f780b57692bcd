#pragma once

#include <string>

namespace quarvel {

namespace platform {

// Reads one value of an INI file: section and key names compared without regard to
// case, blanks around the value trimmed, one pair of surrounding quotes (double or
// single) removed. A missing file, section or key gives `defaultValue`. The first
// matching key of the first matching section wins.
std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& path);

}  // namespace platform

}  // namespace quarvel
