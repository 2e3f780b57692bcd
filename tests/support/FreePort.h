#pragma once

// A loopback port that was free a moment ago: for a server a test starts, or for a URL
// where nothing listens.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace testsupport {

inline unsigned short FreeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(probe);
    if (!bound) throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

inline std::string UnreachableUrl() {
    return "http://127.0.0.1:" + std::to_string(FreeLoopbackPort());
}

}  // namespace testsupport
