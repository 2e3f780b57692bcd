#pragma once

// What both converters share and the session drives: the folder, the database and the
// server, the jobs, the journal, a stop request, the retry notice and the totals, and the
// lines a resumed file, a left file and a stopped run are told with.

#include "conversion/Journal.h"
#include "conversion/Progress.h"
#include "conversion/Totals.h"
#include "influx/RyInfluxDB.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

namespace quarvel {

class Converter {
public:
    // folderPath: the source folder; a missing trailing '/' is added.
    Converter(const std::string& folderPath, const std::string& databaseName, Progress& progress, InfluxTarget target);
    virtual ~Converter() = default;
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    virtual void ConvertAll() = 0;  // the whole folder, with its progress lines
    const ConversionTotals& Totals() const { return m_totals; }

    // Asks the run, from any thread, to end after the files it is converting: their lines
    // are all posted, later files are left alone and no message box shows.
    void RequestStop() { m_stopRequested = true; }
    bool Stopped() const { return m_stopRequested; }

    // Data-log files, or writers of a table, at once.
    void SetJobs(int jobs) { m_jobs = jobs < 1 ? 1 : jobs; }
    // Files whose lines were all written go into the journal; a resuming journal's files are skipped.
    void SetJournal(Journal* journal) { m_journal = journal; }
    // Whether a source is journaled once every line the server did not store was refused at
    // once and kept in an unsent-line file, so that a resumed run does not read it again.
    void SetJournalKeptAside(bool kept) { m_journalKeptAside = kept; }

protected:
    // One progress line; from any thread, one at a time.
    virtual void Tell(const std::string& text) = 0;

    // True (counted and told) when the journal holds the file as converted with its stamp;
    // otherwise `stamp` is its stamp to record once its lines are all written (none without
    // a journal), and `known` what the journal holds of an earlier state of it, if anything.
    bool Resumed(const std::string& path, std::optional<FileStamp>& stamp, std::optional<JournalEntry>& known,
                 const std::string& resolvedFolder = {});
    // Counts and tells a file left alone as converted before.
    void TellResumed(const std::string& path);
    // A file left alone, counted; `why` (if any) is told with its name.
    void Skip(const std::string& path, const char* why = nullptr);
    // A file the reader could not open: gone since the listing (left without a word), no
    // regular file, or one that exists but cannot be read.
    void SkipUnopened(const std::string& path);
    void NameUnreadable(const std::string& path);            // in the totals and the log
    void FileDone(const std::string& path, uint64_t bytes);  // converted or not: told to the progress
    void TellRead(uint64_t bytesRead);                       // of the file under way
    // A file whose reading stopped before its end: named unreadable and told so; what was
    // read of it goes on, and `stamp` is dropped so that no journal takes it as converted.
    void ReadInPart(const std::string& path, std::optional<FileStamp>& stamp);
    // "Conversion stopped after N files" when a stop was asked for; true then.
    bool TellIfStopped();

    // A source file handed to the writers, until every post that carried its lines has ended.
    struct PendingSource {
        std::string path;
        uint64_t records = 0;  // handed to the writers
        uint64_t bytes = 0;    // told to the progress once done
        std::optional<FileStamp> stamp;
        JournalEntry entry;  // recorded once its lines are all stored
        WriteCounts counts;  // what became of its lines
        bool allStored = true;
        bool allKept = true;  // every line stored, or refused at once and kept aside
    };
    // Sources whose posts have all ended: those whose lines are all in the server go into
    // the journal, in one write; then each is counted and told done, with the totals as
    // they stand after it.
    void Stored(std::vector<PendingSource> sources);

    const std::string folderPath;
    const std::string databaseName;
    Progress& progress;
    InfluxTarget m_target;  // its retry notices are told as progress lines
    ConversionTotals m_totals;
    int m_jobs = 1;
    Journal* m_journal = nullptr;
    bool m_journalKeptAside = false;
    std::recursive_mutex m_mutex;  // the totals, and one progress call at a time

private:
    std::atomic<bool> m_stopRequested{false};
};

// The name of a file after its last '/'.
inline std::string FileName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace quarvel
