#pragma once

// Directory listing by wild-card pattern: '*' and '?' wild cards, letters compared
// without regard to case, "*.*" matching every name (with or without a dot), "." and
// ".." listed too.

#include <memory>
#include <string>

namespace quarvel {

namespace platform {

struct FindData {
    std::string name;  // the entry's name, without its folder
    bool isDirectory = false;
};

// The folder with a '/' at its end, the form patterns and paths are appended to; an
// empty folder (the current one) stays empty.
std::string WithSeparator(std::string folder);

// True when `name` matches `pattern` ('*' any run, '?' any one character, no case).
bool WildcardMatch(const std::string& pattern, const std::string& name);

class FindFile {
public:
    FindFile();
    ~FindFile();
    FindFile(const FindFile&) = delete;
    FindFile& operator=(const FindFile&) = delete;

    // Opens a listing of "folder/pattern" and yields its first match. False when the
    // folder cannot be read or nothing matches.
    bool First(const std::string& folderAndPattern, FindData& entry);
    // The next match, in the order the folder lists them. False at the end.
    bool Next(FindData& entry);
    void Close();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace platform

}  // namespace quarvel
