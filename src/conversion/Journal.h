#pragma once

// The resume journal of one database: what of each source file is in the server, one line
// per entry, appended after the file's last post and synced to disk within a second, and
// when the journal is closed. A later line of a path replaces an earlier one; the file is
// rewritten with the live entries alone once dead lines make most of it. A resumed
// conversion skips a file whose stamp matches its entry and posts what came after its
// entry otherwise (docs/journal.md).

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quarvel {

// What identifies a file's content for the journal: its resolved path, size and mtime.
struct FileStamp {
    std::string path;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;

    // Nothing when the file cannot be examined. `resolvedFolder` (ending in '/'), when
    // given, is the file's folder resolved already: a file that is no link is then named
    // in it without resolving its path again.
    static std::optional<FileStamp> Of(const std::string& path, const std::string& resolvedFolder = {});
    // The name a file that is no link has in its folder resolved already.
    static std::string NamedIn(const std::string& resolvedFolder, const std::string& path) {
        return resolvedFolder + path.substr(path.rfind('/') + 1);
    }

    // The folder's resolved path with a '/' at its end; empty when it cannot be resolved.
    static std::string ResolvedFolder(const std::string& folder);
};

// What a file's entry holds of it besides its stamp.
struct JournalEntry {
    enum class Form : uint8_t {
        kWhole,    // stored whole as its stamp was (the older journal lines)
        kRecords,  // a data-log file: records [0, records) stored
        kNewest,   // a table: each tag's newest stored sample
    };
    using TagTime = std::pair<int32_t, int32_t>;  // tag id and the time its sample was sent with

    uint64_t size = 0;
    int64_t mtimeNs = 0;
    Form form = Form::kWhole;
    uint64_t records = 0;
    // Of the first and the last stored record: a file that only grew keeps it, one
    // rewritten does not.
    uint64_t fingerprint = 0;
    std::vector<TagTime> newest;  // by tag id

    bool Stamped(const FileStamp& stamp) const { return stamp.size == size && stamp.mtimeNs == mtimeNs; }
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
    // Keeps what is recorded in memory alone, from none: the entries a conversion would
    // record of the files a run reads, for a later look at what is stored.
    void Hold();
    bool IsOpen() const { return m_fd >= 0 || m_holding; }

    // The live entries by resolved path.
    std::vector<std::pair<std::string, JournalEntry>> Held() const;

    // The entry of the file at the resolved path, whatever its stamp.
    std::optional<JournalEntry> Find(const std::string& path) const;

    // Appends the file's entry (its size and time are the stamp's), replacing any earlier
    // one; from any thread. False when that failed.
    bool Record(const FileStamp& stamp, JournalEntry entry = {});
    // The entries of files that ended together, in one write.
    struct Recorded {
        FileStamp stamp;
        JournalEntry entry;
    };
    bool Record(std::vector<Recorded> files);
    // Gives the disk what was recorded since the last sync: a run's last entries, which no
    // later entry carries there while a follow waits for the node to write.
    void Sync();

    size_t Entries() const;

private:
    static constexpr std::chrono::seconds kSyncInterval{1};
    // A journal is rewritten once it holds this much and more than twice its live lines.
    static constexpr uint64_t kCompactFrom = uint64_t{256} << 10;

    struct Live {
        JournalEntry entry;
        size_t lineBytes = 0;
    };
    void Keep(std::string path, JournalEntry entry, size_t lineBytes);
    // Under m_mutex: the live entries alone, written aside and renamed over the journal.
    void CompactIfDue();

    std::string m_path;
    int m_fd = -1;
    bool m_holding = false;
    bool m_unsynced = false;
    std::chrono::steady_clock::time_point m_lastSync{};
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, Live> m_entries;  // by resolved path
    uint64_t m_fileBytes = 0;                         // of the journal's lines
    uint64_t m_liveBytes = 0;                         // of the lines of m_entries
    uint64_t m_compactAt = kCompactFrom;
};

}  // namespace quarvel
