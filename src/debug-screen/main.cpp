// debug-screen: opens the Debug Screen window and prints every message sent to it.

#include "platform/DebugWindowListener.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

using namespace quarvel;

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) {
    g_stop = 1;
}

const char kUsage[] =
    "usage: debug-screen [--class NAME] [--title TEXT] [--count N]\n"
    "\n"
    "Opens the Debug Screen window and prints each message sent to it.\n"
    "\n"
    "  --class NAME   window class (default: debugWClass)\n"
    "  --title TEXT   window title (default: Debug Screen)\n"
    "  --count N      exit after N messages (0, the default: run until SIGINT/SIGTERM)\n"
    "  --help         show this text\n"
    "\n"
    "At start one line \"listening on PATH\" goes to standard error. Then each message\n"
    "is one line on standard output:\n"
    "\n"
    "  pid=PID message=0xNNNN size=BYTES text=\"TEXT\"\n"
    "\n"
    "PID is the sender's process id, NNNN the message number in hex, BYTES the size\n"
    "of the shared section and TEXT the section's bytes up to the first zero byte.\n"
    "In TEXT, \\r \\n \\t stand for carriage return, line feed and tab, \\\\ and \\\"\n"
    "for a backslash and a quote, and \\xHH for any other byte outside printable ASCII.\n";

std::string Render(const platform::DebugWindowMessage& m) {
    static const char hex[] = "0123456789abcdef";
    char head[96];
    std::snprintf(head, sizeof(head), "pid=%u message=0x%04x size=%llu text=\"", m.processId, m.message,
                  static_cast<unsigned long long>(m.sectionSize));
    std::string line = head;
    for (unsigned char c : m.section) {
        if (c == 0) break;
        switch (c) {
            case '\r':
                line += "\\r";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\t':
                line += "\\t";
                break;
            case '\\':
                line += "\\\\";
                break;
            case '"':
                line += "\\\"";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    line += static_cast<char>(c);
                } else {
                    line += "\\x";
                    line += hex[c >> 4];
                    line += hex[c & 0xF];
                }
        }
    }
    line += "\"\n";
    return line;
}

bool ParseCount(const char* text, unsigned long& count) {
    char* end = nullptr;
    if (text[0] < '0' || text[0] > '9') return false;
    count = std::strtoul(text, &end, 10);
    return *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    std::string className = "debugWClass";
    std::string title = "Debug Screen";
    unsigned long count = 0;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc || (option != "--class" && option != "--title" && option != "--count")) {
            std::fprintf(stderr, "debug-screen: bad argument '%s'\n%s", argv[i], kUsage);
            return 2;
        }
        const char* value = argv[++i];
        if (option == "--class") {
            className = value;
        } else if (option == "--title") {
            title = value;
        } else if (!ParseCount(value, count)) {
            std::fprintf(stderr, "debug-screen: --count wants a number, not '%s'\n", value);
            return 2;
        }
    }

    // No SA_RESTART: a stop signal must end the wait so the socket file gets removed.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    try {
        platform::DebugWindowListener window(className.c_str(), title.c_str());
        std::fprintf(stderr, "listening on %s\n", window.Path().c_str());
        std::fflush(stderr);
        for (unsigned long received = 0; !g_stop && (count == 0 || received < count);) {
            // The time-out bounds the wait when a signal lands just before it starts.
            auto message = window.Receive(500);
            if (!message) continue;
            std::fputs(Render(*message).c_str(), stdout);
            std::fflush(stdout);
            ++received;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "debug-screen: %s\n", e.what());
        return 1;
    }
    return 0;
}
