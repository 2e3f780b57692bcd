#pragma once

// Files written whole or not at all, and names and values made fit for a file. A file that
// is replaced is written beside its old self, synced, then renamed over it, so that a crash
// leaves the old or the new, never half of either.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct stat;

namespace quarvel::platform {

// FNV-1a, the same on every build for what is kept on disk; a hash as 16 lower-case hex digits.
uint64_t Fnv1a(std::string_view bytes);
std::string Hex16(uint64_t value);

// `text` with every byte that `keep` refuses as %XX (upper-case hex).
std::string Escape(std::string_view text, bool (*keep)(unsigned char));

// `name` as a file name: letters, digits, '-' and '_' as they are (with `keepHighBytes` also
// every byte from 0x80, so that UTF-8 stays readable), every other byte escaped. One longer
// than `longest` is cut to at most `cut` bytes, never within an escape or a UTF-8 sequence,
// and ends in "~" and the hash of the whole name, so that two names never share a file.
std::string SafeFileName(std::string_view name, size_t longest, size_t cut, bool keepHighBytes);

// "what: " and the text of errno.
std::string ErrnoText(const std::string& what);

// Every byte written, going on after a signal; false with errno set when the write fails.
bool WriteAll(int fd, std::string_view bytes);

// A folder held open, so that the files in it are opened and looked at by their names alone
// (thousands of files spare the look at each folder of their paths). When it cannot be
// opened, paths are taken whole.
class OpenFolder {
public:
    explicit OpenFolder(const std::string& folder);
    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    // open(2) and stat(2) of `path`, a file of `folder`; with no folder, of the path whole.
    static int Open(const OpenFolder* folder, const std::string& path, int flags);
    static int Stat(const OpenFolder* folder, const std::string& path, struct stat& info);

private:
    // What to name `path` by: its last part, or the whole path when the folder is not open.
    const char* Name(const std::string& path) const;

    int m_fd;  // AT_FDCWD when the folder could not be opened
};

// Syncs the folder of `path`: a new or renamed entry survives a crash only then.
void SyncFolderOf(const std::string& path);

// Makes `folder` and the folders above it that are missing, each synced into the one that
// holds it, so that it outlives a power cut as much as the files put in it. False with
// `error` set when it cannot be made.
bool MakeFolders(const std::string& folder, std::string& error);

// Writes the pieces to a new file beside `path` (its name, `kind` and a number of its own)
// and syncs it. Its path; empty with `error` set when it cannot be made.
std::string WriteAside(const std::string& path, const char* kind, const std::vector<std::string_view>& pieces,
                       std::string& error);

// Replaces `path` with the pieces: written aside, renamed over it, the folder synced.
bool ReplaceFile(const std::string& path, const std::vector<std::string_view>& pieces, std::string& error);

}  // namespace quarvel::platform
