#include "cli/StopSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace quarvel {

namespace {

// The handler may only write to a pipe; the watcher thread does the rest.
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signals = 0;

constexpr char kSignalled = 's';
constexpr char kDone = 'd';

extern "C" void OnStopSignal(int) {
    g_signals = g_signals + 1;
    if (g_signals > 1) _exit(kStoppedBySignal);
    const int saved = errno;
    const char byte = kSignalled;
    (void)!write(g_pipe[1], &byte, 1);
    errno = saved;
}

void Handle(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

StopSignal::StopSignal(std::function<void()> stop) : m_stop(std::move(stop)) {
    if (pipe2(g_pipe, O_CLOEXEC) != 0) throw std::runtime_error("cannot make the signal pipe");
    g_signals = 0;
    m_watcher = std::thread([this] {
        for (;;) {
            char byte = 0;
            const ssize_t n = read(g_pipe[0], &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || byte == kDone) return;
            m_received = true;
            m_stop();
        }
    });
    Handle(OnStopSignal);
}

StopSignal::~StopSignal() {
    Handle(SIG_DFL);
    const char byte = kDone;
    (void)!write(g_pipe[1], &byte, 1);
    m_watcher.join();
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

}  // namespace quarvel
