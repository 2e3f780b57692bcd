#pragma once

// Converts a node's tables: the tag catalogue from "Tags.rdb", then every other "*.rdb"
// file of the folder through the table library of its kind letter, one file at a time.
// A file's samples go to one writer per job (lane), each posting on a thread of its own,
// a tag always through the same lane so that its lines keep their order.
// Keeps the five libraries connected for its lifetime (T, X, M, H, D), also when an
// exception leaves a conversion. Progress lines come in the order things happen, one at a
// time, so a caller may run it on the window's own thread and show each line at once.

#include "conversion/Progress.h"
#include "conversion/Totals.h"
#include "influx/RyInfluxDB.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quarvel {

class Journal;

class RtdbConverter {
public:
    // folderPath is the folder of the table files; a missing trailing '/' is added.
    RtdbConverter(const std::string& databaseName, const std::string& folderPath, InfluxTarget target = {});
    ~RtdbConverter();
    RtdbConverter(const RtdbConverter&) = delete;
    RtdbConverter& operator=(const RtdbConverter&) = delete;

    // Where the progress lines go; without it they are not shown.
    void SetProgress(Progress& to) { progress = &to; }

    void LoadTagTable();
    // The catalogue's name of `id`; an unknown id is entered with an empty name. The
    // reference stays valid as long as the converter.
    const std::string& TagName(int32_t id);
    void AddProgressLine(const std::string& text);

    void ConvertAllTables();
    void ConvertTableFile(const std::string& path);

    const ConversionTotals& Totals() const { return m_totals; }

    // Asks the export, from any thread, to end after the table file it is converting:
    // that file's lines are all posted, later files are left alone.
    void RequestStop() { m_stopRequested = true; }
    bool Stopped() const { return m_stopRequested; }

    // Files whose lines were all written go into the journal; a resuming journal's files are skipped.
    void SetJournal(Journal* journal) { m_journal = journal; }

    // Writers of a table at once. A target that waits in its caller's event loop
    // (InfluxTarget::wait) keeps one: the export's posts then stay on the caller's thread.
    void SetJobs(int jobs) { m_jobs = jobs < 1 ? 1 : jobs; }

private:
    std::string folderPath;
    std::string databaseName;
    std::unordered_map<int32_t, std::string> tagNames;
    Progress* progress = nullptr;
    InfluxTarget m_target;
    ConversionTotals m_totals;
    std::atomic<bool> m_stopRequested{false};
    Journal* m_journal = nullptr;
    int m_jobs = 1;
    std::mutex m_progressMutex;  // lanes tell their retries on their own threads
};

// TableKind of a table file's path from the letter before its last '.': X raw; M, 1 or 2
// minute; H hour; D day. -1 for any other letter.
int TableKindOfPath(const std::string& path);

// The table files an export of the folder will meet ("*.rdb" other than "Tags.rdb"),
// for progress displays.
SourceSize TableFilesIn(const std::string& folderPath);

}  // namespace quarvel
