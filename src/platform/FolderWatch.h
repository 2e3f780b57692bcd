#pragma once

// Changes under a folder, told by the file system's events (inotify) where it gives them:
// files made, written, renamed into place or removed, and sub-folders made, which are
// watched in turn. Shares of other machines give no events for their writers' changes; a
// caller rescans them on a timer of its own.

#include <chrono>
#include <string>
#include <unordered_map>

namespace quarvel::platform {

class FolderWatch {
public:
    FolderWatch();
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Watches `folder` and its sub-folders `depth` levels down (0: the folder alone), also
    // those made later. False when the system gives no events for it.
    bool Watch(const std::string& folder, int depth);

    // Waits up to `timeout` for a change (true); false after the timeout or a Wake. Without
    // `events` it only sleeps, and the changes meanwhile are told by the next Wait that takes them.
    bool Wait(std::chrono::milliseconds timeout, bool events = true);

    // From any thread: ends the Wait under way, or else the next one, at once.
    void Wake();

private:
    // Reads the events waiting; true when any told a change.
    bool Drain();
    void Add(const std::string& folder, int depth);

    int m_inotify = -1;
    int m_wake = -1;
    std::unordered_map<int, std::pair<std::string, int>> m_folders;  // by watch: the folder and its depth left
};

}  // namespace quarvel::platform
