#include "conversion/Journal.h"

#include "logging/Logging.h"
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvel {

namespace {

constexpr const char* kFolder = "Logs/journal";
constexpr size_t kMaxEncodedName = 180;  // well below NAME_MAX with the hash and suffix

// A path on one journal line, appended with its line breaks and backslashes escaped.
void AppendEscapedPath(std::string& line, const std::string& path) {
    if (path.find_first_of("\\\n") == std::string::npos) {
        line += path;
        return;
    }
    for (char c : path) {
        if (c == '\\')
            line += "\\\\";
        else if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
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
bool ParseNumber(std::string_view text, Number& value, int base = 10) {
    const char* end = text.data() + text.size();
    const auto [stop, problem] = std::from_chars(text.data(), end, value, base);
    return !text.empty() && problem == std::errc() && stop == end;
}

// The field before the next space, taken off the line; empty when there is none.
std::string_view TakeField(std::string_view& line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) return {};
    const std::string_view field = line.substr(0, space);
    line.remove_prefix(space + 1);
    return field;
}

// "id:time,id:time", or "-" for none.
bool ParseTagTimes(std::string_view text, std::vector<JournalEntry::TagTime>& times) {
    if (text == "-") return true;
    for (size_t at = 0; at <= text.size();) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string_view pair = text.substr(at, comma - at);
        const size_t colon = pair.find(':');
        JournalEntry::TagTime time{};
        if (colon == std::string_view::npos || !ParseNumber(pair.substr(0, colon), time.first) ||
            !ParseNumber(pair.substr(colon + 1), time.second))
            return false;
        times.push_back(time);
        at = comma + 1;
    }
    return true;
}

// One entry's line: "size mtime_ns path" for a file stored whole, "R size mtime_ns records
// fingerprint path" for a data-log file, "T size mtime_ns id:time,... path" for a table.
std::string EntryLine(const std::string& path, const JournalEntry& entry) {
    using Form = JournalEntry::Form;
    std::string line;
    line.reserve(64 + path.size() + entry.newest.size() * 24);
    // Numbers go straight into the line: a journal takes one entry per file.
    const auto number = [&line](auto value, char after) {
        char text[24];
        line.append(text, std::to_chars(text, text + sizeof text, value).ptr).push_back(after);
    };
    if (entry.form == Form::kRecords) line += "R ";
    if (entry.form == Form::kNewest) line += "T ";
    number(entry.size, ' ');
    number(entry.mtimeNs, ' ');
    if (entry.form == Form::kRecords) {
        number(entry.records, ' ');
        line.append(platform::Hex16(entry.fingerprint)).push_back(' ');
    }
    if (entry.form == Form::kNewest) {
        for (const auto& [tag, time] : entry.newest) {
            number(tag, ':');
            number(time, ',');
        }
        if (entry.newest.empty()) line += "-,";
        line.back() = ' ';
    }
    AppendEscapedPath(line, path);
    line += '\n';
    return line;
}

// The path and entry of a line; nothing for a line that is not one.
std::optional<std::pair<std::string, JournalEntry>> ParseLine(std::string_view line) {
    using Form = JournalEntry::Form;
    JournalEntry entry;
    std::string_view field = TakeField(line);
    if (field == "R" || field == "T") {
        entry.form = field == "R" ? Form::kRecords : Form::kNewest;
        field = TakeField(line);
    }
    if (!ParseNumber(field, entry.size) || !ParseNumber(TakeField(line), entry.mtimeNs)) return std::nullopt;
    if (entry.form == Form::kRecords &&
        (!ParseNumber(TakeField(line), entry.records) || !ParseNumber(TakeField(line), entry.fingerprint, 16)))
        return std::nullopt;
    if (entry.form == Form::kNewest && !ParseTagTimes(TakeField(line), entry.newest)) return std::nullopt;
    auto path = UnescapePath(line);
    if (!path || path->empty()) return std::nullopt;
    return std::make_pair(std::move(*path), std::move(entry));
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
        stamp.path = NamedIn(resolvedFolder, path);
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
    Sync();
    if (m_fd >= 0) close(m_fd);
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
    m_entries.clear();
    m_fileBytes = m_liveBytes = 0;
    m_compactAt = kCompactFrom;
    m_path = PathFor(database);
    if (!platform::MakeFolders(kFolder, error)) return false;
    const bool existed = access(m_path.c_str(), F_OK) == 0;
    const int fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | (resume ? 0 : O_TRUNC), 0644);
    if (fd < 0) {
        error = "cannot open " + m_path + ": " + std::strerror(errno);
        return false;
    }
    if (resume) {
        std::string text;
        char buffer[65536];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error = "cannot read " + m_path + ": " + std::strerror(errno);
                close(fd);
                return false;
            }
            text.append(buffer, static_cast<size_t>(got));
        }
        // A line cut short by a crash is dropped, so that the next entry starts a line of its own.
        const size_t end = text.rfind('\n');
        const size_t whole = end == std::string::npos ? 0 : end + 1;
        if (whole < text.size() && ftruncate(fd, static_cast<off_t>(whole)) != 0) {
            error = "cannot repair " + m_path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        std::string_view lines(text.data(), whole);
        for (size_t at = 0; at < lines.size();) {
            const size_t next = lines.find('\n', at);
            if (auto parsed = ParseLine(lines.substr(at, next - at)))
                Keep(std::move(parsed->first), std::move(parsed->second), next + 1 - at);
            at = next + 1;
        }
        m_fileBytes = whole;
    }
    if (!existed) {
        // The new file's name must survive a crash as much as its entries.
        platform::SyncFolderOf(m_path);
    }
    m_fd = fd;
    CompactIfDue();
    return true;
}

std::optional<JournalEntry> Journal::Find(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(path);
    if (found == m_entries.end()) return std::nullopt;
    return found->second.entry;
}

bool Journal::Record(const FileStamp& stamp, JournalEntry entry) {
    std::vector<Recorded> file;
    file.push_back({stamp, std::move(entry)});
    return Record(std::move(file));
}

bool Journal::Record(std::vector<Recorded> files) {
    std::string text;
    std::vector<size_t> lineBytes;
    lineBytes.reserve(files.size());
    for (Recorded& file : files) {
        file.entry.size = file.stamp.size;
        file.entry.mtimeNs = file.stamp.mtimeNs;
        const size_t before = text.size();
        text += EntryLine(file.stamp.path, file.entry);
        lineBytes.push_back(text.size() - before);
    }
    std::lock_guard lock(m_mutex);
    if (m_fd < 0) {
        if (m_holding)
            for (Recorded& file : files) Keep(std::move(file.stamp.path), std::move(file.entry), 0);
        return m_holding;
    }
    // One write for the files that ended together: with O_APPEND a crash leaves at most the
    // last line cut short. A written entry outlives the process; the disk gets it at most a
    // second later, so that a node of thousands of small files does not wait for a sync
    // after each.
    const auto now = std::chrono::steady_clock::now();
    const bool sync = now - m_lastSync >= kSyncInterval;
    const bool written = platform::WriteAll(m_fd, text);
    if (!written || (sync && fdatasync(m_fd) != 0)) {
        const std::string why = std::strerror(errno);
        // A line cut short would take the next entry's line with it.
        if (!written && ftruncate(m_fd, static_cast<off_t>(m_fileBytes)) != 0)
            LogMessage("Journal: cannot cut %s back to its last whole line (%s)", m_path.c_str(), std::strerror(errno));
        for (const Recorded& file : files)
            LogMessage("Journal: %s not recorded (%s); a resumed conversion converts it again", file.stamp.path.c_str(),
                       why.c_str());
        return false;
    }
    m_unsynced = !sync;
    if (sync) m_lastSync = now;
    m_fileBytes += text.size();
    for (size_t i = 0; i < files.size(); ++i)
        Keep(std::move(files[i].stamp.path), std::move(files[i].entry), lineBytes[i]);
    CompactIfDue();
    return true;
}

void Journal::Keep(std::string path, JournalEntry entry, size_t lineBytes) {
    auto [found, added] = m_entries.try_emplace(std::move(path));
    if (!added) m_liveBytes -= found->second.lineBytes;
    found->second = Live{std::move(entry), lineBytes};
    m_liveBytes += lineBytes;
}

void Journal::CompactIfDue() {
    // Each rewrite at least halves the file: appending stays cheap however often a file
    // is recorded again.
    if (m_fileBytes < m_compactAt || m_fileBytes <= 2 * m_liveBytes) return;
    std::string text;
    text.reserve(m_liveBytes);
    // Each entry counts its line as written here, which a line read from an older journal
    // need not match: what Keep takes off is what was added.
    for (auto& [path, live] : m_entries) {
        const size_t before = text.size();
        text += EntryLine(path, live.entry);
        live.lineBytes = text.size() - before;
    }
    m_liveBytes = text.size();
    std::string error;
    if (!platform::ReplaceFile(m_path, {text}, error)) {
        // Tried again once the journal has doubled.
        m_compactAt = 2 * m_fileBytes;
        LogMessage("Journal: %s", error.c_str());
        return;
    }
    close(m_fd);
    m_fd = open(m_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (m_fd < 0) {
        // The entries stay at hand, so that the run (a follow's later cycles too) still
        // skips what is stored.
        LogMessage("Journal: cannot open %s again (%s); what follows is kept in memory alone", m_path.c_str(),
                   std::strerror(errno));
        m_holding = true;
    }
    m_fileBytes = text.size();
    m_compactAt = kCompactFrom;
    m_unsynced = false;
    m_lastSync = std::chrono::steady_clock::now();
}

void Journal::Sync() {
    std::lock_guard lock(m_mutex);
    if (m_fd < 0 || !m_unsynced || fdatasync(m_fd) != 0) return;
    m_unsynced = false;
    m_lastSync = std::chrono::steady_clock::now();
}

void Journal::Hold() {
    std::lock_guard lock(m_mutex);
    m_holding = true;
    m_entries.clear();
}

std::vector<std::pair<std::string, JournalEntry>> Journal::Held() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<std::string, JournalEntry>> held;
    held.reserve(m_entries.size());
    for (const auto& [path, live] : m_entries) held.emplace_back(path, live.entry);
    return held;
}

size_t Journal::Entries() const {
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

}  // namespace quarvel
