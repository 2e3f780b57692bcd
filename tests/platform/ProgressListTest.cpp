// The progress list box: index rules, the walker's cut-to-20 sequence, observers, and a
// window thread that carries out every operation while the callers wait.

#include "platform/ProgressList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <thread>

using namespace quarvel;

namespace {

using platform::ProgressList;
using Change = ProgressList::Change;

struct Event {
    Change change;
    int index;
    std::string text;
    bool operator==(const Event&) const = default;
};

void PrintTo(const Event& e, std::ostream* out) {
    static const char* const names[] = {"Deleted", "Inserted", "Added", "Repaint"};
    *out << names[static_cast<int>(e.change)] << '(' << e.index << ", \"" << e.text << "\")";
}

// A window's own thread: runs each operation sent to it, one at a time, and lets the
// sender go on only once the operation has run. It does not run operations inline for
// its own thread, so an operation that sent another one to it would hang.
class WindowThread {
public:
    WindowThread() : m_thread([this] { Loop(); }) {}
    ~WindowThread() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    void Send(const std::function<void()>& operation) {
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        {
            std::lock_guard lock(m_mutex);
            m_queue.emplace_back([&] {
                operation();
                done.set_value();
            });
        }
        m_wake.notify_one();
        finished.get();
    }

    ProgressList::Dispatcher Dispatcher() {
        return [this](const std::function<void()>& operation) { Send(operation); };
    }

    std::thread::id Id() const { return m_thread.get_id(); }

private:
    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty()) return;
            std::function<void()> next = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            next();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_stop = false;
    std::thread m_thread;  // last: starts once the members above exist
};

// The walker's progress line: cut the list to 19 lines, then put the text on top.
void ShowProgress(ProgressList& list, const std::string& text) {
    const int count = list.GetCount();
    if (count > 18) {
        for (int i = count - 1; i >= 19; --i) list.DeleteString(i);
    }
    list.InsertString(0, text);
}

// Each test runs once with the operations on the caller's thread and once on a window thread.
// A deadlock aborts the run with a message instead of hanging it.
class ProgressListTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        m_watchdog = std::thread([finished = m_finished.get_future()] {
            if (finished.wait_for(std::chrono::seconds(30)) == std::future_status::timeout) {
                std::fputs("ProgressListTest: deadlock, no end after 30 s\n", stderr);
                std::abort();
            }
        });
        if (GetParam()) {
            m_window = std::make_unique<WindowThread>();
            m_list.SetDispatcher(m_window->Dispatcher());
        }
    }
    void TearDown() override {
        m_list.SetDispatcher(nullptr);
        m_finished.set_value();
        m_watchdog.join();
    }

    ProgressList m_list;
    std::unique_ptr<WindowThread> m_window;
    std::promise<void> m_finished;
    std::thread m_watchdog;
};

INSTANTIATE_TEST_SUITE_P(Threads, ProgressListTest, ::testing::Values(false, true),
                         [](const auto& test) { return test.param ? "OnWindowThread" : "OnCallerThread"; });

TEST_P(ProgressListTest, WalkerKeepsTwentyLinesNewestFirst) {
    for (int i = 1; i <= 30; ++i) ShowProgress(m_list, "line " + std::to_string(i));
    std::vector<std::string> expected;
    for (int i = 30; i >= 11; --i) expected.push_back("line " + std::to_string(i));
    EXPECT_EQ(m_list.Lines(), expected);

    // A converted file's path stands at the bottom as the 21st line until the next line.
    m_list.AddString("/data/node_1/Log/sub/TAG$X.DAT");
    m_list.UpdateWindow();
    EXPECT_EQ(m_list.GetCount(), 21);
    EXPECT_EQ(m_list.Lines().back(), "/data/node_1/Log/sub/TAG$X.DAT");

    ShowProgress(m_list, "line 31");
    expected.pop_back();
    expected.insert(expected.begin(), "line 31");
    EXPECT_EQ(m_list.Lines(), expected);
}

TEST_P(ProgressListTest, IndexRulesAndWhatObserversSee) {
    struct Case {
        const char* what;
        std::function<void(ProgressList&)> operation;
        std::vector<std::string> lines;
        std::vector<Event> events;
    };
    const Case cases[] = {
        {"delete below range", [](ProgressList& l) { l.DeleteString(-1); }, {"a", "b", "c"}, {}},
        {"delete past end", [](ProgressList& l) { l.DeleteString(3); }, {"a", "b", "c"}, {}},
        {"delete middle", [](ProgressList& l) { l.DeleteString(1); }, {"a", "c"}, {{Change::Deleted, 1, "b"}}},
        {"delete last", [](ProgressList& l) { l.DeleteString(2); }, {"a", "b"}, {{Change::Deleted, 2, "c"}}},
        {"insert top",
         [](ProgressList& l) { l.InsertString(0, "x"); },
         {"x", "a", "b", "c"},
         {{Change::Inserted, 0, "x"}}},
        {"insert middle",
         [](ProgressList& l) { l.InsertString(2, "x"); },
         {"a", "b", "x", "c"},
         {{Change::Inserted, 2, "x"}}},
        {"insert at count",
         [](ProgressList& l) { l.InsertString(3, "x"); },
         {"a", "b", "c", "x"},
         {{Change::Inserted, 3, "x"}}},
        {"insert -1 appends",
         [](ProgressList& l) { l.InsertString(-1, "x"); },
         {"a", "b", "c", "x"},
         {{Change::Inserted, 3, "x"}}},
        {"insert past end appends",
         [](ProgressList& l) { l.InsertString(9, "x"); },
         {"a", "b", "c", "x"},
         {{Change::Inserted, 3, "x"}}},
        {"add", [](ProgressList& l) { l.AddString(""); }, {"a", "b", "c", ""}, {{Change::Added, 3, ""}}},
        {"repaint", [](ProgressList& l) { l.UpdateWindow(); }, {"a", "b", "c"}, {{Change::Repaint, -1, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        while (m_list.GetCount() > 0) m_list.DeleteString(0);
        for (const char* line : {"a", "b", "c"}) m_list.AddString(line);

        std::vector<Event> events;
        m_list.SetObserver([&](Change change, int index, const std::string& text) {
            events.push_back({change, index, text});
        });
        c.operation(m_list);
        m_list.SetObserver(nullptr);
        EXPECT_EQ(m_list.Lines(), c.lines);
        EXPECT_EQ(events, c.events);
    }
}

TEST_P(ProgressListTest, ObserverMayReadTheListAndSeesTheChangeMade) {
    std::vector<Event> events;
    std::vector<int> counts;
    std::set<std::thread::id> observerThreads;
    m_list.SetObserver([&](Change change, int index, const std::string& text) {
        events.push_back({change, index, text});
        counts.push_back(m_list.GetCount());
        EXPECT_EQ(static_cast<int>(m_list.Lines().size()), counts.back());
        observerThreads.insert(std::this_thread::get_id());
    });
    m_list.AddString("one");
    m_list.InsertString(0, "zero");
    m_list.UpdateWindow();
    m_list.DeleteString(1);
    m_list.DeleteString(5);
    m_list.SetObserver(nullptr);

    const std::vector<Event> expected = {{Change::Added, 0, "one"},
                                         {Change::Inserted, 0, "zero"},
                                         {Change::Repaint, -1, ""},
                                         {Change::Deleted, 1, "one"}};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 2, 1}));
    const std::thread::id expectedThread = m_window ? m_window->Id() : std::this_thread::get_id();
    EXPECT_EQ(observerThreads, std::set<std::thread::id>{expectedThread});
}

TEST_P(ProgressListTest, ConcurrentWorkersLoseNothingAndWaitForTheirOperation) {
    constexpr int kWorkers = 8;
    constexpr int kLines = 300;
    std::mutex seenMutex;
    std::set<std::string> seen;  // filled by the observer, wherever the operations run
    std::set<std::thread::id> operationThreads;
    m_list.SetObserver([&](Change, int, const std::string& text) {
        std::lock_guard lock(seenMutex);
        seen.insert(text);
        operationThreads.insert(std::this_thread::get_id());
    });

    std::atomic<int> returnedEarly{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < kLines; ++i) {
                const std::string text = std::to_string(w) + ":" + std::to_string(i);
                if (i % 3 == 0) {
                    m_list.InsertString(0, text);
                } else {
                    m_list.AddString(text);
                }
                std::lock_guard lock(seenMutex);
                if (seen.count(text) == 0) ++returnedEarly;
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    m_list.SetObserver(nullptr);

    EXPECT_EQ(returnedEarly.load(), 0);
    const std::vector<std::string> lines = m_list.Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kWorkers * kLines));
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
    // Lines added (not inserted) keep each worker's order.
    std::map<int, int> lastAdded;
    for (const std::string& line : lines) {
        const int w = std::stoi(line.substr(0, line.find(':')));
        const int i = std::stoi(line.substr(line.find(':') + 1));
        if (i % 3 == 0) continue;
        EXPECT_GT(i, lastAdded.count(w) ? lastAdded[w] : -1) << line;
        lastAdded[w] = i;
    }
    if (m_window) {
        EXPECT_EQ(operationThreads, std::set<std::thread::id>{m_window->Id()});
    }
}

}  // namespace
