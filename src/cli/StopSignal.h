#pragma once

// Ctrl-C during a conversion or a repost: the first SIGINT or SIGTERM asks the run to end
// after the files (or the batch) under way, so that their lines are posted or saved and the
// journal stays true; a second one ends the program at once.

#include <atomic>
#include <functional>
#include <thread>

namespace quarvel {

constexpr int kStoppedBySignal = 130;  // the exit status of a run a signal stopped

class StopSignal {
public:
    // Until destroyed, the first signal calls `stop` on a thread of its own.
    explicit StopSignal(std::function<void()> stop);
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool Received() const { return m_received; }

private:
    std::function<void()> m_stop;
    std::atomic<bool> m_received{false};
    std::thread m_watcher;
};

}  // namespace quarvel
