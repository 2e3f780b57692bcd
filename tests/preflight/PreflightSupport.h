#pragma once

// What the server-check tests share: databases with chosen retention policies, and
// addresses where no InfluxDB answers.

#include "InfluxServer.h"
#include "influx/LogSample.h"
#include "influx/Preflight.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>

using namespace quarvel;

namespace preflight {

// The database with the policies named, each "INF" or a duration such as "2h".
inline void MakeDatabase(const std::string& database, const std::map<std::string, std::string>& policies) {
    testsupport::Query("CREATE DATABASE " + QuoteIdentifier(database));
    for (const auto& [name, duration] : policies) {
        const std::string shard = duration == "INF" ? "" : " SHARD DURATION 1h";
        testsupport::Query("CREATE RETENTION POLICY " + QuoteIdentifier(name) + " ON " + QuoteIdentifier(database) +
                           " DURATION " + duration + " REPLICATION 1" + shard);
    }
}

inline std::map<std::string, std::string> AllInf() {
    return {{"RP_Sec", "INF"}, {"RP_Min", "INF"}, {"RP_Hour", "INF"}, {"RP_Day", "INF"}};
}

inline void Drop(const std::string& database) {
    testsupport::Query("DROP DATABASE " + QuoteIdentifier(database));
}

// A loopback socket that listens; with `accept` false, connections wait in its backlog
// and no answer ever comes.
class Listener {
public:
    Listener() {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~Listener() {
        shutdown(m_fd, SHUT_RDWR);  // wakes a blocked accept
        if (m_answering.joinable()) m_answering.join();
        close(m_fd);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void Listen() { listen(m_fd, 8); }

    // Answers every request 204 with no body, as a web server that is no InfluxDB might.
    void AnswerEverything() {
        Listen();
        m_answering = std::thread([fd = m_fd] {
            for (int connection; (connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(connection)) {
                char request[4096];
                (void)recv(connection, request, sizeof request, 0);
                const char answer[] = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
                (void)send(connection, answer, sizeof answer - 1, MSG_NOSIGNAL);
            }
        });
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

private:
    int m_fd = -1;
    int m_port = 0;
    std::thread m_answering;
};

}  // namespace preflight
