#pragma once

// A ceiling on the lines a run posts per second, over all its writers, for a historian
// that is busy with live writes. Each batch is given a start time so that the lines before
// it, at the ceiling, take up the time since the first: the rate holds over any stretch
// of several batches, and no batch waits longer than its own lines take.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace quarvel {

class LineRate {
public:
    explicit LineRate(uint64_t linesPerSecond) : m_linesPerSecond(linesPerSecond) {}

    // How long the caller is to wait before it posts `lines`; the wait is booked, so
    // callers on other threads are placed after it.
    std::chrono::steady_clock::duration Reserve(uint64_t lines);

private:
    const uint64_t m_linesPerSecond;
    std::mutex m_mutex;
    std::optional<std::chrono::steady_clock::time_point> m_next;  // when the next batch may start
};

}  // namespace quarvel
