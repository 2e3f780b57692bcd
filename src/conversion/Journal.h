#pragma once

// The resume journal of one database: the source files whose lines are all in the
// server, one line "size mtime_ns path" each, appended after a file's last post and
// synced to disk within a second, and when the journal is closed. A resumed conversion
// skips a file whose path, size and modification time match an entry; a file that
// changed since is converted again.

#include <chrono>
#include <compare>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>

namespace quarvel {

// What identifies a file's content for the journal: its resolved path, size and mtime.
struct FileStamp {
    std::string path;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    // Time and size first: they tell most stamps apart before their long paths, alike up
    // to the file name, are compared.
    std::strong_ordering operator<=>(const FileStamp& other) const {
        if (const auto order = mtimeNs <=> other.mtimeNs; order != 0) return order;  // NOLINT(modernize-use-nullptr)
        if (const auto order = size <=> other.size; order != 0) return order;        // NOLINT(modernize-use-nullptr)
        return path <=> other.path;
    }
    bool operator==(const FileStamp&) const = default;

    // Nothing when the file cannot be examined. `resolvedFolder` (ending in '/'), when
    // given, is the file's folder resolved already: a file that is no link is then named
    // in it without resolving its path again.
    static std::optional<FileStamp> Of(const std::string& path, const std::string& resolvedFolder = {});

    // The folder's resolved path with a '/' at its end; empty when it cannot be resolved.
    static std::string ResolvedFolder(const std::string& folder);
};

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Logs/journal/<database, made safe as a file name>.journal, relative to the current folder.
    static std::string PathFor(const std::string& database);

    // Opens the database's journal. Resuming keeps and reads its entries; otherwise the
    // conversion starts a fresh journal. False with `error` set when it cannot be written.
    bool Open(const std::string& database, bool resume, std::string& error);
    bool IsOpen() const { return m_fd >= 0; }

    // True when a resumed conversion may skip the file: it was converted whole as it is now.
    bool Converted(const FileStamp& stamp) const;

    // Appends the file; from any thread. False when that failed.
    bool Record(const FileStamp& stamp);

    size_t Entries() const;

private:
    static constexpr std::chrono::seconds kSyncInterval{1};

    int m_fd = -1;
    bool m_unsynced = false;
    std::chrono::steady_clock::time_point m_lastSync{};
    mutable std::mutex m_mutex;
    std::set<FileStamp> m_done;
};

}  // namespace quarvel
