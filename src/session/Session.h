#pragma once

// One conversion of a node's history, as both front ends run it: the node gives the
// folder and the database, the server is checked (the front end answers the questions
// the checks raise), the journal is opened, then the data-log files or the tables are
// converted, with progress told to the front end, and the totals give the exit status.

#include "conversion/Converter.h"
#include "conversion/Journal.h"
#include "conversion/Progress.h"
#include "conversion/Totals.h"
#include "datalog/DataLogConverter.h"
#include "influx/Preflight.h"
#include "influx/RyInfluxDB.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quarvel {

enum ExitCode : int {
    kAllWritten = 0,
    kLinesNotWritten = 1,
    kUsageError = 2,
    kServerUnreachable = 3,
};

enum class SourceKind { kDataLog, kTables };

// "Ry_" and the node's name, cut to 259 bytes without splitting a character of the code
// page (empty: the locale's).
std::string DatabaseFor(const std::string& nodeName, const std::string& codePage = {});

struct SessionOptions {
    SourceKind kind = SourceKind::kDataLog;
    std::string node;          // node folder: the database Ry_<name> and the data-log folder of its sysinfo.ini
    std::string folder;        // the data-log or table folder; empty: the node's
    std::string database;      // empty: DatabaseFor the node's name
    bool resume = false;       // skip the files the journal holds as converted
    bool dryRun = false;       // the target posts elsewhere: no checks, no journal, one try
    bool follow = false;       // the node writes on: every kind's policy is needed, an empty folder is checked too
    int jobs = 1;              // data-log files converted at once
    std::optional<bool> gzip;  // compressed posts; unset: for a server on another machine only
    int maxRefusals = 3;       // batches in a row the server refuses for good before the run stops
    std::string shardDuration = kDefaultShardDuration;  // of the policies the checks create
    uint64_t maxRate = 0;                               // lines per second over all jobs; 0: no limit
    bool acceptDrop = false;  // convert into a VictoriaMetrics whose retention drops the oldest points
    InfluxTarget target;      // the server, its login, the code page and how batches travel
};

// For the retention checks: per kind, the oldest line time stamp a conversion of the folder
// would send, from the first sample of each file (samples are stored in time order).
OldestLineTimes OldestSamples(const std::string& folder, SourceKind kind);

// What the server checks found: the server's answers, the oldest sample of each kind in
// the folder (none without a folder), and the policies that will drop some of them.
struct ServerReport {
    ServerCheck found;
    OldestLineTimes oldest;
    std::vector<std::string> warnings;
};

// Why the checks found the server of no use, in every front end's words: "the server URL cannot be
// reached" (or "did not answer the checks", "needs a login", "refused the login of NAME", "is neither
// InfluxDB 1.x nor VictoriaMetrics"), or "NAME may not write to DB"; kReason adds what was said, or the certificate's
// fault; kHints, the options that help.
enum class UnusableDetail { kWords, kReason, kHints };
std::string UnusableText(const ServerCheck& found, const std::string& database, const ServerAccess& access,
                         UnusableDetail detail);

// The questions and news of the checks before a conversion. The command line answers
// from its options and prints; the window asks the operator.
class CheckQuestions {
public:
    CheckQuestions() = default;
    virtual ~CheckQuestions() = default;
    CheckQuestions(const CheckQuestions&) = delete;
    CheckQuestions& operator=(const CheckQuestions&) = delete;

    // The server cannot be reached, did not answer the checks, refused the login or the
    // right to write (found.outcome says which); nothing is converted.
    virtual void ServerUnusable(const ServerCheck& found) = 0;
    // The database or some retention policies are missing: true creates them (duration INF).
    virtual bool CreateMissing(const ServerCheck& found) = 0;
    // The server refused to create `missing`; nothing is converted.
    virtual void CreationFailed(const std::vector<std::string>& missing, const std::string& error) = 0;
    virtual void Created(const std::string& text) = 0;
    // Policies shorter than the age of their oldest samples, or what the login may not
    // see: true converts anyway.
    virtual bool ConvertDespite(const std::vector<std::string>& warnings) = 0;
    // A VictoriaMetrics that would drop the node's oldest points, untold to accept it
    // (SessionOptions::acceptDrop): true converts anyway.
    virtual bool DropAnyway(const std::string& text) { return ConvertDespite({text}); }
};

class Session {
public:
    explicit Session(SessionOptions options);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& Folder() const { return m_folder; }              // ends with '/'
    const std::string& Database() const { return m_database; }          // as the node names it
    const std::string& DatabaseUtf8() const { return m_databaseUtf8; }  // as the server knows it; empty: unreadable
    const std::string& Url() const { return m_options.target.baseUrl; }
    const ServerAccess& Access() const { return m_options.target.access; }
    const InfluxTarget& Target() const { return m_options.target; }
    SourceKind Kind() const { return m_options.kind; }
    bool FolderExists() const;
    const SourceSize& Found() const { return m_found; }  // the files to convert and their bytes

    // Whether Prepare asks the server: a folder with nothing to convert (unless followed) and a dry run do not.
    bool ChecksServer() const { return !m_options.dryRun && (m_found.files > 0 || m_options.follow); }
    // The checks of the database on the first server alone, asking nothing; with the
    // node's samples, only the policies of its kinds are needed, and the retention
    // warnings are about its oldest samples.
    ServerReport CheckOnly(bool withSamples) const;

    // Before the run: the server checks with their questions, then the journal. A folder
    // with nothing to convert and a dry run need neither. kAllWritten to go on; otherwise
    // the exit status, and nothing is to be converted.
    int Prepare(CheckQuestions& questions);
    // Why the run keeps no journal when it has none (a later resume converts every file again).
    const std::string& JournalProblem() const { return m_journalProblem; }
    bool Follows() const { return m_options.follow; }
    // For a run without Prepare: the journal entries of the files read are kept in memory
    // alone, for TakeEntries, which leaves none, so that a later run reads every file again.
    void HoldEntries() { m_journal.Hold(); }
    std::vector<std::pair<std::string, JournalEntry>> TakeEntries() {
        auto held = m_journal.Held();
        m_journal.Hold();
        return held;
    }

    // Converts the folder, telling `progress`; returns the exit status. A conversion
    // without Prepare keeps no journal. With `only`, just those files of the folder: data-log
    // files, or table files after the tag catalogue. Run again with resume, it converts what
    // changed since; the server's refusals are counted across the runs. With `windows`, the
    // data-log files it names give only their records of those times.
    int Run(Progress& progress, const std::vector<std::string>* only = nullptr, const FileWindows* windows = nullptr);

    // From any thread: the run ends after the files under way.
    void RequestStop();

    const ConversionTotals& Totals() const { return m_totals; }

    // Why the run stopped early on its own: the server refused batch after batch for good
    // ("HTTP 403 ..."); empty when it did not.
    const std::string& RefusedWith() const { return m_refusedWith; }

private:
    void Drive(Converter& converter, const std::vector<std::string>* only,
               const std::function<void(const std::string&)>& convertFile);
    // The checks of one node; its warnings join `warnings`. kAllWritten to go on.
    int CheckNode(const std::string& url, CheckQuestions& questions, std::vector<std::string>& warnings);

    SessionOptions m_options;
    std::string m_folder;
    std::string m_database;
    std::string m_databaseUtf8;
    SourceSize m_found;
    std::optional<OldestLineTimes> m_oldest;  // scanned once, when a node's policy drops old points
    Journal m_journal;
    std::string m_journalProblem;
    ConversionTotals m_totals;
    std::string m_refusedWith;

    std::atomic<bool> m_stopRequested{false};
    std::mutex m_stopMutex;
    std::function<void()> m_stopRunning;  // stops the converter under way
};

ExitCode ExitStatus(const ConversionTotals& totals);

// Data-log files converted at once unless told otherwise: one per core.
int DefaultJobs();

}  // namespace quarvel
