#pragma once

// A loopback stand-in for the faults a real InfluxDB server cannot be made to show on cue:
// 5xx and 429 answers, an answer that never comes, a connection reset while the body is
// on its way, a 413. It may pass other requests on to a real server. Each request gets a
// connection of its own ("Connection: close"), and every wait is bounded, so a test
// cannot hang on it.

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace faulttest {

struct Reply {
    enum Kind { kAnswer, kSilent, kReset, kForward } kind = kAnswer;
    long status = 204;
    std::string error;      // the server's message: X-Influxdb-Error header and JSON body
    std::string forwardTo;  // kForward: the base URL of the server that answers instead
};

// What is known of a request once its head has arrived.
struct Request {
    int index = 0;  // 0 for the first
    std::string method;
    std::string target;  // path and query
    size_t bodyLength = 0;
};

inline Reply Answer(long status, std::string error = {}) {
    return {Reply::kAnswer, status, std::move(error), {}};
}

class FaultServer {
public:
    // `choose` decides once the head has arrived, so that a reset comes before the body is read.
    using Chooser = std::function<Reply(const Request& request)>;

    explicit FaultServer(Chooser choose) : m_choose(std::move(choose)) {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_listener, 16) != 0 || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on the loopback");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }

    ~FaultServer() {
        shutdown(m_listener, SHUT_RDWR);  // wakes a blocked accept
        m_thread.join();
        close(m_listener);
    }
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

    // The bodies of the requests that were read whole, in order.
    std::vector<std::string> Bodies() const {
        std::lock_guard lock(m_mutex);
        return m_bodies;
    }

private:
    void Serve() {
        for (int index = 0;; ++index) {
            const int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) return;
            timeval wait{5, 0};
            setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            std::string received;
            const size_t headEnd = ReadHead(connection, received);
            Request request{index, {}, {}, ContentLength(received.substr(0, headEnd))};
            const size_t length = request.bodyLength;
            const size_t space = received.find(' ');
            request.method = received.substr(0, space);
            request.target = received.substr(space + 1, received.find(' ', space + 1) - space - 1);
            Reply reply = m_choose(request);
            if (reply.kind == Reply::kReset) {
                // Closing with unread bytes resets the connection.
                const linger abort{1, 0};
                setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            } else if (reply.kind == Reply::kSilent) {
                char sink[4096];
                while (recv(connection, sink, sizeof sink, 0) > 0) {
                }  // until the client gives up, or the receive time-out
            } else {
                while (received.size() < headEnd + length && Receive(connection, received)) {
                }
                const std::string body = received.substr(std::min(headEnd, received.size()));
                {
                    std::lock_guard lock(m_mutex);
                    m_bodies.push_back(body);
                }
                if (reply.kind == Reply::kForward) reply = Forward(reply.forwardTo, request, body);
                const std::string json = reply.kind == Reply::kForward ? reply.forwardTo
                                         : reply.error.empty()         ? ""
                                                                       : "{\"error\":\"" + reply.error + "\"}\n";
                std::string answer = "HTTP/1.1 " + std::to_string(reply.status) + " Fault\r\nConnection: close\r\n";
                if (!reply.error.empty() || !json.empty()) answer += "Content-Type: application/json\r\n";
                if (!reply.error.empty()) answer += "X-Influxdb-Error: " + reply.error + "\r\n";
                answer += "Content-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json;
                (void)send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            close(connection);
        }
    }

    static size_t Collect(char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    }

    // The real server's answer to the same request: status and error message.
    static Reply Forward(const std::string& base, const Request& request, const std::string& body) {
        Reply reply{Reply::kAnswer, 502, "forwarding failed", {}};
        CURL* curl = curl_easy_init();
        if (curl == nullptr) return reply;
        const std::string url = base + request.target;
        std::string headers;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        if (request.method == "POST") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        }
        if (request.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.forwardTo);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
        if (curl_easy_perform(curl) == CURLE_OK) {
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
            reply.error.clear();
            const size_t field = headers.find("X-Influxdb-Error: ");
            if (field != std::string::npos)
                reply.error = headers.substr(field + 18, headers.find('\r', field) - field - 18);
        }
        curl_easy_cleanup(curl);
        reply.kind = Reply::kForward;  // its body is in forwardTo, sent as it came
        return reply;
    }

    static bool Receive(int connection, std::string& received, size_t most = 65536) {
        char chunk[65536];
        const ssize_t got = recv(connection, chunk, std::min(most, sizeof chunk), 0);
        if (got <= 0) return false;
        received.append(chunk, static_cast<size_t>(got));
        return true;
    }

    // Reads up to the blank line after the head, in small steps that leave most of the
    // body unread; returns where the body starts.
    static size_t ReadHead(int connection, std::string& received) {
        size_t end;
        while ((end = received.find("\r\n\r\n")) == std::string::npos)
            if (!Receive(connection, received, 256)) return received.size();
        return end + 4;
    }

    static size_t ContentLength(std::string head) {
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const size_t field = head.find("\r\ncontent-length:");
        return field == std::string::npos ? 0 : std::strtoul(head.c_str() + field + 17, nullptr, 10);
    }

    Chooser m_choose;
    int m_listener = -1;
    unsigned short m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_bodies;
};

}  // namespace faulttest
