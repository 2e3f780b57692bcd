// The parts bench/follow needs around quarvel-cli follow:
//
//   bench_follow_tools append LOG_FOLDER SECONDS STEP
//       appends to every raw (X) data-log file of the folder's sub-folders the records of
//       SECONDS more, one every STEP seconds after the file's last one; prints the count.
//   bench_follow_tools write LOG_FOLDER SECONDS
//       for SECONDS, at the start of every second, appends to every raw file one record
//       stamped with that second (the node's time: the line's time stamp is the wall-clock
//       second); prints the records written and the longest round of writes.
//   bench_follow_tools proxy PORT UPSTREAM_PORT FIGURES_FILE
//       forwards HTTP on 127.0.0.1:PORT (0: any; the port is printed) to the server on
//       127.0.0.1:UPSTREAM_PORT. For each line of a write the server answered 2xx it notes
//       the time from the line's time stamp to the answer, and whether the same series and
//       time came before. FIGURES_FILE holds the figures, renewed every second and at SIGTERM.
//   bench_follow_tools delay PORT UPSTREAM_HOST UPSTREAM_PORT MS
//       forwards TCP on 127.0.0.1:PORT (0: any; the port is printed) to UPSTREAM_HOST:
//       UPSTREAM_PORT, each byte MS milliseconds late in either direction: a link with a round
//       trip of twice MS, for bench/e2e --delay.

#include "influx/LineFormat.h"
#include "influx/LogSample.h"
#include "influx/RyInfluxDB.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

using namespace quarvel;
namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxBody = 512u * 1024 * 1024;

std::atomic<bool> g_stop{false};
void Stop(int) {
    g_stop = true;
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<fs::path> RawFiles(const std::string& folder) {
    std::vector<fs::path> files;
    for (const auto& group : fs::directory_iterator(folder)) {
        if (!group.is_directory()) continue;
        for (const auto& file : fs::directory_iterator(group.path())) {
            const std::string name = file.path().filename().string();
            if (file.is_regular_file() && name.size() > 5 && name.ends_with("X.DAT")) files.push_back(file.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The file's last raw record; false when it has none.
bool LastRecord(const fs::path& path, LogSample& last) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    if (!in || size < kRawSampleSize) return false;
    in.seekg(size - size % kRawSampleSize - kRawSampleSize);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(&last), kRawSampleSize));
}

bool Append(const fs::path& path, const std::vector<LogSample>& records) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    for (const LogSample& record : records) out.write(reinterpret_cast<const char*>(&record), kRawSampleSize);
    return static_cast<bool>(out.flush());
}

// A smooth signal, so that the values look like a node's.
float Value(size_t tag, int64_t second) {
    return static_cast<float>(static_cast<double>(tag % 100) + static_cast<double>(second % 600) / 10.0);
}

int AppendHistory(const std::string& folder, int seconds, int step) {
    uint64_t count = 0;
    const std::vector<fs::path> files = RawFiles(folder);
    for (size_t i = 0; i < files.size(); ++i) {
        LogSample last{};
        if (!LastRecord(files[i], last)) continue;
        std::vector<LogSample> records;
        for (int t = step; t <= seconds; t += step) {
            LogSample record = last;
            record.time = last.time + t;
            record.value = Value(i, record.time);
            records.push_back(record);
        }
        if (!Append(files[i], records)) {
            std::fprintf(stderr, "cannot append to %s\n", files[i].c_str());
            return 1;
        }
        count += records.size();
    }
    std::printf("appended %llu records to %zu files\n", static_cast<unsigned long long>(count), files.size());
    return 0;
}

int WriteLive(const std::string& folder, int seconds) {
    const std::vector<fs::path> files = RawFiles(folder);
    std::vector<LogSample> lasts(files.size());
    for (size_t i = 0; i < files.size(); ++i) LastRecord(files[i], lasts[i]);
    const int32_t ahead = StandardZoneOffset() + static_cast<int32_t>(kFixedOffset);
    uint64_t written = 0;
    int64_t longestNs = 0;
    for (int round = 0; round < seconds && !g_stop; ++round) {
        const int64_t second = NowNs() / 1000000000 + 1;
        std::this_thread::sleep_until(std::chrono::system_clock::time_point(std::chrono::seconds(second)));
        const int64_t start = NowNs();
        for (size_t i = 0; i < files.size(); ++i) {
            LogSample record = lasts[i];
            record.time = static_cast<int32_t>(second + ahead);
            record.value = Value(i, second);
            if (!Append(files[i], {record})) {
                std::fprintf(stderr, "cannot append to %s\n", files[i].c_str());
                return 1;
            }
            ++written;
        }
        longestNs = std::max(longestNs, NowNs() - start);
    }
    std::printf("written %llu\nfiles %zu\nlongest_round_ms %.1f\n", static_cast<unsigned long long>(written),
                files.size(), static_cast<double>(longestNs) / 1e6);
    return 0;
}

// What the proxy saw of the writes the server stored.
class Figures {
public:
    explicit Figures(std::string path) : m_path(std::move(path)), m_startNs(NowNs()) {}

    void Stored(std::string_view body, int64_t answeredNs) {
        std::lock_guard lock(m_mutex);
        ++m_posts;
        size_t at = 0;
        while (at < body.size()) {
            size_t end = body.find('\n', at);
            if (end == std::string_view::npos) end = body.size();
            Line(body.substr(at, end - at), answeredNs);
            at = end + 1;
        }
    }
    void CompressedBody() {
        std::lock_guard lock(m_mutex);
        ++m_compressed;
    }

    // Replaced whole, so that a reader never sees half of it.
    void Write() {
        std::lock_guard lock(m_mutex);
        std::vector<int64_t> lags = m_lagsUs;
        std::sort(lags.begin(), lags.end());
        auto percentile = [&lags](double p) {
            if (lags.empty()) return 0.0;
            const auto index = static_cast<size_t>(p * static_cast<double>(lags.size() - 1) + 0.5);
            return static_cast<double>(lags[index]) / 1000.0;
        };
        const std::string temporary = m_path + ".new";
        if (FILE* out = std::fopen(temporary.c_str(), "w")) {
            std::fprintf(out, "posts %llu\nlines %llu\nlive_lines %llu\nrepeats %llu\ncompressed_posts %llu\n",
                         Count(m_posts), Count(m_lines), Count(lags.size()), Count(m_repeats), Count(m_compressed));
            std::fprintf(out, "p50_ms %.1f\np99_ms %.1f\nmax_ms %.1f\n", percentile(0.5), percentile(0.99),
                         percentile(1.0));
            std::fclose(out);
            std::rename(temporary.c_str(), m_path.c_str());
        }
    }

private:
    static unsigned long long Count(uint64_t n) { return static_cast<unsigned long long>(n); }

    // "series fields time": the series ends at the first blank that is not escaped, the
    // time stamp (nanoseconds) follows the last blank.
    void Line(std::string_view line, int64_t answeredNs) {
        if (line.empty() || line.front() == '#') return;
        size_t seriesEnd = 0;
        while (seriesEnd < line.size() && line[seriesEnd] != ' ') seriesEnd += line[seriesEnd] == '\\' ? 2 : 1;
        const size_t lastBlank = line.rfind(' ');
        if (seriesEnd >= line.size() || lastBlank == std::string_view::npos || lastBlank <= seriesEnd) return;
        const int64_t stampNs = std::strtoll(std::string(line.substr(lastBlank + 1)).c_str(), nullptr, 10);
        ++m_lines;
        const size_t key =
            std::hash<std::string_view>{}(line.substr(0, seriesEnd)) * 31 + std::hash<int64_t>{}(stampNs);
        if (!m_seen.insert(key).second) ++m_repeats;
        // Lines older than the proxy are history the node held before; they have no lag.
        if (stampNs >= m_startNs - 1000000000) m_lagsUs.push_back((answeredNs - stampNs) / 1000);
    }

    const std::string m_path;
    const int64_t m_startNs;
    std::mutex m_mutex;
    uint64_t m_posts = 0;
    uint64_t m_lines = 0;
    uint64_t m_repeats = 0;
    uint64_t m_compressed = 0;
    std::unordered_set<size_t> m_seen;
    std::vector<int64_t> m_lagsUs;
};

bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

// Reads into `buffer` until it holds `want` bytes; false at the end of the stream first.
bool ReadUntil(int fd, std::string& buffer, size_t want) {
    char chunk[65536];
    while (buffer.size() < want) {
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

std::string HeaderValue(const std::string& head, const std::string& name) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos) return {};
    const size_t from = head.find_first_not_of(' ', at + name.size() + 3);
    return head.substr(from, head.find("\r\n", from) - from);
}

// A link passes bytes on as they come. Held back until the bytes before are acknowledged,
// the second part of a request or an answer would wait for the peer's delayed
// acknowledgement, up to 40 ms.
void SendAtOnce(int fd) {
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

int Connect(int port, const char* host = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0) SendAtOnce(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && inet_pton(AF_INET, host, &address.sin_addr) == 1 &&
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// One request of the client, sent to the server on a connection of its own that the
// server closes after its answer, so that the answer needs no parsing. The answer says
// "Connection: close": the client opens a new connection for its next request.
void Forward(int client, int upstreamPort, Figures& figures) {
    std::string buffer;
    size_t headEnd = std::string::npos;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos)
        if (buffer.size() >= kMaxHead || !ReadUntil(client, buffer, buffer.size() + 1)) return;
    const std::string head = buffer.substr(0, headEnd + 2);
    const size_t length = std::strtoull(HeaderValue(head, "content-length").c_str(), nullptr, 10);
    if (length > kMaxBody || !ReadUntil(client, buffer, headEnd + 4 + length)) return;
    const std::string_view body = std::string_view(buffer).substr(headEnd + 4, length);

    const int upstream = Connect(upstreamPort);
    if (upstream < 0) return;
    std::string answer;
    if (SendAll(upstream, head + "Connection: close\r\n\r\n") && SendAll(upstream, body))
        ReadUntil(upstream, answer, kMaxBody);  // to the end of the stream
    close(upstream);
    const int64_t answeredNs = NowNs();
    const bool stored = answer.size() > 12 && answer.compare(0, 5, "HTTP/") == 0 && answer[9] == '2';
    if (stored && head.compare(0, 11, "POST /write") == 0) {
        if (HeaderValue(head, "content-encoding").empty())
            figures.Stored(body, answeredNs);
        else
            figures.CompressedBody();
    }
    SendAll(client, answer);
}

void Serve(int client, int upstreamPort, Figures& figures) {
    Forward(client, upstreamPort, figures);
    close(client);
}

// Listens on 127.0.0.1:port (0: any) and prints the port; -1 when it cannot.
int Listen(int port) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("proxy: cannot listen");
        return -1;
    }
    std::printf("port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return listener;
}

int Proxy(int port, int upstreamPort, const std::string& figuresPath) {
    const int listener = Listen(port);
    if (listener < 0) return 1;
    Figures figures(figuresPath);
    auto lastWrite = std::chrono::steady_clock::now();
    while (!g_stop) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 200) > 0) {
            const int client = accept(listener, nullptr, nullptr);
            if (client >= 0) std::thread(Serve, client, upstreamPort, std::ref(figures)).detach();
        }
        if (std::chrono::steady_clock::now() - lastWrite >= std::chrono::seconds(1)) {
            figures.Write();
            lastWrite = std::chrono::steady_clock::now();
        }
    }
    close(listener);
    figures.Write();
    return 0;
}

// One direction of a delayed connection: what `from` sends reaches `to` `delay` later. The
// reader and the sender work apart, so that bytes keep flowing while earlier ones wait. The
// bytes wait in a pipe, moved in and out by the kernel without a copy here, so that the
// delay costs the machine little more CPU than a link does: the server shares it.
void DelayedPipe(int from, int to, std::chrono::milliseconds delay) {
    using Clock = std::chrono::steady_clock;
    constexpr int kHeld = 1 << 20;  // the bytes under way; a full pipe holds the reader back
    int held[2];
    if (pipe2(held, O_CLOEXEC) != 0) {
        shutdown(to, SHUT_WR);
        return;
    }
    // A smaller pipe holds fewer bytes under way than a link does: say so, once.
    static std::atomic<bool> told{false};
    if (fcntl(held[1], F_SETPIPE_SZ, kHeld) < kHeld && !told.exchange(true))
        std::fprintf(stderr, "proxy: a pipe of %d bytes cannot be had; the delayed link is narrower than a real one\n",
                     kHeld);
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<Clock::time_point, size_t>> due;
    bool ended = false;
    std::thread sender([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !due.empty() || ended; });
            if (due.empty()) break;
            auto [when, left] = due.front();
            due.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(when);
            while (left > 0) {
                const ssize_t sent = splice(held[0], nullptr, to, nullptr, left, SPLICE_F_MOVE);
                if (sent <= 0) break;
                left -= static_cast<size_t>(sent);
            }
            lock.lock();
            if (left > 0) break;
        }
        shutdown(to, SHUT_WR);
        shutdown(from, SHUT_RD);  // a reader still at it ends too,
        close(held[0]);           // also one that waits for room in the pipe
    });
    for (;;) {
        // A blocking splice from a socket waits until it has moved all it was asked for.
        pollfd ready{from, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) break;
        const ssize_t got = splice(from, nullptr, held[1], nullptr, kHeld, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (got == 0) break;
        if (got < 0) {
            if (errno != EAGAIN) break;
            pollfd room{held[1], POLLOUT, 0};  // the pipe may be full
            poll(&room, 1, -1);
            continue;
        }
        {
            std::lock_guard lock(mutex);
            due.emplace_back(Clock::now() + delay, static_cast<size_t>(got));
        }
        changed.notify_one();
    }
    {
        std::lock_guard lock(mutex);
        ended = true;
    }
    changed.notify_one();
    sender.join();
    close(held[1]);
}

int Delay(int port, const char* upstreamHost, int upstreamPort, int milliseconds) {
    std::signal(SIGPIPE, SIG_IGN);  // a peer gone ends its connection's pipes, not the proxy
    const int listener = Listen(port);
    if (listener < 0) return 1;
    const std::chrono::milliseconds delay(milliseconds);
    while (!g_stop) {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 200) <= 0) continue;
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::thread([client, upstreamHost, upstreamPort, delay] {
            const int upstream = Connect(upstreamPort, upstreamHost);
            if (upstream >= 0) {
                SendAtOnce(client);
                std::thread back(DelayedPipe, upstream, client, delay);
                DelayedPipe(client, upstream, delay);
                back.join();
                close(upstream);
            }
            close(client);
        }).detach();
    }
    close(listener);
    return 0;
}

int Number(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "append" && argc == 5) return AppendHistory(argv[2], Number(argv[3]), Number(argv[4]));
    if (mode == "write" && argc == 4) return WriteLive(argv[2], Number(argv[3]));
    if (mode == "proxy" && argc == 5) return Proxy(Number(argv[2]), Number(argv[3]), argv[4]);
    if (mode == "delay" && argc == 6) return Delay(Number(argv[2]), argv[3], Number(argv[4]), Number(argv[5]));
    std::fprintf(stderr,
                 "usage: bench_follow_tools append LOG_FOLDER SECONDS STEP\n"
                 "       bench_follow_tools write LOG_FOLDER SECONDS\n"
                 "       bench_follow_tools proxy PORT UPSTREAM_PORT FIGURES_FILE\n"
                 "       bench_follow_tools delay PORT UPSTREAM_HOST UPSTREAM_PORT MS\n");
    return 2;
}
