#pragma once

// The posts of one writer that are under way at once, each on a posting thread of its own
// and so over a connection of its own, while the writer fills its next batch. How many may
// be under way follows the link: one at the server, and a quarter more than the posts that
// the best rate of late delivers within the link's round trip. Over a long link that adds
// places post by post until the server's rate is reached; next to the server the link holds
// no post, and the window stays at one. At one, with no event loop to serve, the writer
// posts on its own thread: handing a post to a posting thread costs more than it gains when
// nothing travels meanwhile. Until a post has ended, a link of a millisecond or more holds
// one post besides: the first batch travels while the next one fills. Half as many when
// the server was busy or silent, and the rate is then learnt anew. A run's writers share
// what they learnt, so that a later writer starts where the others are instead of at one
// post.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quarvel {

// What the writers of a run share: the window they last had, and the link's round trip.
struct PostsShared {
    static constexpr int64_t kNotMeasured = -1;
    static constexpr int64_t kNotMeasurable = -2;  // the fastest post's exchange stands for it
    std::atomic<int> window{1};
    std::atomic<int64_t> roundTripNs{kNotMeasured};
    std::atomic<bool> learnt{false};  // a post has told the window what the link holds
};

class PostsInFlight {
public:
    // `shared` (may be null: the writer's own, with the link not measured) is shared with the
    // other writers of the run: the window starts there and goes there whenever it changes.
    // `serve` (may be empty) is called every few milliseconds while the writer waits for its
    // posts, so that a caller with an event loop of its own (a window) keeps handling its
    // events; it must not throw.
    PostsInFlight(int ceiling, PostsShared* shared, std::function<void()> serve = {});
    ~PostsInFlight();  // waits for the posts under way
    PostsInFlight(const PostsInFlight&) = delete;
    PostsInFlight& operator=(const PostsInFlight&) = delete;

    // What a post tells about the link once it has ended.
    struct Outcome {
        std::chrono::steady_clock::duration took{};  // of the exchange
        bool full = false;                           // a full batch: only those are compared
        bool busy = false;                           // a try went unanswered or was answered busy
    };
    // `here`: the post runs on the thread that started it, which may wait with its own wait.
    using Post = std::function<Outcome(bool here)>;

    // Waits for a place, with `afterAll` until every earlier post has ended, then runs
    // `post` on a posting thread, or on this one while the window is one place and there is
    // nothing to serve. `post` must not throw.
    void Start(Post post, bool afterAll);
    // Waits until every post started has ended.
    void Wait();

private:
    void Run();
    // Runs `post` with the lock released, then learns from it.
    void Ran(std::unique_lock<std::mutex>& lock, const Post& post, bool here);
    // Waits on m_ended until `ready`, serving the caller meanwhile.
    void AwaitEnded(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready);
    // `ended`: the posts that ended `over` the time from the last end before this post
    // started until its own end, itself included.
    void Learn(const Outcome& outcome, int ended, std::chrono::steady_clock::duration over);
    void Resize(int window);

    const int m_ceiling;
    PostsShared m_own;
    PostsShared* const m_shared;
    const std::function<void()> m_serve;
    std::mutex m_mutex;
    // Two signals, so that an ended post wakes only who waits for a place, and a started one
    // only one idle posting thread.
    std::condition_variable m_queued;
    std::condition_variable m_ended;
    std::deque<Post> m_queue;
    std::vector<std::thread> m_threads;
    int m_idle = 0;     // posting threads waiting for a post
    int m_running = 0;  // started and not ended, queued ones included
    int m_window = 1;   // places
    uint64_t m_endedCount = 0;
    std::chrono::steady_clock::time_point m_lastEnded;
    // Posts delivered per second, as the last full posts saw it, oldest first overwritten.
    static constexpr int kRateSamples = 8;
    double m_rates[kRateSamples] = {};
    int m_nextRate = 0;
    std::chrono::steady_clock::duration m_fastest = std::chrono::steady_clock::duration::max();
    bool m_stopping = false;
};

}  // namespace quarvel
