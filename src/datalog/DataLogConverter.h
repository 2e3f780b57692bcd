#pragma once

// Converts a whole data-log folder: every "*.DAT" file of its first-level sub-folders,
// with progress lines at the top of the progress list and in the log. Each job has one
// writer for a sub-folder, so that a post carries the lines of several small files; a
// file is done (journaled, counted, told to the progress) once every post that carried
// its lines has ended.

#include "conversion/Journal.h"
#include "conversion/Progress.h"
#include "conversion/Totals.h"
#include "influx/RyInfluxDB.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace quarvel {

class DataLogConverter {
public:
    // folderPath is the data-log folder; a missing trailing '/' is added.
    DataLogConverter(const std::string& folderPath, const std::string& databaseName, Progress& progress,
                     InfluxTarget target = {});

    int ConvertAllFolders();
    int ConvertFolder(const std::string& name);
    // One file with a writer of its own.
    int ConvertDatFile(const std::string& path);
    void ShowProgress(const std::string& text);

    const ConversionTotals& Totals() const { return m_totals; }

    // Asks the walk, from any thread, to end after the files it is converting: their
    // lines are all posted, later files are left alone and no message box shows.
    void RequestStop() { m_stopRequested = true; }
    bool Stopped() const { return m_stopRequested; }

    // Files converted at once within a sub-folder, each with its own writer. One walks
    // the files in listing order, one after the other; more keep a server busy
    // that answers one post at a time no faster than one stream can feed it.
    void SetJobs(int jobs) { m_jobs = jobs < 1 ? 1 : jobs; }

    // Files whose lines were all written go into the journal; a resuming journal's files are skipped.
    void SetJournal(Journal* journal) { m_journal = journal; }

private:
    struct PendingFile {
        std::string path;
        uint64_t records = 0;
        std::optional<FileStamp> stamp;
        uint64_t bytes = 0;
    };

    void SkipFile(const std::string& name, const char* why);
    std::unique_ptr<RyInfluxDB> JobWriter();
    // True when the file's records went to `writer`; it is done once they are posted.
    // resolvedFolder: the file's folder resolved, or empty.
    bool ConvertDatFile(const std::string& path, RyInfluxDB& writer, const std::string& resolvedFolder);
    void FileStored(uint64_t source, const WriteCounts& counts, bool allStored);
    void FileDone(const std::string& path, uint64_t bytes);

    std::string folderPath;
    std::string databaseName;
    Progress& progress;
    InfluxTarget m_target;
    ConversionTotals m_totals;
    void ConvertListedFile(const std::string& folder, const std::string& name, RyInfluxDB& writer);
    void CountSkipped();

    std::atomic<bool> m_stopRequested{false};
    int m_jobs = 1;
    Journal* m_journal = nullptr;
    std::recursive_mutex m_mutex;  // the totals, the files pending, and one progress call at a time
    std::unordered_map<uint64_t, PendingFile> m_pending;  // by source number
    std::string m_resolvedFolder;                         // of the sub-folder under way, for the journal's stamps
    std::atomic<uint64_t> m_nextSource{0};
};

// Calls `visit` with the path of every "*.DAT" entry of the folder's first-level
// sub-folders, by the listing rules of a conversion, without its progress lines.
void ForEachDataLogFile(const std::string& folderPath, const std::function<void(const std::string& path)>& visit);

// The files a walk of the folder will meet (the same listing rules), for progress.
SourceSize DataLogFilesIn(const std::string& folderPath);

// Parts of a data-log file's name (after the last '/'): the kind letter before its last '.',
// the tag name before its first '$'.
struct DatFileName {
    int kind = -1;  // TableKind, or -1 for a letter that is no data-log kind
    std::string tagName;
    const char* problem = nullptr;  // why the name cannot be used, or null
};
DatFileName ParseDatFileName(const std::string& path);

}  // namespace quarvel
