#include "platform/ProgressList.h"

#include <utility>

namespace quarvel {

namespace platform {

namespace {

// The lists whose operation this thread is carrying out right now. An observer that asks
// the list for its lines runs on that thread already: sending it through the dispatcher
// again would wait for a thread that is busy waiting for us.
thread_local std::vector<const ProgressList*> t_running;

class RunningScope {
public:
    explicit RunningScope(const ProgressList* list) { t_running.push_back(list); }
    ~RunningScope() { t_running.pop_back(); }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;
};

bool IsRunningHere(const ProgressList* list) {
    for (const ProgressList* running : t_running) {
        if (running == list) return true;
    }
    return false;
}

}  // namespace

void ProgressList::Run(const std::function<void()>& operation) {
    auto body = [&] {
        std::lock_guard lock(m_mutex);
        RunningScope scope(this);
        operation();
    };
    Dispatcher dispatcher;
    if (!IsRunningHere(this)) {
        std::lock_guard lock(m_mutex);
        dispatcher = m_dispatcher;
    }
    // The mutex is not held while the dispatcher waits: the thread that runs the
    // operation needs it.
    if (dispatcher) {
        dispatcher(body);
    } else {
        body();
    }
}

void ProgressList::Notify(Change change, int index, const std::string& text) {
    // Called with m_mutex held, so observers see the changes in the order they were made.
    // A copy, so that an observer may replace itself.
    const Observer observer = m_observer;
    if (observer) observer(change, index, text);
}

int ProgressList::GetCount() {
    int count = 0;
    Run([&] { count = static_cast<int>(m_lines.size()); });
    return count;
}

void ProgressList::DeleteString(int index) {
    Run([&] {
        if (index < 0 || index >= static_cast<int>(m_lines.size())) return;
        const std::string text = std::move(m_lines[static_cast<size_t>(index)]);
        m_lines.erase(m_lines.begin() + index);
        Notify(Change::Deleted, index, text);
    });
}

void ProgressList::InsertString(int index, const std::string& text) {
    Run([&] {
        int at = index;
        if (at < 0 || at > static_cast<int>(m_lines.size())) at = static_cast<int>(m_lines.size());
        m_lines.insert(m_lines.begin() + at, text);
        Notify(Change::Inserted, at, text);
    });
}

void ProgressList::AddString(const std::string& text) {
    Run([&] {
        m_lines.push_back(text);
        Notify(Change::Added, static_cast<int>(m_lines.size()) - 1, text);
    });
}

void ProgressList::UpdateWindow() {
    Run([&] { Notify(Change::Repaint, -1, std::string()); });
}

std::vector<std::string> ProgressList::Lines() {
    std::vector<std::string> lines;
    Run([&] { lines = m_lines; });
    return lines;
}

void ProgressList::SetDispatcher(Dispatcher dispatcher) {
    std::lock_guard lock(m_mutex);
    m_dispatcher = std::move(dispatcher);
}

void ProgressList::SetObserver(Observer observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

}  // namespace platform

}  // namespace quarvel
