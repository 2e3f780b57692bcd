#pragma once

// The receiving end of the Debug Screen channel: the "window" that DebugWindow.h finds
// and sends to. It owns the socket named after its class and title and handles one
// message at a time, like a window procedure.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct sockaddr_un;

namespace quarvel {

namespace platform {

inline constexpr size_t kDebugSectionSize = 1024;

struct DebugWindowMessage {
    uint32_t message = 0;
    uint32_t processId = 0;
    uint64_t sectionSize = 0;                                // as the sender made it
    std::array<unsigned char, kDebugSectionSize> section{};  // its first 1024 bytes, zero-padded
};

class DebugWindowListener {
public:
    // Opens the window. Throws std::system_error when the socket cannot be made, and
    // std::runtime_error when no path is to be had or another window of this name listens.
    DebugWindowListener(const char* className, const char* title);
    ~DebugWindowListener();
    DebugWindowListener(const DebugWindowListener&) = delete;
    DebugWindowListener& operator=(const DebugWindowListener&) = delete;

    const std::string& Path() const { return m_path; }

    using Handler = std::function<void(const DebugWindowMessage&)>;

    // Waits up to timeoutMs (negative: without limit) for the next message. `handle` runs
    // before the sender is released, as a window procedure would. Returns nothing on
    // time-out or when a signal interrupted the wait.
    std::optional<DebugWindowMessage> Receive(int timeoutMs = -1, const Handler& handle = nullptr);

private:
    // Reads one record of a ready sender; false when that sender is gone or broke the rules.
    bool ReadMessage(int client, std::optional<DebugWindowMessage>& out, const Handler& handle);
    void DropClient(size_t index);

    std::string m_path;
    int m_listenFd = -1;
    uint64_t m_socketInode = 0;
    std::vector<int> m_clients;
    size_t m_nextClient = 0;  // where the next scan starts, so no sender starves the others
};

// What both ends put on the socket. A request record is Request plus one descriptor
// (SCM_RIGHTS, the section); the window answers with the single byte kAck.
namespace wire {

struct Request {
    uint32_t message;
    uint32_t processId;
};

inline constexpr unsigned char kAck = 0x06;

// False when the path is empty or too long for a socket address.
bool MakeSocketAddress(const std::string& path, sockaddr_un& address);

}  // namespace wire

}  // namespace platform

}  // namespace quarvel
