#pragma once

// A loopback listener for what a real InfluxDB server cannot be made to do: fall
// silent, set cookies, redirect, hang up, or answer with arbitrary bytes. It records
// each request as raw bytes, and the connection it came on.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace httptest {

struct CannedReply {
    std::string bytes;       // none: hang up without answering
    bool holdOpen = false;   // after the bytes, stay silent until the client hangs up
    bool keepAlive = false;  // after the bytes, wait for the next request on the same connection
};

class FakeHttpServer {
public:
    // Answers one request per reply, in order, each on a new connection unless the
    // reply before it kept its connection alive. With no replies it listens but never
    // accepts, so a client connects and then hears nothing.
    explicit FakeHttpServer(std::vector<CannedReply> replies) : m_replies(std::move(replies)) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        if (m_listener < 0) throw std::runtime_error("socket failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listener, 16) != 0)
            throw std::runtime_error("bind/listen failed");
        socklen_t length = sizeof address;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        if (!m_replies.empty()) m_thread = std::thread([this] { Serve(); });
    }

    ~FakeHttpServer() {
        shutdown(m_listener, SHUT_RDWR);  // wakes a blocked accept
        if (m_thread.joinable()) m_thread.join();
        close(m_listener);
    }

    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

    std::vector<std::string> Requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    // For each request, the connection it came on: 1 for the first accepted, and so on.
    std::vector<int> Connections() const {
        std::lock_guard lock(m_mutex);
        return m_connections;
    }

private:
    void Serve() {
        int connection = -1;
        int accepted = 0;
        for (const auto& reply : m_replies) {
            if (connection < 0) {
                connection = accept(m_listener, nullptr, nullptr);
                if (connection < 0) return;
                ++accepted;
                timeval wait{5, 0};
                setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            }
            std::string request = ReadRequest(connection);
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(std::move(request));
                m_connections.push_back(accepted);
            }
            (void)send(connection, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
            if (reply.holdOpen) {
                timeval hold{60, 0};
                setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &hold, sizeof hold);
                char sink[256];
                while (recv(connection, sink, sizeof sink, 0) > 0) {
                }
            }
            if (!reply.keepAlive) {
                close(connection);
                connection = -1;
            }
        }
        if (connection >= 0) close(connection);
    }

    // Head up to the blank line, then as many body bytes as Content-Length says.
    static std::string ReadRequest(int connection) {
        std::string request;
        char chunk[4096];
        size_t headEnd = std::string::npos;
        size_t wanted = 0;
        for (;;) {
            if (headEnd == std::string::npos && (headEnd = request.find("\r\n\r\n")) != std::string::npos) {
                headEnd += 4;
                std::string head = request.substr(0, headEnd);
                std::transform(head.begin(), head.end(), head.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                const size_t field = head.find("\r\ncontent-length:");
                wanted = field == std::string::npos ? 0 : std::strtoul(head.c_str() + field + 17, nullptr, 10);
            }
            if (headEnd != std::string::npos && request.size() >= headEnd + wanted) return request;
            const ssize_t got = recv(connection, chunk, sizeof chunk, 0);
            if (got <= 0) return request;
            request.append(chunk, static_cast<size_t>(got));
        }
    }

    std::vector<CannedReply> m_replies;
    int m_listener = -1;
    unsigned short m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::vector<int> m_connections;
};

}  // namespace httptest
