#pragma once

// A loopback HTTP server for what a real InfluxDB server cannot be made to do on cue:
// refuse connections, accept and fall silent, answer with arbitrary bytes, keep or drop
// a connection, reset it while the body is on its way, answer 5xx, 429 or 413, or pass
// requests on to a real server. It records each request that it reads whole: its raw
// bytes, its body and the connection it came on. Every wait is bounded, so a test cannot
// hang on it.

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// What is known of a request once its head has arrived.
struct FakeRequest {
    int index = 0;       // 0 for the first
    int connection = 0;  // 1 for the first connection accepted, and so on
    std::string method;
    std::string target;  // path and query
    size_t bodyLength = 0;
};

// What the server does with one request.
struct FakeReply {
    enum Kind {
        kBytes,    // reads the body, then sends `bytes` (none: hangs up without answering)
        kSilent,   // never answers: reads on until the client hangs up or 5 s pass
        kReset,    // resets the connection before the body is read
        kForward,  // reads the body and sends the answer of the server at `forwardTo`
    };
    std::string bytes{};
    bool holdOpen = false;   // after the bytes, stay silent until the client hangs up (60 s at most)
    bool keepAlive = false;  // after the bytes, wait for the next request on the same connection
    Kind kind = kBytes;
    std::string forwardTo{};  // kForward: the base URL of the server that answers instead
};

// An answer as the server gives it, on a connection that closes after it: the status,
// and an error message in the X-Influxdb-Error header and a JSON body, or the body given.
FakeReply Answer(long status, std::string error = {}, std::string body = {});

// Passes the request on to the server at `baseUrl` and sends back its status, error
// message and body.
FakeReply Forward(std::string baseUrl);

class FakeHttpServer {
public:
    // Decides each reply once the request's head has arrived, so that a reset comes
    // before the body is read. Serves any number of requests.
    using Chooser = std::function<FakeReply(const FakeRequest& request)>;
    explicit FakeHttpServer(Chooser choose);

    // Answers one request per reply, in order, each on a new connection unless the reply
    // before it kept its connection alive; then takes no more connections. With no
    // replies it listens but never accepts, so a client connects and then hears nothing.
    explicit FakeHttpServer(std::vector<FakeReply> replies);

    // Bound but not listening: a connection is refused, and no other server takes the
    // port while this one lives.
    struct Refusing {};
    explicit FakeHttpServer(Refusing);

    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    std::string Url(const std::string& path = {}) const;

    // The requests read whole, in order: raw bytes, bodies, and the connection of each.
    std::vector<std::string> Requests() const;
    std::vector<std::string> Bodies() const;
    std::vector<int> Connections() const;

private:
    void Bind();
    void Start();
    void Serve();

    Chooser m_choose;
    size_t m_limit = 0;  // requests served at most
    int m_listener = -1;
    unsigned short m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::vector<std::string> m_bodies;
    std::vector<int> m_connections;
};

}  // namespace testsupport
