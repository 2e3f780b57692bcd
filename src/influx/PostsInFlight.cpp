#include "influx/PostsInFlight.h"

#include <algorithm>
#include <cmath>

namespace quarvel {

namespace {

// Places beyond what the best rate needs over the round trip: one more than that while the
// window is small, so that over a long link it grows post by post; a quarter more once it
// is larger, so that few posts wait at the server.
constexpr double kHeadroom = 1.25;
// A link that holds less than this part of a post at the best rate adds no place.
constexpr double kNegligible = 0.1;
// Before any post has ended, a round trip this long is taken to hold a post.
constexpr int64_t kFarRoundTripNs = 1000000;

}  // namespace

PostsInFlight::PostsInFlight(int ceiling, PostsShared* shared, std::function<void()> serve)
    : m_ceiling(std::max(1, ceiling)), m_shared(shared != nullptr ? shared : &m_own), m_serve(std::move(serve)) {
    m_window = std::clamp(m_shared->window.load(), 1, m_ceiling);
    if (m_window == 1 && !m_shared->learnt.load() && m_shared->roundTripNs.load() >= kFarRoundTripNs) Resize(2);
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
        if (m_window == 1 && !m_serve) {
            ++m_running;  // the only one: every earlier post has ended
            return Ran(lock, post, true);
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
        const Post post = std::move(m_queue.front());
        m_queue.pop_front();
        Ran(lock, post, false);
    }
}

void PostsInFlight::Ran(std::unique_lock<std::mutex>& lock, const Post& post, bool here) {
    // What the link and the server deliver: the posts that end from the last end before
    // this one started until this one ends, over that time.
    const uint64_t endedBefore = m_endedCount;
    const auto since = m_endedCount > 0 ? m_lastEnded : std::chrono::steady_clock::now();
    lock.unlock();
    const Outcome outcome = post(here);
    lock.lock();
    --m_running;
    ++m_endedCount;
    m_lastEnded = std::chrono::steady_clock::now();
    Learn(outcome, static_cast<int>(m_endedCount - endedBefore), m_lastEnded - since);
    m_ended.notify_all();
}

void PostsInFlight::Learn(const Outcome& outcome, int ended, std::chrono::steady_clock::duration over) {
    using Seconds = std::chrono::duration<double>;
    if (outcome.busy) {
        m_shared->learnt.store(true);
        Resize(m_window / 2);
        std::fill(std::begin(m_rates), std::end(m_rates), 0.0);  // learnt anew at the smaller window
        return;
    }
    if (!outcome.full || outcome.took <= std::chrono::steady_clock::duration::zero() ||
        over <= std::chrono::steady_clock::duration::zero())
        return;
    m_shared->learnt.store(true);
    m_fastest = std::min(m_fastest, outcome.took);
    m_rates[m_nextRate] = ended / Seconds(over).count();
    m_nextRate = (m_nextRate + 1) % kRateSamples;
    const double best = *std::max_element(std::begin(m_rates), std::end(m_rates));
    const int64_t roundTrip = m_shared->roundTripNs.load();
    double places = 0;
    if (roundTrip >= 0) {
        // One post at the server, and the posts the link holds; a link that holds hardly any
        // adds none.
        const double link = kHeadroom * best * static_cast<double>(roundTrip) / 1e9;
        places = link < kNegligible ? 1 : 1 + std::ceil(link);
    } else {
        // Not measured: the fastest post's exchange, the server's part in it, stands for the link.
        places = std::ceil(kHeadroom * best * Seconds(m_fastest).count());
    }
    const int window = places >= m_ceiling ? m_ceiling : std::max(1, static_cast<int>(places));
    if (window != m_window) Resize(window);
}

void PostsInFlight::Resize(int window) {
    m_window = std::clamp(window, 1, m_ceiling);
    m_shared->window.store(m_window);
}

}  // namespace quarvel
