#include "FakeHttpServer.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

std::string InfluxAnswer(long status, const std::string& error, const std::string& body) {
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " Fault\r\nConnection: close\r\n";
    if (!error.empty() || !body.empty()) answer += "Content-Type: application/json\r\n";
    if (!error.empty()) answer += "X-Influxdb-Error: " + error + "\r\n";
    return answer + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

size_t Collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// The real server's answer to the same request: status, error message and body.
std::string ForwardedAnswer(const std::string& base, const FakeRequest& request, const std::string& body) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return InfluxAnswer(502, "forwarding failed", "");
    const std::string url = base + request.target;
    std::string headers;
    std::string answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    if (request.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    long status = 502;
    std::string error = "forwarding failed";
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        error.clear();
        const size_t field = headers.find("X-Influxdb-Error: ");
        if (field != std::string::npos) error = headers.substr(field + 18, headers.find('\r', field) - field - 18);
    }
    curl_easy_cleanup(curl);
    return InfluxAnswer(status, error, answer);
}

// Appends what arrives, `most` bytes at most; false when the client is gone or silent.
bool Receive(int connection, std::string& received, size_t most = 65536) {
    char chunk[65536];
    const ssize_t got = recv(connection, chunk, std::min(most, sizeof chunk), 0);
    if (got <= 0) return false;
    received.append(chunk, static_cast<size_t>(got));
    return true;
}

// Reads up to the blank line after the head, in small steps that leave most of the
// body unread; returns where the body starts.
size_t ReadHead(int connection, std::string& received) {
    size_t end;
    while ((end = received.find("\r\n\r\n")) == std::string::npos)
        if (!Receive(connection, received, 256)) return received.size();
    return end + 4;
}

size_t ContentLength(std::string head) {
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const size_t field = head.find("\r\ncontent-length:");
    return field == std::string::npos ? 0 : std::strtoul(head.c_str() + field + 17, nullptr, 10);
}

// Reads and drops what arrives until the client hangs up or the receive time-out ends it.
void Drain(int connection) {
    char sink[4096];
    while (recv(connection, sink, sizeof sink, 0) > 0) {
    }
}

}  // namespace

FakeReply Answer(long status, std::string error, std::string body) {
    if (body.empty() && !error.empty()) body = "{\"error\":\"" + error + "\"}\n";
    return {InfluxAnswer(status, error, body)};
}

FakeReply Forward(std::string baseUrl) {
    FakeReply reply;
    reply.kind = FakeReply::kForward;
    reply.forwardTo = std::move(baseUrl);
    return reply;
}

FakeHttpServer::FakeHttpServer(Chooser choose) : m_choose(std::move(choose)), m_limit(SIZE_MAX) {
    Bind();
    Start();
}

FakeHttpServer::FakeHttpServer(std::vector<FakeReply> replies) : m_limit(replies.size()) {
    m_choose = [replies = std::move(replies)](const FakeRequest& request) {
        return replies[static_cast<size_t>(request.index)];
    };
    Bind();
    Start();
}

FakeHttpServer::FakeHttpServer(Refusing) {
    Bind();
}

FakeHttpServer::~FakeHttpServer() {
    shutdown(m_listener, SHUT_RDWR);  // wakes a blocked accept
    if (m_thread.joinable()) m_thread.join();
    close(m_listener);
}

void FakeHttpServer::Bind() {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_listener >= 0) close(m_listener);
        throw std::runtime_error("cannot bind on the loopback");
    }
    m_port = ntohs(address.sin_port);
}

void FakeHttpServer::Start() {
    if (listen(m_listener, 16) != 0) {
        close(m_listener);
        throw std::runtime_error("cannot listen on the loopback");
    }
    if (m_limit > 0) m_thread = std::thread([this] { Serve(); });
}

std::string FakeHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> FakeHttpServer::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<std::string> FakeHttpServer::Bodies() const {
    std::lock_guard lock(m_mutex);
    return m_bodies;
}

std::vector<int> FakeHttpServer::Connections() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

void FakeHttpServer::Serve() {
    int connection = -1;
    int accepted = 0;
    std::string pending;  // bytes read past the request before, on a connection kept alive
    for (size_t index = 0; index < m_limit; ++index) {
        if (connection < 0) {
            connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) return;
            ++accepted;
            pending.clear();
            timeval wait{5, 0};
            setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        }
        std::string received = std::move(pending);
        pending.clear();
        const size_t headEnd = ReadHead(connection, received);
        FakeRequest request{static_cast<int>(index), accepted, {}, {}, ContentLength(received.substr(0, headEnd))};
        const size_t space = received.find(' ');
        request.method = received.substr(0, space);
        if (space != std::string::npos)
            request.target = received.substr(space + 1, received.find(' ', space + 1) - space - 1);
        FakeReply reply = m_choose(request);

        bool keep = false;
        if (reply.kind == FakeReply::kReset) {
            // Closing with unread bytes resets the connection.
            const linger abort{1, 0};
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        } else if (reply.kind == FakeReply::kSilent) {
            Drain(connection);
        } else {
            const size_t end = headEnd + request.bodyLength;
            while (received.size() < end && Receive(connection, received, end - received.size())) {
            }
            if (received.size() > end) pending = received.substr(end);
            received.resize(std::min(received.size(), end));
            const std::string body = received.substr(std::min(headEnd, received.size()));
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(received);
                m_bodies.push_back(body);
                m_connections.push_back(accepted);
            }
            if (reply.kind == FakeReply::kForward) reply.bytes = ForwardedAnswer(reply.forwardTo, request, body);
            (void)send(connection, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
            if (reply.holdOpen) {
                timeval hold{60, 0};
                setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &hold, sizeof hold);
                Drain(connection);
            }
            keep = reply.keepAlive;
        }
        if (!keep) {
            close(connection);
            connection = -1;
        }
    }
    if (connection >= 0) close(connection);
}

}  // namespace testsupport
