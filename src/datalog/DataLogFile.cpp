#include "datalog/DataLogFile.h"

#include "influx/LogSample.h"
#include "platform/FindFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace quarvel {

namespace {

constexpr size_t kMaxTagName = 31;

// A file this large is read ahead further; a small one is not worth the call.
constexpr uint64_t kReadAheadFrom = uint64_t{1} << 18;

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

void WalkDataLogFolder(const std::string& folderPath, const SubFolderVisit& visit,
                       const std::function<void(const std::string& line)>& tell, const std::function<bool()>& stop) {
    const auto say = [&tell](const std::string& line) {
        if (tell) tell(line);
    };
    const std::string folder = platform::WithSeparator(folderPath);
    const std::string pattern = folder + "*.*";
    say(pattern);
    if (!Fits(pattern)) return say("Folder path too long, nothing converted");
    platform::FindFile folders;
    platform::FindData entry;
    for (bool more = folders.First(pattern, entry); more && !(stop && stop()); more = folders.Next(entry)) {
        if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
        say(entry.name);
        const std::string subFolder = folder + entry.name + "/";
        const std::string files = subFolder + "*.DAT";
        say(files);
        if (!Fits(files)) {
            say("Folder path too long, skipped: " + entry.name);
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
        for (const std::string& name : names) size.Add(subFolder + name, ParseDatFileName(name).kind);
    });
    return size;
}

DataLogFile::~DataLogFile() {
    if (m_fd >= 0) close(m_fd);
}

bool DataLogFile::Open(const std::string& path, int kind) {
    if (m_fd >= 0) close(m_fd);
    m_recordSize = kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (m_fd >= 0 && (fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(m_fd);
        m_fd = -1;
    }
    m_bytes = m_fd >= 0 ? static_cast<uint64_t>(info.st_size) : 0;
    if (m_bytes >= kReadAheadFrom) posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return m_fd >= 0;
}

uint64_t DataLogFile::Records() const {
    return m_bytes / m_recordSize;
}

bool DataLogFile::Read(uint64_t from, uint64_t to, const Piece& piece) {
    const uint64_t pieceRecords = kPieceBytes / m_recordSize;
    to = std::min(to, Records());
    if (from < to && m_bufferSize == 0) {
        m_bufferSize = static_cast<size_t>(std::min(to - from, pieceRecords) * m_recordSize);
        m_buffer = std::make_unique<char[]>(m_bufferSize);
    }
    for (uint64_t at = from; at < to;) {
        const size_t want = static_cast<size_t>(std::min({to - at, pieceRecords, m_bufferSize / m_recordSize}));
        size_t got = 0;
        while (got < want * m_recordSize) {
            const ssize_t read = pread(m_fd, m_buffer.get() + got, want * m_recordSize - got,
                                       static_cast<off_t>(at * m_recordSize + got));
            if (read < 0 && errno == EINTR) continue;
            if (read < 0) return false;
            if (read == 0) break;  // the file shrank while it was read
            got += static_cast<size_t>(read);
        }
        const size_t records = got / m_recordSize;
        if (records > 0) piece(m_buffer.get(), records);
        if (records < want) return true;
        at += records;
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

}  // namespace quarvel
