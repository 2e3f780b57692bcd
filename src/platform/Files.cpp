#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace quarvel::platform {

namespace {

bool FileNameByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool Utf8FileNameByte(unsigned char c) {
    return c >= 0x80 || FileNameByte(c);
}

}  // namespace

uint64_t Fnv1a(std::string_view bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

std::string Hex16(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Escape(std::string_view text, bool (*keep)(unsigned char)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (keep(c))
            out += static_cast<char>(c);
        else
            out += {'%', kHex[c >> 4], kHex[c & 15]};
    }
    return out;
}

std::string SafeFileName(std::string_view name, size_t longest, size_t cut, bool keepHighBytes) {
    std::string out = Escape(name, keepHighBytes ? Utf8FileNameByte : FileNameByte);
    if (out.size() <= longest) return out;
    while (cut > 0 && ((static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80 || out[cut - 1] == '%' ||
                       (cut > 1 && out[cut - 2] == '%')))
        --cut;
    return out.substr(0, cut) + "~" + Hex16(Fnv1a(name));
}

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

OpenFolder::OpenFolder(const std::string& folder)
    : m_fd(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (m_fd < 0) m_fd = AT_FDCWD;
}

OpenFolder::~OpenFolder() {
    if (m_fd >= 0) close(m_fd);
}

const char* OpenFolder::Name(const std::string& path) const {
    if (m_fd == AT_FDCWD) return path.c_str();
    const size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

int OpenFolder::Open(const OpenFolder* folder, const std::string& path, int flags) {
    return folder != nullptr ? openat(folder->m_fd, folder->Name(path), flags) : open(path.c_str(), flags);
}

int OpenFolder::Stat(const OpenFolder* folder, const std::string& path, struct stat& info) {
    return folder != nullptr ? fstatat(folder->m_fd, folder->Name(path), &info, 0) : stat(path.c_str(), &info);
}

void SyncFolderOf(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    fsync(dir);
    close(dir);
}

bool MakeFolders(const std::string& folder, std::string& error) {
    std::error_code code;
    std::filesystem::path missing = folder;  // the deepest folder that is already there, once walked up
    while (!missing.empty() && !std::filesystem::exists(missing, code)) missing = missing.parent_path();
    if (!std::filesystem::create_directories(folder, code) && code) {
        error = "cannot create " + folder + ": " + code.message();
        return false;
    }
    for (std::filesystem::path made = folder; made != missing && !made.empty(); made = made.parent_path())
        SyncFolderOf(made.string());
    return true;
}

std::string WriteAside(const std::string& path, const char* kind, const std::vector<std::string_view>& pieces,
                       std::string& error) {
    static std::atomic<unsigned> sequence{0};
    std::string aside = path + kind + std::to_string(getpid()) + "." + std::to_string(sequence++);
    const int fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = ErrnoText("cannot create " + aside);
        return {};
    }
    bool written = true;
    for (size_t i = 0; written && i < pieces.size(); ++i) written = WriteAll(fd, pieces[i]);
    written = written && fsync(fd) == 0;
    if (!written) error = ErrnoText("cannot write " + aside);
    close(fd);
    if (!written) {
        unlink(aside.c_str());
        return {};
    }
    return aside;
}

bool ReplaceFile(const std::string& path, const std::vector<std::string_view>& pieces, std::string& error) {
    const std::string aside = WriteAside(path, ".tmp.", pieces, error);
    if (aside.empty()) return false;
    if (rename(aside.c_str(), path.c_str()) != 0) {
        error = ErrnoText("cannot replace " + path);
        unlink(aside.c_str());
        return false;
    }
    SyncFolderOf(path);
    return true;
}

}  // namespace quarvel::platform
