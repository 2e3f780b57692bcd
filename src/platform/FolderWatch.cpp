#include "platform/FolderWatch.h"

#include "platform/FindFile.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace quarvel::platform {

namespace {

constexpr uint32_t kChanges =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB;

}  // namespace

FolderWatch::FolderWatch()
    : m_inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

FolderWatch::~FolderWatch() {
    if (m_inotify >= 0) close(m_inotify);
    if (m_wake >= 0) close(m_wake);
}

bool FolderWatch::Watch(const std::string& folder, int depth) {
    if (m_inotify < 0) return false;
    const size_t before = m_folders.size();
    Add(WithSeparator(folder), depth);
    return m_folders.size() > before;
}

void FolderWatch::Add(const std::string& folder, int depth) {
    const int watch = inotify_add_watch(m_inotify, folder.c_str(), kChanges | IN_ONLYDIR);
    if (watch < 0) return;
    m_folders[watch] = {folder, depth};
    if (depth == 0) return;
    FindFile listing;
    FindData entry;
    for (bool more = listing.First(folder + "*", entry); more; more = listing.Next(entry))
        if (entry.isDirectory && entry.name != "." && entry.name != "..") Add(folder + entry.name + "/", depth - 1);
}

bool FolderWatch::Drain() {
    // Aligned for the events read into it, and large enough for a name of any length.
    alignas(inotify_event) char buffer[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool changed = false;
    for (;;) {
        const ssize_t got = read(m_inotify, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return changed;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event{};
            std::memcpy(&event, buffer + at, sizeof event);
            const ssize_t size = static_cast<ssize_t>(sizeof event + event.len);
            if (at + size > got) break;
            const char* name = buffer + at + sizeof event;
            at += size;
            if ((event.mask & IN_IGNORED) != 0) {
                m_folders.erase(event.wd);
                continue;
            }
            changed = true;  // an overflow (IN_Q_OVERFLOW) lost some: a change all the same
            const auto folder = m_folders.find(event.wd);
            if ((event.mask & IN_ISDIR) != 0 && (event.mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
                folder != m_folders.end() && folder->second.second > 0 && event.len > 0)
                Add(folder->second.first + std::string(name, strnlen(name, event.len)) + "/",
                    folder->second.second - 1);
        }
    }
}

bool FolderWatch::Wait(std::chrono::milliseconds timeout, bool events) {
    pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_inotify, POLLIN, 0}};
    const nfds_t count = events && m_inotify >= 0 ? 2 : 1;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const int ready = poll(fds, count, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t wakes = 0;
            (void)!read(m_wake, &wakes, sizeof wakes);
            return false;
        }
        if (Drain()) return true;
    }
}

void FolderWatch::Wake() {
    const uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof one);
}

}  // namespace quarvel::platform
