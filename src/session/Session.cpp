#include "session/Session.h"

#include "datalog/DataLogConverter.h"
#include "influx/HttpPost.h"
#include "influx/LineFormat.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"
#include "platform/CodePage.h"
#include "platform/FindFile.h"
#include "rtdb/RtdbConverter.h"
#include "session/NodeFolder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <thread>

namespace quarvel {

namespace {

constexpr size_t kMaxDatabaseBytes = 259;  // the name's buffer, less its terminator

void Keep(OldestLineTimes& oldest, int kind, int32_t storedTime, int32_t zoneOffset) {
    const int64_t line = LineTimestamp(storedTime, zoneOffset);
    if (kind != kRaw && line < 0) return;  // the writer leaves such summaries out
    if (!oldest[kind] || line < *oldest[kind]) oldest[kind] = line;
}

// The retention warnings, and what the login may not see.
std::vector<std::string> Warnings(const ServerCheck& found, const OldestLineTimes& oldest, const std::string& database,
                                  const ServerAccess& access) {
    std::vector<std::string> warnings;
    if (!found.readable)
        warnings.push_back((access.HasLogin() ? access.Who() + " may write to " + database + " but not read it"
                                              : "the server accepts writes to " + database + " but does not list it") +
                           ": its retention policies were not checked");
    for (std::string& warning : RetentionWarnings(found, oldest, time(nullptr))) warnings.push_back(std::move(warning));
    return warnings;
}

// Tells the run's progress on, and asks the run to stop once the server has refused too
// many batches in a row for good: the files under way end, the others are not begun.
class RefusalGuard : public Progress {
public:
    RefusalGuard(Progress& inner, const ServerWatch& watch, int maxRefusals, Session& session, std::string& why)
        : m_inner(inner), m_watch(watch), m_maxRefusals(maxRefusals), m_session(session), m_why(why) {}

    void Line(const std::string& text) override { m_inner.Line(text); }
    void FileDone(const std::string& path, const ConversionTotals& totals) override {
        m_inner.FileDone(path, totals);
        if (!m_why.empty() || m_watch.RefusalsInARow() < m_maxRefusals) return;
        m_why = m_watch.LastRefusal();
        LogMessage("%d batches in a row were refused (%s): the conversion stops after the files under way",
                   m_watch.RefusalsInARow(), m_why.c_str());
        m_session.RequestStop();
    }
    void Reading(uint64_t bytesRead) override { m_inner.Reading(bytesRead); }
    void Ended(const std::string& text) override { m_inner.Ended(text); }

private:
    Progress& m_inner;
    const ServerWatch& m_watch;
    const int m_maxRefusals;
    Session& m_session;
    std::string& m_why;
};

}  // namespace

OldestLineTimes OldestSamples(const std::string& folder, SourceKind kind) {
    const int32_t zoneOffset = StandardZoneOffset();
    OldestLineTimes oldest;
    if (kind == SourceKind::kTables) {
        for (const std::string& path : TableFilesOf(folder))
            if (const auto time = FirstSampleTime(path)) Keep(oldest, TableKindOfPath(path), *time, zoneOffset);
        return oldest;
    }
    WalkDataLogFolder(folder, [&](const std::string& subFolder, const std::vector<std::string>& names) {
        for (const std::string& name : names)
            if (const auto time = FirstRecordTime(subFolder + name))
                Keep(oldest, ParseDatFileName(name).kind, *time, zoneOffset);
    });
    return oldest;
}

std::string DatabaseFor(const std::string& nodeName, const std::string& codePage) {
    const std::string name = "Ry_" + nodeName;
    return name.substr(0, platform::CharacterPrefix(name, kMaxDatabaseBytes, codePage));
}

Session::Session(SessionOptions options) : m_options(std::move(options)) {
    m_folder = platform::WithSeparator(m_options.folder.empty() ? NodeDataLogFolder(m_options.node) : m_options.folder);
    const std::string& codePage = m_options.target.codePage;
    m_database = m_options.database.empty() ? DatabaseFor(NodeName(m_options.node), codePage) : m_options.database;
    m_databaseUtf8 = ToUtf8(m_database.c_str(), codePage);
    m_options.target.gzip = m_options.gzip.value_or(GzipByDefault(m_options.target.baseUrl));
    m_options.target.watch = std::make_shared<ServerWatch>();  // the session's own, kept over its runs
    m_found = m_options.kind == SourceKind::kTables ? TableFilesIn(m_folder) : DataLogFilesIn(m_folder);
}

ServerReport Session::CheckOnly(bool withSamples) const {
    ServerReport report;
    report.found = CheckServer(Url(), m_databaseUtf8, {}, Access());
    if (!report.found.Checked()) return report;
    if (withSamples) {
        report.found.needed = m_found.kinds;
        report.oldest = OldestSamples(m_folder, m_options.kind);
    }
    report.warnings = Warnings(report.found, report.oldest, m_databaseUtf8, Access());
    return report;
}

bool Session::FolderExists() const {
    std::error_code error;
    return std::filesystem::is_directory(m_folder, error);
}

int Session::Prepare(CheckQuestions& questions) {
    if (!ChecksServer()) return kAllWritten;
    // Every node of a cluster or relay pair must take the lines; each is checked alike.
    std::vector<std::string> nodes{Url()};
    nodes.insert(nodes.end(), m_options.target.moreUrls.begin(), m_options.target.moreUrls.end());
    std::vector<std::string> warnings;
    for (const std::string& url : nodes) {
        const int status = CheckNode(url, questions, warnings);
        if (status != kAllWritten) return status;
    }
    if (!warnings.empty() && !questions.ConvertDespite(warnings)) return kUsageError;
    m_journal.Open(m_databaseUtf8, m_options.resume, m_journalProblem);
    return kAllWritten;
}

std::string UnusableText(const ServerCheck& found, const std::string& database, const ServerAccess& access,
                         UnusableDetail detail) {
    using Outcome = ServerCheck::Outcome;
    const std::string server = "the server " + found.url;
    if (found.outcome == Outcome::kLoginRefused && !access.HasLogin())
        return server + " needs a login" + (detail == UnusableDetail::kHints ? " (--username or --token)" : "");
    std::string words = found.outcome == Outcome::kLoginRefused   ? server + " refused the login of " + access.Who()
                        : found.outcome == Outcome::kWriteRefused ? access.Who() + " may not write to " + database
                        : found.outcome == Outcome::kUnreachable  ? server + " cannot be reached"
                        : found.outcome == Outcome::kUnknownServer
                            ? server + " is neither InfluxDB 1.x nor VictoriaMetrics"
                            : server + " did not answer the checks";
    if (detail == UnusableDetail::kWords) return words;
    if (found.outcome == Outcome::kUnknownServer && detail == UnusableDetail::kHints)
        return words + " (" + found.error + "); name it with --server-kind influxdb or --server-kind victoriametrics";
    if (found.certificateProblem.empty()) return words + " (" + found.error + ")";
    return words + ": " + found.certificateProblem +
           (detail == UnusableDetail::kHints ? "; add --ca-cert FILE or --insecure" : "");
}

int Session::CheckNode(const std::string& url, CheckQuestions& questions, std::vector<std::string>& warnings) {
    const ServerAccess& access = m_options.target.access;
    ServerCheck found = CheckServer(url, m_databaseUtf8, {}, access);
    // Only the policies of the kinds the node holds are needed.
    if (!m_options.follow) found.needed = m_found.kinds;
    // The posts in flight cover the link to the server that takes the lines first: its
    // check timed the round trip, so the run's writers need not ping it again.
    if (url == Url() && found.roundTrip > std::chrono::microseconds::zero()) {
        std::atomic<int64_t>& trip = m_options.target.watch->posts.roundTripNs;
        const int64_t timed = std::chrono::nanoseconds(found.roundTrip).count();
        if (trip < 0 || timed < trip) trip = timed;
    }
    if (!found.Checked()) {
        questions.ServerUnusable(found);
        const bool refused = found.outcome == ServerCheck::Outcome::kLoginRefused ||
                             found.outcome == ServerCheck::Outcome::kWriteRefused ||
                             found.outcome == ServerCheck::Outcome::kUnknownServer;
        return refused ? kUsageError : kServerUnreachable;
    }
    if (!found.Complete()) {
        if (!questions.CreateMissing(found)) return kUsageError;
        std::string error;
        if (!CreateDatabase(url, m_databaseUtf8, found, error, {}, access, m_options.shardDuration)) {
            questions.CreationFailed(found.Missing(m_databaseUtf8), error);
            return kUsageError;
        }
        questions.Created(CreationText(m_databaseUtf8, found, m_options.shardDuration));
        // The server ran every statement: checking again would only cost a server far away
        // its round trips (a connection, the ping, the queries and the probe write).
        found.Created();
    }
    // Only a policy that drops old points makes the oldest samples matter: the scan opens every file.
    const bool dropsOld = std::any_of(found.policies.begin(), found.policies.end(),
                                      [](const RetentionPolicyState& policy) { return policy.durationSeconds > 0; });
    if (dropsOld && m_oldest == std::nullopt) m_oldest = OldestSamples(m_folder, m_options.kind);
    std::vector<std::string> fresh = Warnings(found, m_oldest.value_or(OldestLineTimes{}), m_databaseUtf8, access);
    // VictoriaMetrics takes the points it drops without a word: such a run stops unless accepted.
    if (found.serverKind == ServerKind::kVictoriaMetrics && !fresh.empty() && !m_options.acceptDrop &&
        !questions.DropAnyway(fresh.front()))
        return kUsageError;
    for (std::string& warning : fresh)
        if (std::find(warnings.begin(), warnings.end(), warning) == warnings.end())
            warnings.push_back(std::move(warning));
    return kAllWritten;
}

void Session::RequestStop() {
    std::lock_guard lock(m_stopMutex);
    m_stopRequested = true;
    if (m_stopRunning) m_stopRunning();
}

int Session::Run(Progress& progress, const std::vector<std::string>* only, const FileWindows* windows) {
    InfluxTarget target = m_options.target;
    // A dry run's file is no server: a failed write is neither tried again nor kept, and its
    // batches go one after the other, in the order they were made.
    target.unsentFolder = m_options.dryRun ? "" : kUnsentFolder;
    if (m_options.dryRun) {
        target.retry.tries = 1;
        target.maxInFlight = 1;
    }
    if (m_options.maxRate > 0) target.rate = std::make_shared<LineRate>(m_options.maxRate);
    RefusalGuard guarded(progress, *target.watch, m_options.maxRefusals, *this, m_refusedWith);
    if (m_options.kind == SourceKind::kTables) {
        RtdbConverter converter(m_folder, m_database, guarded, target);
        if (only != nullptr) converter.LoadTagTable();
        Drive(converter, only, [&converter](const std::string& path) { converter.ConvertListedTable(path); });
    } else {
        DataLogConverter converter(m_folder, m_database, guarded, target);
        converter.SetWindows(windows);
        Drive(converter, only, [&converter](const std::string& path) { converter.ConvertDatFile(path); });
    }
    return ExitStatus(m_totals);
}

void Session::Drive(Converter& converter, const std::vector<std::string>* only,
                    const std::function<void(const std::string&)>& convertFile) {
    converter.SetJobs(m_options.jobs);
    converter.SetJournal(m_journal.IsOpen() ? &m_journal : nullptr);
    // Following reads the node again and again: lines the server refuses stay aside.
    converter.SetJournalKeptAside(m_options.follow);
    {
        std::lock_guard lock(m_stopMutex);
        m_stopRunning = [&converter] { converter.RequestStop(); };
        if (m_stopRequested) converter.RequestStop();
    }
    if (only == nullptr)
        converter.ConvertAll();
    else
        for (const std::string& path : *only)
            if (!converter.Stopped()) convertFile(path);
    m_journal.Sync();
    std::lock_guard lock(m_stopMutex);
    m_stopRunning = nullptr;
    m_totals = converter.Totals();
}

int DefaultJobs() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

ExitCode ExitStatus(const ConversionTotals& totals) {
    if (totals.writes.batchesUnanswered > 0) return kServerUnreachable;
    if (totals.writes.linesNotWritten > 0 || !totals.unreadable.empty()) return kLinesNotWritten;
    return kAllWritten;
}

}  // namespace quarvel
