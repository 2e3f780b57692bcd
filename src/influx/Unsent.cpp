#include "influx/Unsent.h"

#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <set>
#include <utility>

namespace quarvel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHeaderStart = "# quarvel unsent lines: database=";
constexpr std::string_view kPolicyKey = " rp=";
constexpr std::string_view kRecordStart = "# batch ";
constexpr size_t kMaxMarkLength = 80;
constexpr size_t kMaxFileNameBytes = 200;  // leaves room for temporary suffixes under 255

// Header values: readable, with blanks, control bytes and '%' encoded so that one line holds both.
std::string EncodeValue(std::string_view text) {
    return platform::Escape(text, [](unsigned char c) { return c > ' ' && c != 0x7F && c != '%'; });
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool DecodeValue(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

std::string Header(const std::string& database, const std::string& retentionPolicy) {
    return std::string(kHeaderStart) + EncodeValue(database) + std::string(kPolicyKey) + EncodeValue(retentionPolicy) +
           "\n";
}

std::string Mark(std::string_view body, int lines) {
    return std::string(kRecordStart) + std::to_string(lines) + " " + std::to_string(body.size()) + " " +
           platform::Hex16(platform::Fnv1a(body));
}

// The file with its header only, created whole or not at all; one made meanwhile by
// another writer is kept.
bool CreateWithHeader(const std::string& path, std::string_view header, std::string& error) {
    const std::string aside = platform::WriteAside(path, ".new.", {header}, error);
    if (aside.empty()) return false;
    const bool linked = link(aside.c_str(), path.c_str()) == 0 || errno == EEXIST;
    if (!linked) error = platform::ErrnoText("cannot create " + path);
    unlink(aside.c_str());
    if (linked) platform::SyncFolderOf(path);
    return linked;
}

bool SameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// Opens `path` and takes its lock, making sure the lock is on the file that now bears the
// name: a rewrite renames a new file over it, a removal unlinks it. -1 with errno ENOENT
// when there is no such file.
int OpenLocked(const std::string& path, int flags) {
    for (;;) {
        const int fd = open(path.c_str(), flags | O_CLOEXEC);
        if (fd < 0) return -1;
        int locked;
        do {
            locked = flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked == 0 && SameFile(fd, path)) return fd;
        const int saved = errno;
        close(fd);
        if (locked != 0) {
            errno = saved;
            return -1;
        }
    }
}

bool ParseNumber(std::string_view text, uint64_t& value, int base = 10) {
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return problem == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::string UnsentFileName(const std::string& database, const std::string& retentionPolicy) {
    return platform::SafeFileName(database, kMaxFileNameBytes, kMaxFileNameBytes - 20, true) + "." + retentionPolicy +
           ".lp";
}

bool AppendUnsent(const std::string& folder, const std::string& database, const std::string& retentionPolicy,
                  std::string_view body, int lines, std::string& path, std::string& error) {
    path = (fs::path(folder) / UnsentFileName(database, retentionPolicy)).string();
    if (!platform::MakeFolders(folder, error)) return false;
    std::string record = Mark(body, lines);
    record.reserve(record.size() + body.size() + 2);
    record.push_back('\n');
    record.append(body);
    record.push_back('\n');

    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = OpenLocked(path, O_RDWR | O_APPEND);
        if (fd < 0) {
            if (errno != ENOENT) {
                error = platform::ErrnoText("cannot open " + path);
                return false;
            }
            if (!CreateWithHeader(path, Header(database, retentionPolicy), error)) return false;
            continue;
        }
        struct stat before {};
        fstat(fd, &before);
        // After a record torn by a crash, the next one still starts a line of its own.
        char last = '\n';
        if (before.st_size > 0 && pread(fd, &last, 1, before.st_size - 1) == 1 && last != '\n')
            record.insert(record.begin(), '\n');
        const bool written = platform::WriteAll(fd, record) && fsync(fd) == 0;
        if (!written) {
            error = platform::ErrnoText("cannot write " + path);
            // A record cut short by a full disk would only be skipped later; better not leave it.
            if (ftruncate(fd, before.st_size) == 0) fsync(fd);
        }
        close(fd);
        return written;
    }
    error = "cannot keep hold of " + path + ": it is replaced again and again";
    return false;
}

UnsentFile::~UnsentFile() {
    Unmap();
}

void UnsentFile::Unmap() {
    if (m_data != nullptr) munmap(const_cast<char*>(m_data), m_size);
    m_data = nullptr;
    m_size = 0;
}

bool UnsentFile::Read(const std::string& path, std::string& error) {
    Unmap();
    m_path = path;
    m_batches.clear();
    m_damagedBytes = 0;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = platform::ErrnoText("cannot open " + path);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error = path + " is no regular file";
        return false;
    }
    m_size = static_cast<size_t>(info.st_size);
    if (m_size > 0) {
        void* mapped = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            m_size = 0;
            close(fd);
            error = platform::ErrnoText("cannot read " + path);
            return false;
        }
        m_data = static_cast<const char*>(mapped);
    }
    close(fd);
    return Parse(error);
}

bool UnsentFile::Parse(std::string& error) {
    const std::string_view text(m_data == nullptr ? "" : m_data, m_size);
    const size_t headerEnd = text.find('\n');
    const std::string_view header = text.substr(0, headerEnd);
    const size_t policyAt = header.rfind(kPolicyKey);
    if (headerEnd == std::string_view::npos || !header.starts_with(kHeaderStart) ||
        policyAt == std::string_view::npos || policyAt < kHeaderStart.size() ||
        !DecodeValue(header.substr(kHeaderStart.size(), policyAt - kHeaderStart.size()), m_database) ||
        !DecodeValue(header.substr(policyAt + kPolicyKey.size()), m_retentionPolicy)) {
        error = m_path + " is no unsent-line file (its first line is not \"" + std::string(kHeaderStart) + "...\")";
        return false;
    }

    // Each record is "# batch <lines> <bytes> <checksum>\n<body>\n"; anything else is
    // skipped up to the next line that starts a record.
    size_t at = headerEnd + 1;
    while (at < text.size()) {
        const std::string_view rest = text.substr(at);
        const size_t markEnd = rest.substr(0, kMaxMarkLength).find('\n');
        bool good = rest.starts_with(kRecordStart) && markEnd != std::string_view::npos;
        uint64_t lines = 0;
        uint64_t bytes = 0;
        uint64_t checksum = 0;
        if (good) {
            std::string_view fields = rest.substr(kRecordStart.size(), markEnd - kRecordStart.size());
            const size_t first = fields.find(' ');
            const size_t second = fields.find(' ', first + 1);
            good = first != std::string_view::npos && second != std::string_view::npos &&
                   ParseNumber(fields.substr(0, first), lines) &&
                   ParseNumber(fields.substr(first + 1, second - first - 1), bytes) &&
                   ParseNumber(fields.substr(second + 1), checksum, 16) && lines > 0 && lines < (1u << 30);
        }
        good = good && bytes <= rest.size() - markEnd - 1 && markEnd + 1 + bytes < rest.size() &&
               rest[markEnd + 1 + bytes] == '\n';
        if (good) {
            const std::string_view body = rest.substr(markEnd + 1, bytes);
            // A body may end in a line break, which ends its last line (verify --repair posts its lines so).
            const auto breaks = static_cast<uint64_t>(std::count(body.begin(), body.end(), '\n'));
            good =
                platform::Fnv1a(body) == checksum && (breaks + 1 == lines || (body.ends_with('\n') && breaks == lines));
            if (good) {
                m_batches.push_back({at, rest.substr(0, markEnd), body, static_cast<int>(lines)});
                at += markEnd + 1 + bytes + 1;
                continue;
            }
        }
        static const std::string kNextRecord = "\n" + std::string(kRecordStart);
        const size_t next = rest.find(kNextRecord, 1);
        const size_t skipped = next == std::string_view::npos ? rest.size() : next + 1;
        m_damagedBytes += skipped;
        at += skipped;
    }
    return true;
}

bool RemoveDelivered(const UnsentFile& file, const std::vector<size_t>& delivered, std::string& error) {
    std::set<std::pair<uint64_t, std::string_view>> gone;
    for (size_t index : delivered)
        if (index < file.Batches().size()) gone.emplace(file.Batches()[index].offset, file.Batches()[index].mark);

    const std::string& path = file.Path();
    const int lock = OpenLocked(path, O_RDONLY);
    if (lock < 0) {
        error = platform::ErrnoText("cannot open " + path);
        return false;
    }
    // Read again under the lock: records may have been appended since.
    UnsentFile now;
    bool done = now.Read(path, error);
    const std::string header = done ? Header(now.Database(), now.RetentionPolicy()) : std::string();
    std::vector<std::string_view> kept{header};
    size_t keptBatches = 0;
    for (const auto& batch : now.Batches()) {
        if (gone.contains({batch.offset, batch.mark})) continue;
        // The mark's and the body's own line ends follow them in the mapping.
        kept.push_back({batch.mark.data(), batch.mark.size() + 1});
        kept.push_back({batch.body.data(), batch.body.size() + 1});
        ++keptBatches;
    }
    if (done && keptBatches == 0) {
        done = unlink(path.c_str()) == 0;
        if (done) platform::SyncFolderOf(path);
        if (!done) error = platform::ErrnoText("cannot remove " + path);
    } else if (done) {
        done = platform::ReplaceFile(path, kept, error);
    }
    close(lock);
    return done;
}

std::vector<std::string> ListUnsentFiles(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code problem;
    for (fs::directory_iterator entry(folder, problem), end; !problem && entry != end; entry.increment(problem))
        if (entry->is_regular_file(problem) && entry->path().extension() == ".lp")
            files.push_back(entry->path().string());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace quarvel
