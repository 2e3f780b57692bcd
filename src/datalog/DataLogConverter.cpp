#include "datalog/DataLogConverter.h"

#include "influx/LineFormat.h"
#include "logging/Logging.h"
#include "platform/Files.h"
#include "platform/FindFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <unordered_set>
#include <vector>

namespace quarvel {

namespace {

constexpr size_t kMaxTagName = 31;

// A file this large is read ahead further; a small one is not worth the call.
constexpr uint64_t kReadAheadFrom = uint64_t{1} << 18;

bool Fits(const std::string& path) {
    return path.size() < PATH_MAX;
}

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

// What tells a file that only grew from one rewritten: its first and last stored records.
uint64_t Fingerprint(const std::string& first, const std::string& last) {
    return platform::Fnv1a(first + last);
}

// Hands the last record of each piece to `into`.
DataLogFile::Piece KeepLast(std::string& into, size_t recordSize) {
    return [&into, recordSize](const char* records, size_t count) {
        into.assign(records + (count - 1) * recordSize, recordSize);
    };
}

// How many of the file's records the journal holds as stored, when the file has only grown
// since: they are all there still, and their first and last are those of the entry. 0 when
// the file is to be converted whole. `first` and `last` get the first and the last stored
// record.
uint64_t StoredRecords(DataLogFile& file, const JournalEntry& known, size_t recordSize, std::string& first,
                       std::string& last) {
    using Form = JournalEntry::Form;
    // An entry of the older form holds a file stored whole as large as it was; without a
    // fingerprint it is trusted to have only grown since.
    const uint64_t stored = known.form == Form::kRecords ? known.records
                            : known.form == Form::kWhole ? known.size / recordSize
                                                         : 0;
    if (stored == 0 || stored > file.Records()) return 0;
    if (!file.Read(0, 1, KeepLast(first, recordSize)) || !file.Read(stored - 1, stored, KeepLast(last, recordSize)) ||
        last.empty())
        return 0;
    if (known.form == Form::kRecords && Fingerprint(first, last) != known.fingerprint) return 0;
    return stored;
}

// The first record whose line time is `seconds` or later, by halving: records are in time order.
uint64_t FirstRecordFrom(DataLogFile& file, int64_t seconds, int32_t zoneOffset) {
    uint64_t low = 0;
    uint64_t high = file.Records();
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        int64_t time = INT64_MAX;  // a record that cannot be read ends the range early, never late
        file.Read(middle, middle + 1, [&time, zoneOffset](const char* record, size_t) {
            time = LineTimestamp(reinterpret_cast<const LogSample*>(record)->time, zoneOffset);
        });
        if (time < seconds)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// The record ranges [from, to) that hold the times of `windows`, ascending and apart.
std::vector<std::pair<uint64_t, uint64_t>> RecordRanges(DataLogFile& file, const TimeWindows& windows) {
    const int32_t zoneOffset = StandardZoneOffset();
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const auto& [first, last] : windows) {
        const uint64_t from = FirstRecordFrom(file, first, zoneOffset);
        const uint64_t to = FirstRecordFrom(file, last + 1, zoneOffset);
        if (from >= to) continue;
        if (!ranges.empty() && from <= ranges.back().second)
            ranges.back().second = std::max(ranges.back().second, to);
        else
            ranges.emplace_back(from, to);
    }
    return ranges;
}

}  // namespace

DatFileName ParseDatFileName(const std::string& path) {
    DatFileName parsed;
    // Both come from the file name alone: the folders above it may hold dots and dollars.
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) return parsed;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        if (path[dot - 1] == kKindLetter[kind]) parsed.kind = kind;
    if (parsed.kind < 0) return parsed;

    const size_t dollar = path.find('$', nameStart);
    if (dollar == std::string::npos) {
        parsed.problem = "no \"$\" in the file name";
    } else if (dollar - nameStart > kMaxTagName) {
        parsed.problem = "tag name longer than 31 characters";
    } else {
        parsed.tagName = path.substr(nameStart, dollar - nameStart);
    }
    return parsed;
}

void WalkDataLogFolder(const std::string& folderPath, const SubFolderVisit& visit,
                       const std::function<void(const std::string& line)>& tell, const std::function<bool()>& stop) {
    const std::string folder = platform::WithSeparator(folderPath);
    const std::string pattern = folder + "*.*";
    tell(pattern);
    if (!Fits(pattern)) return tell("Folder path too long, nothing converted");
    platform::FindFile folders;
    platform::FindData entry;
    for (bool more = folders.First(pattern, entry); more && !stop(); more = folders.Next(entry)) {
        if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
        tell(entry.name);
        const std::string subFolder = folder + entry.name + "/";
        const std::string files = subFolder + "*.DAT";
        tell(files);
        if (!Fits(files)) {
            tell("Folder path too long, skipped: " + entry.name);
            continue;
        }
        std::vector<std::string> names;
        platform::FindFile listing;
        platform::FindData file;
        for (bool found = listing.First(files, file); found; found = listing.Next(file)) names.push_back(file.name);
        visit(subFolder, names);
    }
}

SourceSize DataLogFilesIn(const std::string& folderPath) {
    SourceSize size;
    WalkDataLogFolder(folderPath, [&size](const std::string& subFolder, const std::vector<std::string>& names) {
        const platform::OpenFolder folder(subFolder);
        for (const std::string& name : names) size.Add(subFolder + name, ParseDatFileName(name).kind, &folder);
    });
    return size;
}

bool DataLogFile::Open(const std::string& path, int kind, bool noFollow, const platform::OpenFolder* folder) {
    m_recordSize = kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    m_fd = platform::OpenFolder::Open(folder, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0));
    struct stat info {};
    if (m_fd >= 0 && (fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(m_fd);
        m_fd = -1;
    }
    m_bytes = m_fd >= 0 ? static_cast<uint64_t>(info.st_size) : 0;
    m_modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    if (m_bytes >= kReadAheadFrom) posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return m_fd >= 0;
}

bool DataLogFile::Read(uint64_t from, uint64_t to, const Piece& piece) {
    to = std::min(to, Records());
    for (uint64_t at = from; at < to;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(to - at, kPieceBytes / m_recordSize)) * m_recordSize;
        if (want > m_bufferSize) {
            m_buffer = std::make_unique_for_overwrite<char[]>(want);
            m_bufferSize = want;
        }
        size_t got = 0;
        while (got < want) {
            const ssize_t read =
                pread(m_fd, m_buffer.get() + got, want - got, static_cast<off_t>(at * m_recordSize + got));
            if (read < 0 && errno == EINTR) continue;
            if (read < 0) return false;
            if (read == 0) break;  // the file shrank while it was read
            got += static_cast<size_t>(read);
        }
        if (got >= m_recordSize) piece(m_buffer.get(), got / m_recordSize);
        if (got < want) return true;
        at += want / m_recordSize;
    }
    return true;
}

std::optional<int32_t> FirstRecordTime(const std::string& path) {
    const DatFileName parsed = ParseDatFileName(path);
    DataLogFile file;
    if (parsed.kind < 0 || parsed.problem != nullptr || !file.Open(path, parsed.kind)) return std::nullopt;
    std::optional<int32_t> time;
    file.Read(0, 1, [&time](const char* records, size_t) { time = reinterpret_cast<const LogSample*>(records)->time; });
    return time;
}

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
    FlushWriters();
    m_writers.clear();
    m_seriesSeen.clear();
    if (TellIfStopped()) return;
    const std::string completion = CompletionText(m_totals);
    progress.Ended(completion);
    Tell(completion);
}

// Jobs take the listed files in order, so the files of one sub-folder are all read before
// the next sub-folder begins. The job writers go on from sub-folder to sub-folder: a
// sub-folder's last posts are under way while the next one's files are read, and the window
// and the connections stay as the link set them.
void DataLogConverter::ConvertFolder(const std::string& folder, const std::vector<std::string>& names) {
    // A tag and kind met in an earlier sub-folder may come to another job's writer here: every
    // earlier post ends first, so that its lines are stored in the order they are read. One
    // met twice in this sub-folder (one tag name before two numbers) keeps that order on one
    // writer, which holds back a post that repeats a time until the posts before it ended.
    bool seenBefore = false;
    bool twiceHere = false;
    std::unordered_set<std::string> here;
    for (const std::string& name : names) {
        const DatFileName parsed = ParseDatFileName(name);
        if (parsed.kind < 0 || parsed.problem != nullptr) continue;
        std::string series = kKindLetter[parsed.kind] + parsed.tagName;
        if (!m_seriesSeen.insert(series).second && !here.contains(series)) seenBefore = true;
        twiceHere = !here.insert(std::move(series)).second || twiceHere;
    }
    if (seenBefore) FlushWriters();
    m_resolvedFolder = m_journal != nullptr ? FileStamp::ResolvedFolder(folder) : std::string();
    m_folder = m_journal != nullptr ? std::make_unique<platform::OpenFolder>(folder) : nullptr;
    while (m_writers.size() < static_cast<size_t>(m_jobs)) m_writers.push_back(JobWriter());
    if (twiceHere) {
        for (const std::string& name : names)
            if (!Stopped()) ConvertListedFile(folder, name, *m_writers.front());
        return;
    }
    std::atomic<size_t> next{0};
    const auto job = [&](RyInfluxDB& writer) {
        for (size_t index = next++; index < names.size() && !Stopped(); index = next++)
            ConvertListedFile(folder, names[index], writer);
    };
    EachWriter(job);
}

void DataLogConverter::FlushWriters() {
    EachWriter([](RyInfluxDB& writer) { writer.FlushAll(); });
}

void DataLogConverter::EachWriter(const std::function<void(RyInfluxDB&)>& work) {
    if (m_writers.size() == 1) return work(*m_writers.front());
    std::vector<std::thread> threads;
    for (const auto& writer : m_writers) threads.emplace_back([&work, &writer] { work(*writer); });
    for (auto& running : threads) running.join();
}

std::unique_ptr<RyInfluxDB> DataLogConverter::JobWriter() {
    auto writer = std::make_unique<RyInfluxDB>(databaseName.c_str(), m_target);
    writer->OnSourceDone([this](const std::vector<RyInfluxDB::SourceOutcome>& done) { FilesStored(done); });
    return writer;
}

// Converts one file that the listing named: its name line, the file, and once it is done
// its path line.
void DataLogConverter::ConvertListedFile(const std::string& folder, const std::string& name, RyInfluxDB& writer) {
    Tell(name);
    const std::string path = folder + name;
    if (!Fits(path)) Skip(path, "path too long");
    if (!Fits(path) || !ConvertDatFile(path, writer, m_resolvedFolder)) FileDone(path, FileBytes(path));
}

// Every post that carried the files' lines has ended: only a file whose lines are all in
// the server goes into the journal.
void DataLogConverter::FilesStored(const std::vector<RyInfluxDB::SourceOutcome>& done) {
    std::vector<PendingSource> files;
    {
        std::lock_guard lock(m_mutex);
        for (const RyInfluxDB::SourceOutcome& outcome : done) {
            auto node = m_pending.extract(outcome.source);
            if (node.empty()) continue;
            PendingSource& file = files.emplace_back(std::move(node.mapped()));
            file.counts = outcome.counts;
            file.allStored = outcome.allStored;
            file.allKept = outcome.allKept;
        }
    }
    Stored(std::move(files));
}

// A file the journal holds nothing of under its name is opened at once, links not followed:
// the look at the opened file gives its stamp, and a node of thousands of new files is
// spared a look at each name before.
bool DataLogConverter::OpenedNew(const std::string& path, const std::string& resolvedFolder, int kind,
                                 DataLogFile& file, std::optional<FileStamp>& stamp) {
    if (m_journal == nullptr || resolvedFolder.empty()) return false;
    std::string named = FileStamp::NamedIn(resolvedFolder, path);
    if (m_journal->Find(named) || !file.Open(path, kind, true, m_folder.get())) return false;
    stamp = FileStamp{std::move(named), file.Bytes(), file.ModifiedNs()};
    return true;
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
    std::optional<JournalEntry> known;
    DataLogFile file;
    if (!OpenedNew(path, resolvedFolder, parsed.kind, file, stamp)) {
        if (Resumed(path, stamp, known, resolvedFolder)) return false;
        if (!file.Open(path, parsed.kind)) {
            SkipUnopened(path);
            return false;
        }
    }
    const int kind = parsed.kind;
    const size_t recordSize = kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    // A file that only grew since its entry posts the records after the stored ones.
    std::string first;
    std::string last;
    const uint64_t from = known ? StoredRecords(file, *known, recordSize, first, last) : 0;
    JournalEntry entry;
    entry.form = JournalEntry::Form::kRecords;
    if (from > 0 && from == file.Records()) {
        // Touched only: its new stamp spares the next run the look at its records.
        entry.records = from;
        entry.fingerprint = Fingerprint(first, last);
        m_journal->Record(*stamp, entry);
        TellResumed(path);
        return false;
    }
    if (from == 0) {
        first.clear();
        last.clear();
    }
    std::vector<std::pair<uint64_t, uint64_t>> ranges{{from, file.Records()}};
    if (m_windows != nullptr && m_windows->contains(path)) {
        ranges = RecordRanges(file, m_windows->at(path));
        stamp.reset();  // only part of it is read
    }
    const uint64_t source = m_nextSource++;
    writer.BeginSource(source);
    uint64_t records = 0;
    bool whole = true;
    for (const auto& [rangeFrom, rangeTo] : ranges) {
        // The writer is this job's alone: one lock and one look at the name for the file's
        // samples instead of one each.
        std::lock_guard lock(writer.m_batchLock[kind]);
        const RyInfluxDB::LineName& lineName = writer.NameOf(parsed.tagName.c_str());
        whole = whole && file.Read(rangeFrom, rangeTo, [&](const char* piece, size_t count) {
            if (first.empty()) first.assign(piece, recordSize);
            last.assign(piece + (count - 1) * recordSize, recordSize);
            records += count;
            for (size_t i = 0; i < count; ++i) {
                // A record is a LogSample byte for byte; the writer reads it in place.
                const auto& sample = *reinterpret_cast<const LogSample*>(piece + i * recordSize);
                if (HasNoValue(sample) && DebugScreenShown())
                    DebugScreenPrint("\r\n %s : %s = %d", std::to_string(sample.time).c_str(),
                                     DisplayDate(sample.time).c_str(), ValueBits(sample));
                if (kind == kRaw)
                    writer.AddRawSample(lineName, sample);
                else
                    writer.AddSummarySample(kind, lineName, sample);
            }
        });
    }
    if (!whole) ReadInPart(path, stamp);  // what is left of it is to be converted again
    entry.records = from + records;
    entry.fingerprint = Fingerprint(first, last);
    {
        // The writer tells what became of a source only after its end.
        std::lock_guard lock(m_mutex);
        m_pending.emplace(source, PendingSource{path, records, file.Bytes(), stamp, std::move(entry), {}, true});
    }
    writer.EndSource();
    return true;
}

}  // namespace quarvel
