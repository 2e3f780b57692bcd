#pragma once

// Data-log files: the rule of their names, the walk of a data-log folder that finds them,
// and the reading of their records, piece by piece.

#include "conversion/Totals.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
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
// with the names of its "*.DAT" entries in listing order. `tell`, when set, gets the
// walk's progress lines; the walk ends before the next sub-folder once `stop` holds.
using SubFolderVisit = std::function<void(const std::string& subFolder, const std::vector<std::string>& names)>;
void WalkDataLogFolder(const std::string& folderPath, const SubFolderVisit& visit,
                       const std::function<void(const std::string& line)>& tell = {},
                       const std::function<bool()>& stop = {});

// The files a walk of the folder meets, for progress.
SourceSize DataLogFilesIn(const std::string& folderPath);

// The records of one data-log file, read in pieces of whole records, so that memory does
// not follow the size of the file. A record is a LogSample byte for byte.
class DataLogFile {
public:
    static constexpr size_t kPieceBytes = size_t{4} << 20;

    DataLogFile() = default;
    ~DataLogFile();
    DataLogFile(const DataLogFile&) = delete;
    DataLogFile& operator=(const DataLogFile&) = delete;

    // Opens the file of records of `kind` without waiting for a writer (a pipe may be named
    // like a data-log file). False when it cannot be opened or is no regular file.
    bool Open(const std::string& path, int kind);
    uint64_t Bytes() const { return m_bytes; }  // at the opening
    uint64_t Records() const;                   // whole records at the opening

    // Records [from, to), each piece as its first record's bytes and its count of records.
    // Ends early, true, where the file ends sooner; false when a read failed.
    using Piece = std::function<void(const char* records, size_t count)>;
    bool Read(uint64_t from, uint64_t to, const Piece& piece);

private:
    int m_fd = -1;
    size_t m_recordSize = 0;
    uint64_t m_bytes = 0;
    std::unique_ptr<char[]> m_buffer;
    size_t m_bufferSize = 0;
};

// The stored time of the file's first record; none when the walk's converter would read no
// record of it.
std::optional<int32_t> FirstRecordTime(const std::string& path);

}  // namespace quarvel
