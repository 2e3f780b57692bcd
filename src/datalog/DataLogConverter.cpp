#include "datalog/DataLogConverter.h"

#include "influx/LineFormat.h"
#include "logging/Logging.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace quarvel {

namespace {

// "year/mm/dd hh:mm:ss" of a stored time as the Debug Screen shows it: (time - the fixed
// offset) seconds after 1970, taken as an unsigned 32-bit count.
std::string DisplayDate(int32_t time) {
    const time_t seconds = static_cast<uint32_t>(static_cast<uint32_t>(time) - kFixedOffset);
    struct tm date {};
    gmtime_r(&seconds, &date);
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday,
                  date.tm_hour, date.tm_min, date.tm_sec);
    return text;
}

}  // namespace

void DataLogConverter::Tell(const std::string& text) {
    std::lock_guard lock(m_mutex);
    progress.Line(text);
    LogMessage("%s", text.c_str());
}

void DataLogConverter::ConvertAll() {
    Tell("Start conversion");
    WalkDataLogFolder(
        folderPath,
        [this](const std::string& folder, const std::vector<std::string>& names) { ConvertFolder(folder, names); },
        [this](const std::string& line) { Tell(line); }, [this] { return Stopped(); });
    if (TellIfStopped()) return;
    const std::string completion = CompletionText(m_totals);
    progress.Ended(completion);
    Tell(completion);
}

// Jobs take the listed files in order; the folder is done when all are, so the files of
// one sub-folder are all posted before the next sub-folder begins.
void DataLogConverter::ConvertFolder(const std::string& folder, const std::vector<std::string>& names) {
    m_resolvedFolder = m_journal != nullptr ? FileStamp::ResolvedFolder(folder) : std::string();
    std::atomic<size_t> next{0};
    const auto job = [&] {
        const std::unique_ptr<RyInfluxDB> writer = JobWriter();
        for (size_t index = next++; index < names.size() && !Stopped(); index = next++)
            ConvertListedFile(folder, names[index], *writer);
        writer->FlushAll();
    };
    if (m_jobs == 1) return job();
    std::vector<std::thread> jobs;
    for (int i = 0; i < m_jobs; ++i) jobs.emplace_back(job);
    for (auto& running : jobs) running.join();
}

std::unique_ptr<RyInfluxDB> DataLogConverter::JobWriter() {
    auto writer = std::make_unique<RyInfluxDB>(databaseName.c_str(), m_target);
    writer->OnSourceDone([this](uint64_t source, const WriteCounts& counts, bool allStored) {
        FileStored(source, counts, allStored);
    });
    return writer;
}

// Converts one file that the listing named: its name line, the file, and once it is done
// its path line.
void DataLogConverter::ConvertListedFile(const std::string& folder, const std::string& name, RyInfluxDB& writer) {
    Tell(name);
    const std::string path = folder + name;
    bool handed = false;
    if (path.size() < PATH_MAX) {
        handed = ConvertDatFile(path, writer, m_resolvedFolder);
    } else {
        Skip(path, "path too long");
    }
    if (!handed) FileDone(path, FileBytes(path));
}

void DataLogConverter::FileDone(const std::string& path, uint64_t bytes) {
    std::lock_guard lock(m_mutex);
    m_totals.bytesDone += bytes;
    progress.FileDone(path, m_totals);
}

// Every post that carried the file's lines has ended: only a file whose lines are all in
// the server goes into the journal.
void DataLogConverter::FileStored(uint64_t source, const WriteCounts& counts, bool allStored) {
    PendingFile file;
    {
        std::lock_guard lock(m_mutex);
        auto node = m_pending.extract(source);
        if (node.empty()) return;
        file = std::move(node.mapped());
        AddConvertedFile(m_totals, file.path, file.records, counts);
    }
    if (file.stamp && allStored && counts.linesNotWritten == 0) m_journal->Record(*file.stamp);
    FileDone(file.path, file.bytes);
}

void DataLogConverter::ConvertDatFile(const std::string& path) {
    const std::unique_ptr<RyInfluxDB> writer = JobWriter();
    ConvertDatFile(path, *writer, {});
    writer->FlushAll();
}

bool DataLogConverter::ConvertDatFile(const std::string& path, RyInfluxDB& writer, const std::string& resolvedFolder) {
    const DatFileName parsed = ParseDatFileName(path);
    if (parsed.kind < 0 || parsed.problem != nullptr) {
        Skip(path, parsed.problem);  // not a data-log kind: passed over without a word, as always
        return false;
    }
    std::optional<FileStamp> stamp;
    if (Resumed(path, stamp, resolvedFolder)) return false;

    DataLogFile file;
    if (!file.Open(path, parsed.kind)) {
        SkipUnopened(path);
        return false;
    }
    const int kind = parsed.kind;
    const size_t recordSize = kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    const uint64_t source = m_nextSource++;
    {
        std::lock_guard lock(m_mutex);
        m_pending.emplace(source, PendingFile{path, 0, stamp, file.Bytes()});
    }
    writer.BeginSource(source);
    uint64_t records = 0;
    bool whole = false;
    {
        // The writer is this job's alone: one lock and one look at the name for the file's
        // samples instead of one each.
        std::lock_guard lock(writer.m_batchLock[kind]);
        const RyInfluxDB::LineName& lineName = writer.NameOf(parsed.tagName.c_str());
        whole = file.Read(0, file.Records(), [&](const char* piece, size_t count) {
            records += count;
            for (size_t i = 0; i < count; ++i) {
                // A record is a LogSample byte for byte; the writer reads it in place.
                const auto& sample = *reinterpret_cast<const LogSample*>(piece + i * recordSize);
                if (HasNoValue(sample))
                    DebugScreenPrint("\r\n %s : %s = %d", std::to_string(sample.time).c_str(),
                                     DisplayDate(sample.time).c_str(), ValueBits(sample));
                if (kind == kRaw)
                    writer.AddRawSample(lineName, sample);
                else
                    writer.AddSummarySample(kind, lineName, sample);
            }
        });
    }
    {
        std::lock_guard lock(m_mutex);
        PendingFile& pending = m_pending.at(source);
        pending.records = records;
        if (!whole) pending.stamp.reset();  // what is left of it is to be converted again
    }
    if (!whole) {
        NameUnreadable(path);
        Tell("Could not read all of " + FileName(path));
    }
    writer.EndSource();
    return true;
}

}  // namespace quarvel
