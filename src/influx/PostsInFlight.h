#pragma once

// The posts of one writer that are under way at once, each on a posting thread of its own
// and so over a connection of its own, while the writer fills its next batch. How many may
// be under way follows the link: one more while the posts come back as fast as the fastest
// did (the round trip, not the server, held the rate) and the writer had to wait for a
// place; one fewer once they come back slower than that by more than two posts' worth (they
// wait at the server); half as many when the server was busy or silent.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quarvel {

class PostsInFlight {
public:
    explicit PostsInFlight(int ceiling);
    ~PostsInFlight();  // waits for the posts under way
    PostsInFlight(const PostsInFlight&) = delete;
    PostsInFlight& operator=(const PostsInFlight&) = delete;

    // What a post tells about the link once it has ended.
    struct Outcome {
        std::chrono::steady_clock::duration took{};  // of the exchange
        bool full = false;                           // a full batch: only those are compared
        bool busy = false;                           // a try went unanswered or was answered busy
    };
    using Post = std::function<Outcome()>;

    // Waits for a place, with `afterAll` until every earlier post has ended, then runs
    // `post` on a posting thread. `post` must not throw.
    void Start(Post post, bool afterAll);
    // Waits until every post started has ended.
    void Wait();

private:
    void Run();
    void Learn(const Outcome& outcome);

    const int m_ceiling;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Post> m_queue;
    std::vector<std::thread> m_threads;
    int m_idle = 0;         // posting threads waiting for a post
    int m_running = 0;      // started and not ended, queued ones included
    int m_window = 1;       // places
    bool m_waited = false;  // the writer waited for a place since the window last changed
    std::chrono::steady_clock::duration m_fastest = std::chrono::steady_clock::duration::max();
    bool m_stopping = false;
};

}  // namespace quarvel
