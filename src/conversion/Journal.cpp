#include "conversion/Journal.h"

#include "logging/Logging.h"
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quarvel {

namespace {

constexpr const char* kFolder = "Logs/journal";
constexpr size_t kMaxEncodedName = 180;  // well below NAME_MAX with the hash and suffix

// A path on one journal line: its line breaks and backslashes escaped.
std::string EscapePath(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::optional<std::string> UnescapePath(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        if (text[i] == '\\')
            out += '\\';
        else if (text[i] == 'n')
            out += '\n';
        else
            return std::nullopt;
    }
    return out;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    if (text.empty() || text.size() > 20) return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(copy.c_str(), &end, 10);
    if (errno != 0 || end != copy.c_str() + copy.size()) return false;
    value = static_cast<Number>(parsed);
    return true;
}

// "size mtime_ns path"; nothing for a line that is not one.
std::optional<FileStamp> ParseLine(std::string_view line) {
    const size_t first = line.find(' ');
    if (first == std::string_view::npos) return std::nullopt;
    const size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    FileStamp stamp;
    int64_t size = -1;
    if (!ParseNumber(line.substr(0, first), size) || size < 0) return std::nullopt;
    if (!ParseNumber(line.substr(first + 1, second - first - 1), stamp.mtimeNs)) return std::nullopt;
    stamp.size = static_cast<uint64_t>(size);
    auto path = UnescapePath(line.substr(second + 1));
    if (!path || path->empty()) return std::nullopt;
    stamp.path = std::move(*path);
    return stamp;
}

bool MakeFolder(const char* path) {
    return mkdir(path, 0755) == 0 || errno == EEXIST;
}

}  // namespace

std::string FileStamp::ResolvedFolder(const std::string& folder) {
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) return {};
    std::string path = resolved;
    if (path.back() != '/') path += '/';
    return path;
}

std::optional<FileStamp> FileStamp::Of(const std::string& path, const std::string& resolvedFolder) {
    struct stat info {};
    FileStamp stamp;
    // The resolved path, so that a relative and an absolute name of one file agree.
    // Resolving walks every part of the path: a node of thousands of files resolves its
    // folder once.
    if (!resolvedFolder.empty() && lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        stamp.path = resolvedFolder + path.substr(path.rfind('/') + 1);
    } else {
        if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        char resolved[PATH_MAX];
        stamp.path = realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    }
    stamp.size = static_cast<uint64_t>(info.st_size);
    stamp.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

Journal::~Journal() {
    if (m_fd < 0) return;
    if (m_unsynced) fdatasync(m_fd);
    close(m_fd);
}

std::string Journal::PathFor(const std::string& database) {
    // A long name keeps its hash ("~" and 16 digits) within the longest, so that two databases never share a journal.
    const std::string name = platform::SafeFileName(database, kMaxEncodedName, kMaxEncodedName - 17, false);
    return std::string(kFolder) + "/" + name + ".journal";
}

bool Journal::Open(const std::string& database, bool resume, std::string& error) {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_done.clear();
    const std::string path = PathFor(database);
    if (!MakeFolder("Logs") || !MakeFolder(kFolder)) {
        error = std::string("cannot create ") + kFolder + ": " + std::strerror(errno);
        return false;
    }
    const bool existed = access(path.c_str(), F_OK) == 0;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | (resume ? 0 : O_TRUNC), 0644);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (resume) {
        std::string text;
        char buffer[65536];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error = "cannot read " + path + ": " + std::strerror(errno);
                close(fd);
                return false;
            }
            text.append(buffer, static_cast<size_t>(got));
        }
        // A line cut short by a crash is dropped, so that the next entry starts a line of its own.
        const size_t end = text.rfind('\n');
        const size_t whole = end == std::string::npos ? 0 : end + 1;
        if (whole < text.size() && ftruncate(fd, static_cast<off_t>(whole)) != 0) {
            error = "cannot repair " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        std::string_view lines(text.data(), whole);
        for (size_t at = 0; at < lines.size();) {
            const size_t next = lines.find('\n', at);
            if (auto stamp = ParseLine(lines.substr(at, next - at))) m_done.insert(std::move(*stamp));
            at = next + 1;
        }
    }
    if (!existed) {
        // The new file's name must survive a crash as much as its entries.
        platform::SyncFolderOf(path);
    }
    m_fd = fd;
    return true;
}

bool Journal::Converted(const FileStamp& stamp) const {
    std::lock_guard lock(m_mutex);
    return m_done.contains(stamp);
}

bool Journal::Record(const FileStamp& stamp) {
    const std::string line =
        std::to_string(stamp.size) + " " + std::to_string(stamp.mtimeNs) + " " + EscapePath(stamp.path) + "\n";
    std::lock_guard lock(m_mutex);
    if (m_fd < 0) return false;
    // One write per entry: with O_APPEND a crash leaves at most the last line cut short.
    // A written entry outlives the process; the disk gets it at most a second later, so
    // that a node of thousands of small files does not wait for a sync after each.
    const auto now = std::chrono::steady_clock::now();
    const bool sync = now - m_lastSync >= kSyncInterval;
    if (!platform::WriteAll(m_fd, line) || (sync && fdatasync(m_fd) != 0)) {
        LogMessage("Journal: %s not recorded (%s); a resumed conversion converts it again", stamp.path.c_str(),
                   std::strerror(errno));
        return false;
    }
    m_unsynced = !sync;
    if (sync) m_lastSync = now;
    m_done.insert(stamp);
    return true;
}

size_t Journal::Entries() const {
    std::lock_guard lock(m_mutex);
    return m_done.size();
}

}  // namespace quarvel
