#include "platform/DebugWindow.h"

#include "platform/DebugWindowListener.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quarvel {

namespace platform {

namespace {

// Bytes kept as they are in a socket file name; everything else is written %XX.
// '@' joins class and title and is never kept, so distinct pairs never share a name.
bool KeptInName(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

void AppendEncoded(std::string& out, const char* text) {
    static const char hex[] = "0123456789ABCDEF";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (KeptInName(*p)) {
            out += static_cast<char>(*p);
        } else {
            out += '%';
            out += hex[*p >> 4];
            out += hex[*p & 0xF];
        }
    }
}

bool IsUsableRuntimeDir(const char* dir) {
    struct stat st {};
    return dir != nullptr && dir[0] == '/' && stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder only this user can reach; refused when someone else could have planted it.
std::string PrivateFolder() {
    const uid_t user = geteuid();
    std::string folder = "/tmp/quarvel-" + std::to_string(user);
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0) {
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
        if (lstat(folder.c_str(), &st) != 0) return {};
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != user || (st.st_mode & 077) != 0) return {};
    return folder;
}

}  // namespace

std::string DebugWindowPath(const char* className, const char* title) {
    if (className == nullptr || title == nullptr) return {};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string path = IsUsableRuntimeDir(runtime) ? std::string(runtime) : PrivateFolder();
    if (path.empty()) return {};
    if (path.back() != '/') path += '/';
    path += "quarvel-window-";
    AppendEncoded(path, className);
    path += '@';
    AppendEncoded(path, title);
    // A name that does not fit a socket address cannot stand for any window.
    if (path.size() >= sizeof(sockaddr_un::sun_path)) return {};
    return path;
}

namespace wire {

bool MakeSocketAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace wire

int FindDebugWindow(const char* className, const char* title) {
    sockaddr_un address{};
    const std::string path = DebugWindowPath(className, title);
    if (!wire::MakeSocketAddress(path, address)) return -1;
    // Most of the time there is no window: one look at the name costs far less than a socket.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return fd;
    if (errno == EINTR) {
        // The connection goes on in the background; wait for its outcome.
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof(error);
        int ready;
        do {
            ready = poll(&p, 1, -1);
        } while (ready < 0 && errno == EINTR);
        if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) return fd;
    }
    close(fd);
    return -1;
}

bool SendDebugWindowMessage(int window, uint32_t message, uint32_t processId, int section) {
    if (window < 0 || section < 0) return false;
    wire::Request request{message, processId};
    iovec data{&request, sizeof(request)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    cmsghdr* rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &section, sizeof(int));

    ssize_t sent;
    do {
        sent = sendmsg(window, &header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof(request))) return false;

    // No time-out: a live window is waited for; a dead one ends the wait with EOF or an error.
    unsigned char ack = 0;
    ssize_t got;
    do {
        got = recv(window, &ack, sizeof(ack), 0);
    } while (got < 0 && errno == EINTR);
    return got == sizeof(ack) && ack == wire::kAck;
}

void CloseDebugWindow(int window) {
    if (window >= 0) close(window);
}

int CreateSection(size_t size) {
    int fd = memfd_create("debug-section", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace platform

}  // namespace quarvel
