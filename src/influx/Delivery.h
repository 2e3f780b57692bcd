#pragma once

// Carries one batch to the server: tries again what may pass on a later try, halves a
// batch the server finds too large, and says which parts were not stored whole.

#include "influx/HttpPost.h"
#include "influx/PostsInFlight.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel {

struct InfluxTarget;

// How often and how patiently a failed post is tried again. The defaults make five tries
// over about half a minute: waits of 2, 4, 8 and 16 s, each varied by up to a quarter.
struct RetryPolicy {
    int tries = 5;  // posts in all, the first included
    std::chrono::milliseconds firstDelay{2000};
    double factor = 2.0;
    double jitter = 0.25;
};

// One wait before another try, for progress displays.
struct RetryNotice {
    int nextTry = 0;  // 2 up to tries
    int tries = 0;
    std::chrono::milliseconds delay{0};
    long status = 0;  // of the failed answer; 0 when none came
    std::string error;
};

// "Server not answering, retrying in 4 s (try 3 of 5)".
std::string RetryText(const RetryNotice& notice);

// Shared by the writers of one target: once a batch found the server silent through all its
// tries, later batches get a single try until a post gets through, so that an outage does not
// cost half a minute per batch. It also counts the batches in a row that the server refused
// for good (a login it refuses, a right it denies, a database it lacks), so that a run can
// stop instead of reading a whole node into unsent-line files. A writer that starts later
// also starts with as many posts under way as the others last had.
class ServerWatch {
public:
    std::atomic<bool> silent{false};
    std::atomic<size_t> nextNode{0};  // where the next batch starts
    PostsShared posts;                // what the writers' posts in flight learnt

    void Refused(const std::string& why) {
        std::lock_guard lock(m_mutex);
        ++m_refusalsInARow;
        m_lastRefusal = why;
    }
    void Stored() {
        std::lock_guard lock(m_mutex);
        m_refusalsInARow = 0;
    }
    int RefusalsInARow() const {
        std::lock_guard lock(m_mutex);
        return m_refusalsInARow;
    }
    std::string LastRefusal() const {
        std::lock_guard lock(m_mutex);
        return m_lastRefusal;
    }

private:
    mutable std::mutex m_mutex;
    int m_refusalsInARow = 0;
    std::string m_lastRefusal;
};

enum class Verdict {
    kStored,    // 2xx
    kRetry,     // no answer, 429 or 5xx: may pass later
    kPartial,   // 400 "partial write": the server kept the lines it could take
    kTooLarge,  // 413
    kRefused,   // any other answer: trying again gets the same one
};
Verdict Classify(const HttpResult& result);

// The number after "dropped=" in a partial write's message, or -1.
long DroppedCount(const std::string& error);

struct DeliveryResult {
    struct Piece {
        size_t offset = 0;  // in the body
        size_t size = 0;
        int lines = 0;
    };
    uint64_t linesStored = 0;
    uint64_t linesNotWritten = 0;
    std::vector<Piece> notStoredWhole;  // to keep for a later post
    // Of them, those stored but for the points older than the retention policy keeps, which
    // no later post stores either, and those points.
    size_t piecesPastRetention = 0;
    uint64_t linesPastRetention = 0;
    bool unanswered = false;                     // a failure was the server's silence
    bool refused = false;                        // a failure was an answer (partial writes too)
    std::string refusedForGood;                  // why, when the server refused the login, a right or the database
    bool busy = false;                           // a try went unanswered or was answered busy
    std::chrono::steady_clock::duration took{};  // from the first try to the last answer
    bool Complete() const { return notStoredWhole.empty(); }
    // Nothing is left that a later post could store.
    bool Done() const { return notStoredWhole.size() == piecesPastRetention; }
    // Refused by an answer at the first try: posting it again meets the same answer.
    bool RefusedAtOnce() const { return refused && !unanswered && !busy; }
};

// Posts `body` (`lines` lines; 0: counted) to one of `urls`, the write endpoints of the
// target's nodes, with its transport and retry policy. Batches are spread over the nodes in
// turn; a try that a node does not answer, or answers busy, goes on to the next node at
// once, and only when none took it does the retry policy wait.
// `where` names database and retention policy in log lines ("database D, retention policy R").
DeliveryResult Deliver(const InfluxTarget& target, const std::vector<std::string>& urls, const std::string& body,
                       int lines, const std::string& where);

}  // namespace quarvel
