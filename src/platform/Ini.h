#pragma once

#include <string>
#include <vector>

namespace quarvel {

namespace platform {

// Reads one value of an INI file: section and key names compared without regard to
// case, blanks around the value trimmed, one pair of surrounding quotes (double or
// single) removed. A missing file, section or key gives `defaultValue`. The first
// matching key of the first matching section wins.
std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& path);

struct IniEntry {
    std::string key;  // as written, blanks around it trimmed
    std::string value;
};

// Every key of the first section named `section`, in file order, read as
// GetPrivateProfileString reads one (a key written twice is listed twice). A missing
// section gives none; false when the file cannot be read.
bool GetPrivateProfileSection(const std::string& section, const std::string& path, std::vector<IniEntry>& entries);

}  // namespace platform

}  // namespace quarvel
