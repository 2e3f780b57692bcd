#include "influx/LineRate.h"

namespace quarvel {

std::chrono::steady_clock::duration LineRate::Reserve(uint64_t lines) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(m_mutex);
    // A slot left unused long ago is not saved up: a pause gives no burst afterwards.
    const Clock::time_point start = m_next && *m_next > now ? *m_next : now;
    const auto takes =
        std::chrono::duration<double>(static_cast<double>(lines) / static_cast<double>(m_linesPerSecond));
    m_next = start + std::chrono::duration_cast<Clock::duration>(takes);
    return start - now;
}

}  // namespace quarvel
