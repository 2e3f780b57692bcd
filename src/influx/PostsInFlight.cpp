#include "influx/PostsInFlight.h"

#include <algorithm>
#include <cmath>

namespace quarvel {

namespace {

// Places beyond what the best rate needs over the fastest round trip: one more than that
// while the window is small, so that over a long link it grows post by post; a quarter
// more once it is larger, so that next to the server few posts wait there.
constexpr double kHeadroom = 1.25;

}  // namespace

PostsInFlight::PostsInFlight(int ceiling, std::atomic<int>* learnt, std::function<void()> serve)
    : m_ceiling(std::max(1, ceiling)), m_learnt(learnt), m_serve(std::move(serve)) {
    if (m_learnt != nullptr) m_window = std::clamp(m_learnt->load(), 1, m_ceiling);
}

PostsInFlight::~PostsInFlight() {
    {
        std::unique_lock lock(m_mutex);
        AwaitEnded(lock, [this] { return m_running == 0; });
        m_stopping = true;
    }
    m_queued.notify_all();
    for (std::thread& thread : m_threads) thread.join();
}

void PostsInFlight::Start(Post post, bool afterAll) {
    {
        std::unique_lock lock(m_mutex);
        if (afterAll) AwaitEnded(lock, [this] { return m_running == 0; });
        if (m_running >= m_window) AwaitEnded(lock, [this] { return m_running < m_window; });
        // A thread that cannot be made throws before anything was queued.
        if (m_idle <= static_cast<int>(m_queue.size()) && static_cast<int>(m_threads.size()) < m_ceiling)
            m_threads.emplace_back([this] { Run(); });
        m_queue.push_back(std::move(post));
        ++m_running;
    }
    m_queued.notify_one();
}

void PostsInFlight::Wait() {
    std::unique_lock lock(m_mutex);
    AwaitEnded(lock, [this] { return m_running == 0; });
}

void PostsInFlight::AwaitEnded(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready) {
    if (!m_serve) return m_ended.wait(lock, ready);
    // An ended post still wakes the wait at once; the slices only bound how long the
    // caller's events wait.
    constexpr std::chrono::milliseconds kServeEvery{10};
    while (!m_ended.wait_for(lock, kServeEvery, ready)) {
        lock.unlock();
        m_serve();
        lock.lock();
    }
}

void PostsInFlight::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_idle;
        m_queued.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
        --m_idle;
        if (m_queue.empty()) return;
        Post post = std::move(m_queue.front());
        m_queue.pop_front();
        // What the link and the server deliver: the posts that end from the last end before
        // this one started until this one ends, over that time.
        const uint64_t endedBefore = m_endedCount;
        const auto since = m_endedCount > 0 ? m_lastEnded : std::chrono::steady_clock::now();
        lock.unlock();
        const Outcome outcome = post();
        lock.lock();
        --m_running;
        ++m_endedCount;
        m_lastEnded = std::chrono::steady_clock::now();
        Learn(outcome, static_cast<int>(m_endedCount - endedBefore), m_lastEnded - since);
        m_ended.notify_all();
    }
}

void PostsInFlight::Learn(const Outcome& outcome, int ended, std::chrono::steady_clock::duration over) {
    using Seconds = std::chrono::duration<double>;
    if (outcome.busy) {
        Resize(m_window / 2);
        std::fill(std::begin(m_rates), std::end(m_rates), 0.0);  // learnt anew at the smaller window
        return;
    }
    if (!outcome.full || outcome.took <= std::chrono::steady_clock::duration::zero() ||
        over <= std::chrono::steady_clock::duration::zero())
        return;
    m_fastest = std::min(m_fastest, outcome.took);
    m_rates[m_nextRate] = ended / Seconds(over).count();
    m_nextRate = (m_nextRate + 1) % kRateSamples;
    const double best = *std::max_element(std::begin(m_rates), std::end(m_rates));
    const double window = std::ceil(kHeadroom * best * Seconds(m_fastest).count());
    const int places = window >= m_ceiling ? m_ceiling : std::max(1, static_cast<int>(window));
    if (places != m_window) Resize(places);
}

void PostsInFlight::Resize(int window) {
    m_window = std::clamp(window, 1, m_ceiling);
    if (m_learnt != nullptr) m_learnt->store(m_window);
}

}  // namespace quarvel
