#include "platform/FindFile.h"

#include <dirent.h>
#include <sys/stat.h>

namespace quarvel {

namespace platform {

namespace {

char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
    // The platform's "*.*" means "everything", dot or no dot.
    if (pattern == "*.*") return true;

    // Greedy scan that remembers the last '*' and, on a mismatch, lets that star swallow
    // one more character. No recursion, so a pattern full of stars cannot blow up.
    size_t p = 0;
    size_t n = 0;
    size_t star = std::string::npos;  // position in the pattern just after the last '*'
    size_t starName = 0;              // where the name stood when that '*' was met
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = ++p;
            starName = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            p = star;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

struct FindFile::State {
    DIR* dir = nullptr;
    std::string folder;  // ends with '/', ready to have a name appended
    std::string pattern;
};

FindFile::FindFile() = default;

FindFile::~FindFile() {
    Close();
}

bool FindFile::First(const std::string& folderAndPattern, FindData& entry) {
    Close();
    auto state = std::make_unique<State>();
    const size_t slash = folderAndPattern.rfind('/');
    std::string folder;
    if (slash == std::string::npos) {
        folder = ".";
        state->pattern = folderAndPattern;
    } else {
        folder = slash == 0 ? "/" : folderAndPattern.substr(0, slash);
        state->pattern = folderAndPattern.substr(slash + 1);
    }
    state->folder = folder.back() == '/' ? folder : folder + '/';
    state->dir = opendir(folder.c_str());
    if (state->dir == nullptr) return false;
    m_state = std::move(state);
    if (Next(entry)) return true;
    Close();
    return false;
}

bool FindFile::Next(FindData& entry) {
    if (!m_state) return false;
    while (const dirent* item = readdir(m_state->dir)) {
        const std::string name = item->d_name;
        if (!WildcardMatch(m_state->pattern, name)) continue;
        bool isDirectory = item->d_type == DT_DIR;
        if (item->d_type == DT_UNKNOWN || item->d_type == DT_LNK) {
            // A link to a folder shows as a folder; a dangling link as a file.
            struct stat info {};
            isDirectory = stat((m_state->folder + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        entry.name = name;
        entry.isDirectory = isDirectory;
        return true;
    }
    return false;
}

void FindFile::Close() {
    if (m_state && m_state->dir != nullptr) closedir(m_state->dir);
    m_state.reset();
}

}  // namespace platform

}  // namespace quarvel
