#pragma once

// Following a live node: a resumed conversion catches up with what the journal lacks, then
// each change the file system tells of (and each rescan, for shares that tell none) brings
// another resumed conversion, within the latency. Batches the server could not take go to
// the unsent-line files; while the server is away it is probed, not fed, and once it
// answers the unsent lines are posted again before the node is read on. Health figures go
// to the front end and, for a monitoring system, to a metrics file.

#include "conversion/Progress.h"
#include "session/Session.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quarvel {

namespace platform {
class FolderWatch;
}

struct FollowOptions {
    std::chrono::seconds rescan{60};          // a full rescan at least this often
    std::chrono::seconds latency{5};          // a change is posted at most this long after it is seen
    std::chrono::seconds healthInterval{10};  // between health figures; 0: none told, the metrics every 10 s
    std::string metricsFile;                  // the figures in Prometheus text format; empty: none
    std::function<void(const std::string&)> say = [](const std::string&) {};  // follow's own lines
};

struct FollowHealth {
    double lagSeconds = 0;      // age of the oldest change seen that is not stored; 0 when all is
    double linesPerSecond = 0;  // stored since the figures before
    uint64_t unsentLines = 0;   // of the database, waiting in the unsent-line files
    uint64_t linesWritten = 0;  // since follow began
    bool serverAnswers = true;  // false during an outage
};

// "Health: lag 1.2 s, 340 lines/s, 0 lines waiting in Logs/unsent"
std::string HealthText(const FollowHealth& health);
// The figures for the node exporter's textfile collector, labelled with the database.
std::string MetricsText(const FollowHealth& health, const std::string& database);

class Follow {
public:
    // `session` is prepared (checked, its journal open) and resumes.
    Follow(Session& session, FollowOptions options);
    ~Follow();
    Follow(const Follow&) = delete;
    Follow& operator=(const Follow&) = delete;

    // Follows until RequestStop or until the server refuses for good; catchUp is told the
    // first conversion, cycles the later ones. The exit status: kAllWritten once stopped,
    // else that of the run the server's refusals ended.
    int Run(Progress& catchUp, Progress& cycles);

    // From any thread: the conversion under way ends after its files, and Run returns.
    void RequestStop();

    uint64_t LinesWritten() const { return m_linesWritten; }

private:
    using Clock = std::chrono::steady_clock;

    // One resumed conversion; false when the server refused for good (m_status says how).
    bool Cycle(Progress& progress);
    // Asks whether the server answers, and if so posts the unsent lines again; true once
    // it took them. Each probe waits longer for the next, up to the rescan period.
    bool Probe();
    // Posts the database's unsent lines again; true when none are left, or when the server
    // answered every batch and took some.
    bool RepostUnsent();
    // The server took not all: probing begins.
    void ServerAway();
    std::vector<std::string> UnsentFiles() const;  // the database's
    void TellHealth(bool force);
    void Say(const std::string& text);

    Session& m_session;
    FollowOptions m_options;
    std::unique_ptr<platform::FolderWatch> m_watch;
    std::atomic<bool> m_stop{false};
    int m_status = kAllWritten;

    std::optional<Clock::time_point> m_since;  // the oldest change seen and not stored
    bool m_serverAnswers = true;
    Clock::time_point m_probeAt{};
    Clock::duration m_probeDelay{};
    Clock::duration m_lastCycle{};
    uint64_t m_linesWritten = 0;
    uint64_t m_linesAtHealth = 0;
    Clock::time_point m_lastHealth = Clock::now();
};

}  // namespace quarvel
