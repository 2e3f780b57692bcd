#include "influx/PostsInFlight.h"

#include <algorithm>

namespace quarvel {

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
        if (m_running >= m_window) {
            m_waited = true;
            AwaitEnded(lock, [this] { return m_running < m_window; });
        }
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
        lock.unlock();
        const Outcome outcome = post();
        lock.lock();
        --m_running;
        Learn(outcome);
        m_ended.notify_all();
    }
}

void PostsInFlight::Learn(const Outcome& outcome) {
    if (outcome.busy) {
        Resize(m_window / 2);
        m_doubling = false;
        return;
    }
    if (!outcome.full || outcome.took <= std::chrono::steady_clock::duration::zero()) return;
    m_fastest = std::min(m_fastest, outcome.took);
    // Of the posts under way, those that wait at the server rather than travel: with w
    // under way each taking t where the fastest took f, w * (1 - f / t).
    const double waiting = m_window * (1.0 - std::chrono::duration<double>(m_fastest) / outcome.took);
    if (waiting > 2.0 && m_window > 1) {
        Resize(m_window - 1);
        m_doubling = false;
    } else if (waiting < 1.0 && m_waited && m_window < m_ceiling) {
        Resize(m_doubling ? m_window * 2 : m_window + 1);
    }
}

void PostsInFlight::Resize(int window) {
    m_window = std::clamp(window, 1, m_ceiling);
    m_waited = false;
    if (m_learnt != nullptr) m_learnt->store(m_window);
}

}  // namespace quarvel
