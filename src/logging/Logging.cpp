#include "logging/Logging.h"

#include "logging/LineLayout.h"

#include "platform/DebugWindow.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/RollingFileAppender.hh>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarvel {

namespace {

constexpr size_t kPathSize = 260;
constexpr size_t kLogLineSize = 2048;
constexpr size_t kDebugTextSize = 2052;
constexpr size_t kSectionSize = 1024;
constexpr uint32_t kDebugMessage = 0x0400;
constexpr const char* kLogFolder = "Logs";

// The library opens the log without close-on-exec; keep it out of child processes. It also
// looks up the file's end after every line to know when to roll over: here the lines written
// are counted instead, and the end is looked up once the count reaches the limit or every
// few dozen lines, so that lines another process adds to the same file count too.
class LogFileAppender : public log4cpp::RollingFileAppender {
public:
    LogFileAppender(const std::string& name, const std::string& path, size_t maxFileSize, unsigned int backups,
                    bool append, mode_t mode)
        : RollingFileAppender(name, path, maxFileSize, backups, append, mode) {
        LookAtEnd();
    }

    void KeepFromChildren() {
        if (_fd >= 0) fcntl(_fd, F_SETFD, FD_CLOEXEC);
    }
    void rollOver() override {
        RollingFileAppender::rollOver();
        KeepFromChildren();
        LookAtEnd();
    }
    bool reopen() override {
        bool ok = RollingFileAppender::reopen();
        KeepFromChildren();
        LookAtEnd();
        return ok;
    }

protected:
    // Under the category's lock, one line at a time.
    void _append(const log4cpp::LoggingEvent& event) override {
        const std::string line = _getLayout().format(event);
        if (::write(_fd, line.data(), line.size()) > 0) m_end += line.size();
        if (m_end < _maxFileSize && ++m_linesSinceLook < kLinesBetweenLooks) return;
        LookAtEnd();
        if (m_end >= _maxFileSize) rollOver();
    }

private:
    static constexpr int kLinesBetweenLooks = 64;

    void LookAtEnd() {
        const off_t end = _fd >= 0 ? lseek(_fd, 0, SEEK_END) : -1;
        m_end = end > 0 ? static_cast<size_t>(end) : 0;
        m_linesSinceLook = 0;
    }

    size_t m_end = 0;  // the file's size as far as known
    int m_linesSinceLook = 0;
};

// log4cpp builds its category tree on first use without a lock; a function-local static
// makes that first use happen once, whichever threads log first.
log4cpp::Category& Root() {
    static log4cpp::Category& root = log4cpp::Category::getRoot();
    return root;
}

bool Exists(const char* path) {
    return access(path, F_OK) == 0;
}

}  // namespace

int EnsureLogFolder() {
    char path[kPathSize];
    std::snprintf(path, sizeof(path), "%s", kLogFolder);
    // Create every missing prefix up to each separator. A leading '/' is the root and ends
    // the walk. '/' is never the second byte of a double-byte character in the encodings a
    // locale can use, so no lead-byte check is needed.
    for (char* slash = std::strchr(path, '/'); slash != nullptr; slash = std::strchr(slash + 1, '/')) {
        if (slash == path) break;
        *slash = '\0';
        if (!Exists(path)) mkdir(path, 0777);
        *slash = '/';
    }
    if (!Exists(path)) mkdir(path, 0777);
    return Exists(path) ? 1 : 0;
}

void InitLogging() {
    char path[kPathSize];
    std::snprintf(path, sizeof(path), "%s/%s", kLogFolder, "Quarvel.log");
    EnsureLogFolder();

    auto* layout = new LineLayout();
    // When the file cannot be opened the library keeps an invalid descriptor and drops
    // every line silently; the program runs on without a log, as it should.
    auto* appender = new LogFileAppender("rollfileAppender", path, size_t{5} * 1024 * 1024, 20, true, 0644);
    appender->KeepFromChildren();
    appender->setLayout(layout);

    log4cpp::Category& root = Root();
    root.addAppender(appender);  // the pointer form hands ownership to the category
    root.setPriority(log4cpp::Priority::DEBUG);
}

std::string LineLayout::format(const log4cpp::LoggingEvent& event) {
    const auto seconds = static_cast<time_t>(event.timeStamp.getSeconds());
    struct tm local {};
    localtime_r(&seconds, &local);
    char date[64];
    const int length =
        std::snprintf(date, sizeof date, "%d-%02d-%02d %02d:%02d:%02d,%03d: ", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, event.timeStamp.getMilliSeconds());
    const std::string& priority = log4cpp::Priority::getPriorityName(event.priority);
    std::string line;
    line.reserve(sizeof date + priority.size() + event.categoryName.size() + event.ndc.size() + event.message.size() +
                 5);
    line.append(date, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof date) - 1)));
    line.append(priority).append(1, ' ').append(event.categoryName).append(1, ' ').append(event.ndc).append(": ");
    line.append(event.message).append(1, '\n');
    return line;
}

void LogMessage(const char* format, ...) {
    char text[kLogLineSize];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(text, sizeof(text), format, args) < 0) text[0] = '\0';
    va_end(args);
    // The string overload: the text is the message, not another format.
    Root().info(std::string(text));
}

namespace {

// A look for the window takes a few system calls, and a run prints once for every sample
// without a value: after a look that found none, the next waits a few milliseconds, which
// no one watching can tell apart from a window that opened a moment later.
class ScreenLooks {
public:
    bool Due() {
        std::lock_guard lock(m_mutex);
        return !m_none || std::chrono::steady_clock::now() - m_lookedAt >= kNoneFor || RuntimeChanged();
    }
    int Look() {
        if (!Due()) return -1;
        const int window = platform::FindDebugWindow("debugWClass", "Debug Screen");
        std::lock_guard lock(m_mutex);
        m_none = window < 0;
        m_lookedAt = std::chrono::steady_clock::now();
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        m_runtimeSet = runtime != nullptr;
        m_runtime = m_runtimeSet ? runtime : "";
        return window;
    }

private:
    // The folder the window's socket lies in follows the environment.
    bool RuntimeChanged() const {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        return (runtime != nullptr) != m_runtimeSet || (runtime != nullptr && m_runtime != runtime);
    }

    static constexpr std::chrono::milliseconds kNoneFor{10};
    std::mutex m_mutex;
    bool m_none = false;
    std::chrono::steady_clock::time_point m_lookedAt;
    bool m_runtimeSet = false;
    std::string m_runtime;
};

ScreenLooks& Looks() {
    static ScreenLooks looks;
    return looks;
}

}  // namespace

bool DebugScreenShown() {
    return Looks().Due();
}

int DebugScreenPrint(const char* format, ...) {
    int window = Looks().Look();
    if (window < 0) return 0;

    char text[kDebugTextSize];
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(text, sizeof(text), format, args) < 0) text[0] = '\0';
    va_end(args);

    int section = platform::CreateSection(kSectionSize);
    if (section < 0) {
        platform::CloseDebugWindow(window);
        return 1;
    }
    void* view = mmap(nullptr, kSectionSize, PROT_READ | PROT_WRITE, MAP_SHARED, section, 0);
    if (view == MAP_FAILED) {
        close(section);
        platform::CloseDebugWindow(window);
        return 1;
    }
    auto* bytes = static_cast<char*>(view);
    const size_t length = strnlen(text, kSectionSize - 1);
    std::memcpy(bytes, text, length);
    std::memset(bytes + length, 0, kSectionSize - length);  // zeros to the end, byte 1023 too
    munmap(view, kSectionSize);

    // A window that went away mid-send is not worth reporting.
    platform::SendDebugWindowMessage(window, kDebugMessage, static_cast<uint32_t>(getpid()), section);
    close(section);
    platform::CloseDebugWindow(window);
    return 1;
}

void ShutdownLogging() {
    log4cpp::Category::shutdown();
}

std::string UtcText(int64_t seconds, UtcStyle style) {
    const auto time = static_cast<time_t>(seconds);
    struct tm date {};
    gmtime_r(&time, &date);
    char text[64];
    std::snprintf(text, sizeof text,
                  style == UtcStyle::kIso ? "%04d-%02d-%02dT%02d:%02d:%02dZ" : "%04d-%02d-%02d %02d:%02d:%02d UTC",
                  date.tm_year + 1900, date.tm_mon + 1, date.tm_mday, date.tm_hour, date.tm_min, date.tm_sec);
    return text;
}

std::string ClockText(int64_t seconds) {
    const auto whole = static_cast<long long>(seconds);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

std::string Thousands(uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

}  // namespace quarvel
