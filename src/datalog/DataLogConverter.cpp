#include "datalog/DataLogConverter.h"

#include "logging/Logging.h"
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
#include <vector>

namespace quarvel {

namespace {

constexpr size_t kMaxTagName = 31;

// The whole file in one buffer, or nothing when it cannot be opened or read.
// Sizes are 64-bit, so files of 4 GiB and more are read whole too.
struct FileImage {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    bool opened = false;
    bool unreadable = false;  // it has bytes, but they could not be read
};

// A file this large is read ahead further; a small one is not worth the call.
constexpr size_t kReadAheadFrom = size_t{1} << 18;

FileImage ReadWholeFile(const std::string& path) {
    FileImage image;
    // Not blocking: a pipe or device among the files would otherwise wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return image;
    image.opened = true;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        image.unreadable = true;
    } else if (info.st_size > 0) {
        const auto size = static_cast<size_t>(info.st_size);
        if (size >= kReadAheadFrom) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        std::unique_ptr<char[]> bytes(new (std::nothrow) char[size]);
        size_t done = 0;
        while (bytes && done < size) {
            const ssize_t got = read(fd, bytes.get() + done, size - done);
            if (got > 0) {
                done += static_cast<size_t>(got);
            } else if (got < 0 && errno == EINTR) {
                continue;
            } else {
                break;  // an error, or the file shrank while it was read
            }
        }
        if (bytes && done > 0) {
            image.bytes = std::move(bytes);
            image.size = done;
        } else {
            image.unreadable = true;
        }
    }
    close(fd);
    return image;
}

// "year/mm/dd hh:mm:ss" of a stored time as the Debug Screen shows it: (time - 28800)
// seconds after 1970, taken as an unsigned 32-bit count.
std::string DisplayDate(int32_t time) {
    const time_t seconds = static_cast<uint32_t>(static_cast<uint32_t>(time) - 28800u);
    struct tm date {};
    gmtime_r(&seconds, &date);
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday,
                  date.tm_hour, date.tm_min, date.tm_sec);
    return text;
}

bool Fits(const std::string& path) {
    return path.size() < PATH_MAX;
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

void ForEachDataLogFile(const std::string& folderPath, const std::function<void(const std::string& path)>& visit) {
    const std::string folder = platform::WithSeparator(folderPath);
    platform::FindFile folders;
    platform::FindData entry;
    for (bool more = folders.First(folder + "*.*", entry); more; more = folders.Next(entry)) {
        if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
        const std::string subFolder = folder + entry.name + "/";
        platform::FindFile files;
        platform::FindData file;
        for (bool found = files.First(subFolder + "*.DAT", file); found; found = files.Next(file))
            visit(subFolder + file.name);
    }
}

SourceSize DataLogFilesIn(const std::string& folderPath) {
    SourceSize size;
    ForEachDataLogFile(folderPath, [&size](const std::string& path) { size.Add(path, ParseDatFileName(path).kind); });
    return size;
}

DataLogConverter::DataLogConverter(const std::string& folderPath_, const std::string& databaseName_,
                                   Progress& progress_, InfluxTarget target)
    : folderPath(platform::WithSeparator(folderPath_)),
      databaseName(databaseName_),
      progress(progress_),
      m_target(std::move(target)) {
    // While the server is retried, the progress line says so.
    m_target.onRetry = [this, outer = std::move(m_target.onRetry)](const RetryNotice& notice) {
        ShowProgress(RetryText(notice));
        if (outer) outer(notice);
    };
}

void DataLogConverter::ShowProgress(const std::string& text) {
    std::lock_guard lock(m_mutex);
    progress.Line(text);
    LogMessage("%s", text.c_str());
}

int DataLogConverter::ConvertAllFolders() {
    ShowProgress("Start conversion");
    const std::string pattern = folderPath + "*.*";
    ShowProgress(pattern);
    platform::FindFile listing;
    platform::FindData entry;
    if (!Fits(pattern)) {
        ShowProgress("Folder path too long, nothing converted");
    } else {
        for (bool more = listing.First(pattern, entry); more && !m_stopRequested; more = listing.Next(entry)) {
            if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
            ShowProgress(entry.name);
            ConvertFolder(entry.name);
        }
        listing.Close();
    }
    if (m_stopRequested) {
        ShowProgress("Conversion stopped after " + std::to_string(m_totals.filesConverted) + " files");
        return 0;
    }
    const std::string completion = CompletionText(m_totals);
    progress.Ended(completion);
    ShowProgress(completion);
    return 0;
}

int DataLogConverter::ConvertFolder(const std::string& name) {
    const std::string folder = folderPath + name + "/";
    const std::string pattern = folder + "*.DAT";
    ShowProgress(pattern);
    if (!Fits(pattern)) {
        ShowProgress("Folder path too long, skipped: " + name);
        return 0;
    }
    platform::FindFile listing;
    platform::FindData entry;
    m_resolvedFolder = m_journal != nullptr ? FileStamp::ResolvedFolder(folder) : std::string();
    if (m_jobs == 1) {
        const std::unique_ptr<RyInfluxDB> writer = JobWriter();
        for (bool more = listing.First(pattern, entry); more && !m_stopRequested; more = listing.Next(entry))
            ConvertListedFile(folder, entry.name, *writer);
        writer->FlushAll();
        return 0;
    }
    // Several jobs take the listed files in order; the folder is done when all are, so
    // the files of one sub-folder are all posted before the next sub-folder begins.
    std::vector<std::string> names;
    for (bool more = listing.First(pattern, entry); more; more = listing.Next(entry)) names.push_back(entry.name);
    listing.Close();
    std::atomic<size_t> next{0};
    std::vector<std::thread> jobs;
    for (int i = 0; i < m_jobs; ++i)
        jobs.emplace_back([&] {
            const std::unique_ptr<RyInfluxDB> writer = JobWriter();
            for (size_t index = next++; index < names.size() && !m_stopRequested; index = next++)
                ConvertListedFile(folder, names[index], *writer);
            writer->FlushAll();
        });
    for (auto& job : jobs) job.join();
    return 0;
}

std::unique_ptr<RyInfluxDB> DataLogConverter::JobWriter() {
    auto writer = std::make_unique<RyInfluxDB>(databaseName.c_str(), m_target);
    writer->OnSourceDone(
        [this](uint64_t source, const WriteCounts& counts, bool allStored) { FileStored(source, counts, allStored); });
    return writer;
}

// Converts one file that the listing named: its name line, the file, and once it is done
// its path line.
void DataLogConverter::ConvertListedFile(const std::string& folder, const std::string& name, RyInfluxDB& writer) {
    ShowProgress(name);
    const std::string path = folder + name;
    bool handed = false;
    if (Fits(path)) {
        handed = ConvertDatFile(path, writer, m_resolvedFolder);
    } else {
        SkipFile(name, "path too long");
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

void DataLogConverter::CountSkipped() {
    std::lock_guard lock(m_mutex);
    ++m_totals.filesSkipped;
}

void DataLogConverter::SkipFile(const std::string& name, const char* why) {
    CountSkipped();
    ShowProgress("Skipped " + name + ": " + why);
}

int DataLogConverter::ConvertDatFile(const std::string& path) {
    const std::unique_ptr<RyInfluxDB> writer = JobWriter();
    ConvertDatFile(path, *writer, {});
    writer->FlushAll();
    return 0;
}

bool DataLogConverter::ConvertDatFile(const std::string& path, RyInfluxDB& writer, const std::string& resolvedFolder) {
    const DatFileName parsed = ParseDatFileName(path);
    if (parsed.kind < 0) {
        CountSkipped();  // not a data-log kind: passed over without a word, as always
        return false;
    }
    if (parsed.problem != nullptr) {
        SkipFile(path.substr(path.rfind('/') + 1), parsed.problem);
        return false;
    }

    const std::optional<FileStamp> stamp = m_journal != nullptr ? FileStamp::Of(path, resolvedFolder) : std::nullopt;
    if (stamp && m_journal->Converted(*stamp)) {
        {
            std::lock_guard lock(m_mutex);
            ++m_totals.filesResumed;
        }
        ShowProgress("Already converted: " + path.substr(path.rfind('/') + 1));
        return false;
    }

    FileImage image = ReadWholeFile(path);
    if (!image.opened) {
        CountSkipped();
        return false;
    }
    if (image.unreadable) {
        SkipFile(path.substr(path.rfind('/') + 1), "could not be read");
        return false;
    }
    const int kind = parsed.kind;
    const size_t recordSize = kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    const size_t records = image.size / recordSize;
    const char* name = parsed.tagName.c_str();

    const uint64_t source = m_nextSource++;
    {
        std::lock_guard lock(m_mutex);
        m_pending.emplace(source, PendingFile{path, records, stamp, image.size});
    }
    writer.BeginSource(source);
    {
        // The writer is this job's alone: one lock and one look at the name for the file's
        // samples instead of one each.
        std::lock_guard lock(writer.m_batchLock[kind]);
        const RyInfluxDB::LineName& lineName = writer.NameOf(name);
        for (size_t i = 0; i < records; ++i) {
            // A record is a LogSample byte for byte; the writer reads it in place.
            const auto& sample = *reinterpret_cast<const LogSample*>(image.bytes.get() + i * recordSize);
            if (HasNoValue(sample))
                DebugScreenPrint("\r\n %s : %s = %d", std::to_string(sample.time).c_str(),
                                 DisplayDate(sample.time).c_str(), ValueBits(sample));
            if (kind == kRaw)
                writer.AddRawSample(lineName, sample);
            else
                writer.AddSummarySample(kind, lineName, sample);
        }
    }
    image.bytes.reset();
    writer.EndSource();
    return true;
}

}  // namespace quarvel
