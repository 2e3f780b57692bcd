#include "platform/Ini.h"

#include <fstream>
#include <string_view>

namespace quarvel {

namespace platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        contents.append(buffer, static_cast<size_t>(in.gcount()));
    }
    return true;
}

// Calls `take` with each key and value of the first section named `section`, in file
// order, until it returns false.
template <typename Take>
void WalkSection(std::string_view contents, const std::string& section, Take take) {
    std::string_view rest = contents;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);

    bool inSection = false;
    bool sectionSeen = false;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        line = Trim(line);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            if (close == std::string_view::npos) continue;  // not a header; nothing to read either
            // Only the first section of the name counts; a later one of the same name is not read.
            if (sectionSeen) break;
            inSection = SameName(Trim(line.substr(1, close - 1)), section);
            sectionSeen = inSection;
            continue;
        }
        if (!inSection) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;

        // No inline comments: ';' and '#' belong to the value.
        std::string_view value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        if (!take(Trim(line.substr(0, equals)), value)) return;
    }
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& path) {
    std::string contents;
    if (!ReadWholeFile(path, contents)) return defaultValue;
    std::string found = defaultValue;
    WalkSection(contents, section, [&](std::string_view name, std::string_view value) {
        if (!SameName(name, key)) return true;
        found = std::string(value);
        return false;
    });
    return found;
}

bool GetPrivateProfileSection(const std::string& section, const std::string& path, std::vector<IniEntry>& entries) {
    entries.clear();
    std::string contents;
    if (!ReadWholeFile(path, contents)) return false;
    WalkSection(contents, section, [&](std::string_view name, std::string_view value) {
        entries.push_back({std::string(name), std::string(value)});
        return true;
    });
    return true;
}

}  // namespace platform

}  // namespace quarvel
