#pragma once

// Data-log files: the rule of their names, the walk of a data-log folder, the reading of
// their records piece by piece, and the conversion of every "*.DAT" file of the folder's
// first-level sub-folders, told at the top of the progress list and in the log. Each job
// has one writer for the whole walk, so that a post carries the lines of several small
// files; a file is done (journaled, counted, told to the progress) once every post that
// carried its lines has ended.

#include "conversion/Converter.h"
#include "platform/Files.h"

#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quarvel {

// Parts of a data-log file's name (after the last '/'): the kind letter before its last '.',
// the tag name before its first '$'.
struct DatFileName {
    int kind = -1;  // TableKind, or -1 for a letter that is no data-log kind
    std::string tagName;
    const char* problem = nullptr;  // why the name cannot be used, or null
};
DatFileName ParseDatFileName(const std::string& path);

// The one walk of a data-log folder: its first-level sub-folders in listing order, each
// with the names of its "*.DAT" entries in listing order. `tell` gets the walk's progress
// lines; the walk ends before the next sub-folder once `stop` holds.
using SubFolderVisit = std::function<void(const std::string& subFolder, const std::vector<std::string>& names)>;
void WalkDataLogFolder(
    const std::string& folderPath, const SubFolderVisit& visit,
    const std::function<void(const std::string& line)>& tell = [](const std::string&) {},
    const std::function<bool()>& stop = [] { return false; });

// The files a walk of the folder meets, for progress.
SourceSize DataLogFilesIn(const std::string& folderPath);

// The records of one data-log file (each a LogSample byte for byte), read in pieces of
// whole records, so that memory does not follow the size of the file.
class DataLogFile {
public:
    static constexpr size_t kPieceBytes = size_t{4} << 20;

    DataLogFile() = default;
    ~DataLogFile() {
        if (m_fd >= 0) close(m_fd);
    }
    DataLogFile(const DataLogFile&) = delete;
    DataLogFile& operator=(const DataLogFile&) = delete;

    // Opens the file of records of `kind`, once, without waiting for a writer (a pipe may be
    // named like a data-log file). False when it cannot be opened or is no regular file.
    // `noFollow`: a link is not opened. `folder`: the open folder `path` lies in.
    bool Open(const std::string& path, int kind, bool noFollow = false, const platform::OpenFolder* folder = nullptr);
    uint64_t Bytes() const { return m_bytes; }                   // at the opening
    int64_t ModifiedNs() const { return m_modifiedNs; }          // at the opening
    uint64_t Records() const { return m_bytes / m_recordSize; }  // whole records at the opening

    // Records [from, to), each piece as its first record's bytes and its count of records.
    // Ends early, true, where the file ends sooner; false when a read failed.
    using Piece = std::function<void(const char* records, size_t count)>;
    bool Read(uint64_t from, uint64_t to, const Piece& piece);

private:
    int m_fd = -1;
    size_t m_recordSize = 1;
    uint64_t m_bytes = 0;
    int64_t m_modifiedNs = 0;
    // One piece, left unfilled until read into: a node of thousands of small files would
    // clear each file's bytes once more before reading them.
    std::unique_ptr<char[]> m_buffer;
    size_t m_bufferSize = 0;
};

// The stored time of the file's first record; none when the walk's converter would read no
// record of it.
std::optional<int32_t> FirstRecordTime(const std::string& path);

// Spans of line time stamps, [first, last] in seconds since 1970, ascending.
using TimeWindows = std::vector<std::pair<int64_t, int64_t>>;
// By the path of a data-log file.
using FileWindows = std::map<std::string, TimeWindows>;

class DataLogConverter : public Converter {
public:
    using Converter::Converter;

    // The files named here give only their records within their windows, found by their
    // times (records are stored in time order); such a file is never journaled.
    void SetWindows(const FileWindows* windows) { m_windows = windows; }

    // The sub-folders one after the other; within one, SetJobs files at once, each job with a
    // writer of its own for the whole walk: more keep a server busy that one stream cannot feed.
    void ConvertAll() override;
    // One file with a writer of its own.
    void ConvertDatFile(const std::string& path);

private:
    void Tell(const std::string& text) override;
    void ConvertFolder(const std::string& folder, const std::vector<std::string>& names);
    std::unique_ptr<RyInfluxDB> JobWriter();
    // Posts what the job writers hold and waits until every post of theirs has ended.
    void FlushWriters();
    // Runs `work` on every job writer, each on a thread of its own when there are several.
    void EachWriter(const std::function<void(RyInfluxDB&)>& work);
    void ConvertListedFile(const std::string& folder, const std::string& name, RyInfluxDB& writer);
    // True when the file's records went to `writer`; it is done once they are posted.
    // resolvedFolder: the file's folder resolved, or empty.
    bool ConvertDatFile(const std::string& path, RyInfluxDB& writer, const std::string& resolvedFolder);
    // True with the file opened and `stamp` set when the journal holds nothing under its
    // name and it is no link; false with the file left closed otherwise.
    bool OpenedNew(const std::string& path, const std::string& resolvedFolder, int kind, DataLogFile& file,
                   std::optional<FileStamp>& stamp);
    void FilesStored(const std::vector<RyInfluxDB::SourceOutcome>& done);

    std::unordered_map<uint64_t, PendingSource> m_pending;  // by source number, under m_mutex
    std::string m_resolvedFolder;                           // of the sub-folder under way, for the journal's stamps
    std::unique_ptr<platform::OpenFolder> m_folder;         // the sub-folder under way, with a journal
    std::atomic<uint64_t> m_nextSource{0};
    std::vector<std::unique_ptr<RyInfluxDB>> m_writers;  // one per job, kept through the walk
    std::unordered_set<std::string> m_seriesSeen;        // kind letter and tag name of the walk's files so far
    const FileWindows* m_windows = nullptr;
};

}  // namespace quarvel
