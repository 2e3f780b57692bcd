#include "session/Session.h"

#include "datalog/DataLogConverter.h"
#include "influx/HttpPost.h"
#include "influx/Unsent.h"
#include "platform/CodePage.h"
#include "platform/FindFile.h"
#include "rtdb/RtdbConverter.h"
#include "session/NodeFolder.h"
#include "session/OldestSamples.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <thread>

namespace quarvel {

namespace {

constexpr size_t kMaxDatabaseBytes = 259;  // the name's buffer, less its terminator

OldestLineTimes OldestOf(const std::string& folder, SourceKind kind) {
    return kind == SourceKind::kTables ? OldestTableSamples(folder) : OldestDataLogSamples(folder);
}

}  // namespace

std::string DatabaseFor(const std::string& nodeName, const std::string& codePage) {
    const std::string name = "Ry_" + nodeName;
    return name.substr(0, platform::CharacterPrefix(name, kMaxDatabaseBytes, codePage));
}

ServerReport CheckServerFor(const std::string& url, const std::string& database, const std::string& folder,
                            SourceKind kind) {
    ServerReport report;
    report.found = CheckServer(url, database);
    if (!report.found.Checked()) return report;
    if (!folder.empty()) report.oldest = OldestOf(folder, kind);
    report.warnings = RetentionWarnings(report.found, report.oldest, time(nullptr));
    return report;
}

Session::Session(SessionOptions options) : m_options(std::move(options)) {
    m_folder = platform::WithSeparator(m_options.folder.empty() ? NodeDataLogFolder(m_options.node)
                                                                : m_options.folder);
    const std::string& codePage = m_options.target.codePage;
    m_database = m_options.database.empty() ? DatabaseFor(NodeName(m_options.node), codePage) : m_options.database;
    m_databaseUtf8 = ToUtf8(m_database.c_str(), codePage);
    m_options.target.gzip = m_options.gzip.value_or(GzipByDefault(m_options.target.baseUrl));
    m_filesFound = m_options.kind == SourceKind::kTables ? CountTableFiles(m_folder) : CountDataLogFiles(m_folder);
}

bool Session::FolderExists() const {
    std::error_code error;
    return std::filesystem::is_directory(m_folder, error);
}

int Session::Prepare(CheckQuestions& questions) {
    if (m_options.dryRun || m_filesFound == 0) return kAllWritten;
    const std::string& url = Url();
    ServerCheck found = CheckServer(url, m_databaseUtf8);
    if (!found.Checked()) {
        questions.ServerUnusable(found);
        return kServerUnreachable;
    }
    if (!found.Complete()) {
        if (!questions.CreateMissing(found)) return kUsageError;
        std::string error;
        if (!CreateDatabase(url, m_databaseUtf8, found, error)) {
            questions.CreationFailed(found.Missing(m_databaseUtf8), error);
            return kUsageError;
        }
        questions.Created(CreationText(m_databaseUtf8, found));
        found = CheckServer(url, m_databaseUtf8);
        if (!found.Complete()) {
            questions.StillIncomplete(found);
            return kUsageError;
        }
    }
    const std::vector<std::string> warnings = RetentionWarnings(found, OldestOf(m_folder, m_options.kind), time(nullptr));
    if (!warnings.empty() && !questions.ConvertDespite(warnings)) return kUsageError;
    m_journal.Open(m_databaseUtf8, m_options.resume, m_journalProblem);
    return kAllWritten;
}

void Session::RequestStop() {
    std::lock_guard lock(m_stopMutex);
    m_stopRequested = true;
    if (m_stopRunning) m_stopRunning();
}

int Session::Run(Progress& progress) {
    InfluxTarget target = m_options.target;
    // A dry run's file is no server: a failed write is neither tried again nor kept.
    target.unsentFolder = m_options.dryRun ? "" : kUnsentFolder;
    if (m_options.dryRun) target.retry.tries = 1;
    if (m_options.kind == SourceKind::kTables) {
        RtdbConverter converter(m_database, m_folder, target);
        converter.SetProgress(progress);
        Drive(converter, [&converter] { converter.ConvertAllTables(); });
    } else {
        DataLogConverter converter(m_folder, m_database, progress, target);
        converter.SetJobs(m_options.jobs);
        Drive(converter, [&converter] { converter.ConvertAllFolders(); });
    }
    return ExitStatus(m_totals);
}

template <typename Converter>
void Session::Drive(Converter& converter, const std::function<void()>& convert) {
    converter.SetJournal(m_journal.IsOpen() ? &m_journal : nullptr);
    {
        std::lock_guard lock(m_stopMutex);
        m_stopRunning = [&converter] { converter.RequestStop(); };
        if (m_stopRequested) converter.RequestStop();
    }
    convert();
    std::lock_guard lock(m_stopMutex);
    m_stopRunning = nullptr;
    m_totals = converter.Totals();
}

int DefaultJobs() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

ExitCode ExitStatus(const ConversionTotals& totals) {
    if (totals.writes.batchesUnanswered > 0) return kServerUnreachable;
    if (totals.writes.linesNotWritten > 0) return kLinesNotWritten;
    return kAllWritten;
}

}  // namespace quarvel
