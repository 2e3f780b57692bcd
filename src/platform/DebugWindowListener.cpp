#include "platform/DebugWindowListener.h"

#include "platform/DebugWindow.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quarvel {

namespace platform {

namespace {

[[noreturn]] void ThrowErrno(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

// The socket file at `path` belongs to nobody when connecting to it is refused.
// Returns true when it was such a leftover and is gone now.
bool RemoveStaleSocket(const std::string& path, const sockaddr_un& address) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    int result = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    int error = errno;
    close(probe);
    if (result == 0) throw std::runtime_error("a debug window of this name is already open: " + path);
    return error == ECONNREFUSED && unlink(path.c_str()) == 0;
}

void CloseAll(const std::vector<int>& fds) {
    for (int fd : fds) close(fd);
}

}  // namespace

DebugWindowListener::DebugWindowListener(const char* className, const char* title)
    : m_path(DebugWindowPath(className, title)) {
    sockaddr_un address{};
    if (!wire::MakeSocketAddress(m_path, address)) {
        throw std::runtime_error("no usable socket path for this debug window");
    }
    // Non-blocking so that a connection withdrawn between poll and accept cannot stall us.
    m_listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) ThrowErrno(errno, "socket");
    try {
        auto bindIt = [&] {
            return bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        };
        if (!bindIt()) {
            int error = errno;
            if (error != EADDRINUSE || !RemoveStaleSocket(m_path, address)) ThrowErrno(error, "bind");
            if (!bindIt()) ThrowErrno(errno, "bind");
        }
        struct stat st {};
        if (lstat(m_path.c_str(), &st) == 0) m_socketInode = st.st_ino;
        if (listen(m_listenFd, 64) != 0) {
            int error = errno;
            unlink(m_path.c_str());
            ThrowErrno(error, "listen");
        }
    } catch (...) {
        close(m_listenFd);
        throw;
    }
}

DebugWindowListener::~DebugWindowListener() {
    CloseAll(m_clients);
    close(m_listenFd);
    // Leave the name alone if a later window has taken it over.
    struct stat st {};
    if (lstat(m_path.c_str(), &st) == 0 && st.st_ino == m_socketInode) unlink(m_path.c_str());
}

void DebugWindowListener::DropClient(size_t index) {
    close(m_clients[index]);
    m_clients.erase(m_clients.begin() + static_cast<std::ptrdiff_t>(index));
    if (m_nextClient >= m_clients.size()) m_nextClient = 0;
}

std::optional<DebugWindowMessage> DebugWindowListener::Receive(int timeoutMs, const Handler& handle) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        const size_t count = m_clients.size();
        std::vector<pollfd> fds;
        fds.push_back({m_listenFd, POLLIN, 0});
        for (size_t i = 0; i < count; ++i) fds.push_back({m_clients[(m_nextClient + i) % count], POLLIN, 0});

        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = static_cast<int>(std::max<decltype(left)>(left, 0));
        }
        int ready = poll(fds.data(), fds.size(), wait);
        if (ready < 0) {
            if (errno == EINTR) return std::nullopt;
            ThrowErrno(errno, "poll");
        }
        if (ready == 0) return std::nullopt;

        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            const size_t index = (m_nextClient + i - 1) % count;
            std::optional<DebugWindowMessage> message;
            if (!ReadMessage(m_clients[index], message, handle)) {
                DropClient(index);
                break;  // the ring changed; look again
            }
            if (message) {
                m_nextClient = (index + 1) % count;
                return message;
            }
        }

        if (fds[0].revents & POLLIN) {
            int client;
            while ((client = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) m_clients.push_back(client);
        }
    }
}

bool DebugWindowListener::ReadMessage(int client, std::optional<DebugWindowMessage>& out, const Handler& handle) {
    wire::Request request{};
    iovec data{&request, sizeof(request)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    ssize_t got;
    do {
        got = recvmsg(client, &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);

    // Every descriptor that came along is ours to close, whatever the record says.
    std::vector<int> passed;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t k = 0; k < n; ++k) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof(int));
            passed.push_back(fd);
        }
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;  // woken for nothing
    const bool wellFormed = got == static_cast<ssize_t>(sizeof(request)) &&
                            (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 && passed.size() == 1;
    struct stat st {};
    if (!wellFormed || fstat(passed[0], &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseAll(passed);
        return false;
    }

    DebugWindowMessage message;
    message.message = request.message;
    message.processId = request.processId;
    message.sectionSize = static_cast<uint64_t>(st.st_size);
    // pread rather than a mapping: a sender that shrinks the section cannot fault us.
    size_t have = 0;
    const size_t want = std::min<uint64_t>(message.sectionSize, kDebugSectionSize);
    while (have < want) {
        ssize_t n = pread(passed[0], message.section.data() + have, want - have, static_cast<off_t>(have));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    close(passed[0]);

    auto acknowledge = [client] { send(client, &wire::kAck, sizeof(wire::kAck), MSG_NOSIGNAL | MSG_DONTWAIT); };
    if (handle) {
        try {
            handle(message);
        } catch (...) {
            acknowledge();
            throw;
        }
    }
    acknowledge();
    out = message;
    return true;
}

}  // namespace platform

}  // namespace quarvel
