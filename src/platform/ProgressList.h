#pragma once

// The progress list box: the lines a conversion shows, newest at the top. Any thread
// may use it. Every operation is carried out through the dispatcher, which a window
// sets so that the operation runs on the window's own thread while the caller waits,
// as a sent list-box message does; without one it runs on the caller's thread.
// Observers learn of each change after it was made.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quarvel {

namespace platform {

class ProgressList {
public:
    enum class Change { Deleted, Inserted, Added, Repaint };
    using Dispatcher = std::function<void(const std::function<void()>&)>;
    using Observer = std::function<void(Change change, int index, const std::string& text)>;

    int GetCount();
    void DeleteString(int index);                           // no effect for an index out of range
    void InsertString(int index, const std::string& text);  // index 0 is the top; -1 or past the end appends
    void AddString(const std::string& text);
    void UpdateWindow();  // asks the window to repaint now

    std::vector<std::string> Lines();

    void SetDispatcher(Dispatcher dispatcher);
    void SetObserver(Observer observer);

private:
    void Run(const std::function<void()>& operation);
    void Notify(Change change, int index, const std::string& text);

    std::recursive_mutex m_mutex;
    std::vector<std::string> m_lines;
    Dispatcher m_dispatcher;
    Observer m_observer;
};

}  // namespace platform

}  // namespace quarvel
