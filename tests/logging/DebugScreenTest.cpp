// The Debug Screen channel end to end: DebugScreenPrint against real listeners, raw
// sockets that misbehave, and the debug-screen tool as a child process.

#include "ChildProcess.h"
#include "ScratchDir.h"
#include "logging/Logging.h"
#include "platform/DebugWindow.h"
#include "platform/DebugWindowListener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

using namespace quarvel;

extern char** environ;

namespace {

using platform::DebugWindowListener;
using platform::DebugWindowMessage;

constexpr const char* kClass = "debugWClass";
constexpr const char* kTitle = "Debug Screen";

std::string Pattern(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('A' + i % 26);
    return text;
}

std::string SectionText(const DebugWindowMessage& m) {
    const auto* bytes = reinterpret_cast<const char*>(m.section.data());
    return std::string(bytes, strnlen(bytes, m.section.size()));
}

// Runs `print` (a DebugScreenPrint call) while `window` takes the message on another thread.
template <class Print>
std::optional<DebugWindowMessage> Exchange(DebugWindowListener& window, Print print) {
    auto received = std::async(std::launch::async, [&] { return window.Receive(5000); });
    EXPECT_EQ(print(), 1);
    return received.get();
}

// A bare socket bound where the window would be, for peers that break the rules.
int RawWindowSocket(const char* className = kClass, const char* title = kTitle) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = platform::DebugWindowPath(className, title);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0) << path;
    EXPECT_EQ(listen(fd, 4), 0);
    return fd;
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

class DebugScreenTest : public ScratchDirTest {};

TEST_F(DebugScreenTest, ReturnsZeroWithoutTheRightWindow) {
    struct Case {
        const char* name;
        const char* className;  // of the listener that is open, if any
        const char* title;
    };
    const Case cases[] = {
        {"no window", nullptr, nullptr},
        {"other class", "otherWClass", kTitle},
        {"other title", kClass, "Debug screen"},
        {"swapped", kTitle, kClass},
        {"class and title run together", "debugWClassDebug", " Screen"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<DebugWindowListener> other;
        if (c.className != nullptr) other.emplace(c.className, c.title);
        // The other window keeps serving, so a wrong match fails instead of hanging.
        auto stray = std::async(std::launch::async,
                                [&] { return other ? other->Receive(300) : std::optional<DebugWindowMessage>(); });
        EXPECT_EQ(DebugScreenPrint("%s", "hello"), 0);
        EXPECT_FALSE(stray.get().has_value());
    }

    // A socket file nobody listens on any more is no window either.
    close(RawWindowSocket());
    EXPECT_TRUE(fs::exists(platform::DebugWindowPath(kClass, kTitle)));
    EXPECT_EQ(DebugScreenPrint("%s", "hello"), 0);
}

// A look that found no window spares the next few; a window that opens meanwhile is
// served from the next look on.
TEST_F(DebugScreenTest, AWindowOpenedAfterALookWithoutOneIsServedMomentsLater) {
    EXPECT_EQ(DebugScreenPrint("%s", "nobody"), 0);
    DebugWindowListener window(kClass, kTitle);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(DebugScreenShown());
    auto m = Exchange(window, [] { return DebugScreenPrint("%s", "seen"); });
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(SectionText(*m), "seen");
}

TEST_F(DebugScreenTest, SectionHoldsAtMost1023BytesThenZeros) {
    DebugWindowListener window(kClass, kTitle);
    for (size_t length : {size_t{0}, size_t{1}, size_t{1022}, size_t{1023}, size_t{1024}, size_t{2051}, size_t{2100}}) {
        SCOPED_TRACE(length);
        const std::string text = Pattern(length);
        auto m = Exchange(window, [&] { return DebugScreenPrint("%s", text.c_str()); });
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->message, 0x0400u);
        EXPECT_EQ(m->processId, static_cast<uint32_t>(getpid()));
        EXPECT_EQ(m->sectionSize, 1024u);
        const size_t kept = std::min<size_t>(length, 1023);
        EXPECT_EQ(std::memcmp(m->section.data(), text.data(), kept), 0);
        EXPECT_TRUE(std::all_of(m->section.begin() + static_cast<std::ptrdiff_t>(kept), m->section.end(),
                                [](unsigned char b) { return b == 0; }));
    }
}

TEST_F(DebugScreenTest, FormatsTheArgumentsOnce) {
    DebugWindowListener window(kClass, kTitle);
    auto m = Exchange(window, [] { return DebugScreenPrint("\r\n %s : %s = %d", "TAG%d", "X", -7); });
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(SectionText(*m), "\r\n TAG%d : X = -7");
}

TEST_F(DebugScreenTest, WaitsUntilTheWindowHasHandledTheMessage) {
    DebugWindowListener window(kClass, kTitle);
    std::atomic<bool> handled{false};
    auto received = std::async(std::launch::async, [&] {
        return window.Receive(5000, [&](const DebugWindowMessage&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            handled = true;
        });
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DebugScreenPrint("slow"), 1);
    EXPECT_TRUE(handled.load());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_TRUE(received.get().has_value());
}

// The sender runs in a child process so that a hang or a SIGPIPE shows as its exit
// status instead of taking the test down. DebugScreenPrint still answers 1; the send
// itself reports the loss.
TEST_F(DebugScreenTest, AWindowThatDiesMidSendNeitherHangsNorKillsTheSender) {
    enum class Peer { ClosesBeforeAccept, ClosesUnread, ClosesAfterReading, ClosedBeforeSend };
    enum class Sender { Print, Send };
    const std::pair<Peer, Sender> cases[] = {
        {Peer::ClosesBeforeAccept, Sender::Print}, {Peer::ClosesBeforeAccept, Sender::Send},
        {Peer::ClosesUnread, Sender::Print},       {Peer::ClosesUnread, Sender::Send},
        {Peer::ClosesAfterReading, Sender::Print}, {Peer::ClosesAfterReading, Sender::Send},
        {Peer::ClosedBeforeSend, Sender::Send},
    };
    for (const auto& [peer, sender] : cases) {
        SCOPED_TRACE(testing::Message() << "peer " << static_cast<int>(peer) << " sender " << static_cast<int>(sender));
        int listener = RawWindowSocket();
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(listener);  // else the fork's copy keeps the window alive
            signal(SIGPIPE, SIG_DFL);
            alarm(10);
            if (sender == Sender::Print) _exit(DebugScreenPrint("going %s", "nowhere"));
            int window = platform::FindDebugWindow(kClass, kTitle);
            if (window < 0) _exit(3);
            if (peer == Peer::ClosedBeforeSend) WaitReadable(window, 5000);  // the hang-up
            _exit(platform::SendDebugWindowMessage(window, 0x0400, 1, platform::CreateSection(1024)) ? 2 : 0);
        }
        ASSERT_TRUE(WaitReadable(listener, 5000));
        if (peer == Peer::ClosesBeforeAccept) {
            close(listener);
        } else {
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ASSERT_GE(connection, 0);
            if (peer == Peer::ClosesAfterReading) {
                // Read the request; the section it carried is dropped unseen.
                ASSERT_TRUE(WaitReadable(connection, 5000));
                char record[16];
                EXPECT_EQ(recv(connection, record, sizeof(record), 0),
                          static_cast<ssize_t>(sizeof(platform::wire::Request)));
            }
            close(connection);
            close(listener);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "sender killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), sender == Sender::Print ? 1 : 0);
        unlink(platform::DebugWindowPath(kClass, kTitle).c_str());
    }
}

// A sender killed while its message is being handled must not take the window down
// (no SIGPIPE on the acknowledgement) nor keep it from serving the next sender.
TEST_F(DebugScreenTest, ASenderThatDiesLeavesTheWindowServing) {
    DebugWindowListener window(kClass, kTitle);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(DebugScreenPrint("doomed"));

    struct sigaction previous {};
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fatal, &previous);
    auto m = window.Receive(5000, [child](const DebugWindowMessage&) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    });
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(SectionText(*m), "doomed");
    EXPECT_EQ(m->processId, static_cast<uint32_t>(child));

    auto next = Exchange(window, [] { return DebugScreenPrint("next"); });
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(SectionText(*next), "next");
}

TEST_F(DebugScreenTest, OneConnectionCarriesManyMessagesAndManySendersAreServed) {
    const size_t before = OpenDescriptors();
    {
        DebugWindowListener window(kClass, kTitle);

        // Several messages over one looked-up window.
        int handle = platform::FindDebugWindow(kClass, kTitle);
        ASSERT_GE(handle, 0);
        auto received = std::async(std::launch::async, [&] {
            std::vector<uint32_t> numbers;
            for (int i = 0; i < 3; ++i) {
                if (auto m = window.Receive(5000)) numbers.push_back(m->message);
            }
            return numbers;
        });
        for (uint32_t number : {0x401u, 0x402u, 0x403u}) {
            int section = platform::CreateSection(1024);
            EXPECT_TRUE(platform::SendDebugWindowMessage(handle, number, 9, section));
            close(section);
        }
        EXPECT_EQ(received.get(), (std::vector<uint32_t>{0x401, 0x402, 0x403}));
        platform::CloseDebugWindow(handle);

        // Senders on several threads at once, each message whole.
        constexpr int kThreads = 4;
        constexpr int kEach = 10;
        auto collected = std::async(std::launch::async, [&] {
            std::multiset<std::string> texts;
            for (int i = 0; i < kThreads * kEach; ++i) {
                if (auto m = window.Receive(5000)) texts.insert(SectionText(*m));
            }
            return texts;
        });
        std::vector<std::thread> senders;
        for (int t = 0; t < kThreads; ++t) {
            senders.emplace_back([t] {
                for (int i = 0; i < kEach; ++i) EXPECT_EQ(DebugScreenPrint("thread %d message %d", t, i), 1);
            });
        }
        for (auto& sender : senders) sender.join();
        std::multiset<std::string> expected;
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < kEach; ++i)
                expected.insert("thread " + std::to_string(t) + " message " + std::to_string(i));
        }
        EXPECT_EQ(collected.get(), expected);
    }
    // Sections and connections are all closed again, on both ends.
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(DebugScreenTest, WindowPathsKeepClassAndTitleApart) {
    const std::pair<const char*, const char*> pairs[] = {
        {"a", "b c"}, {"a b", "c"},   {"ab", "c"},   {"a", "bc"},  {"a@b", "c"},
        {"a", "b@c"}, {"a%40b", "c"}, {"../x", "y"}, {"A", "b c"},
    };
    std::set<std::string> paths;
    for (const auto& [className, title] : pairs) {
        std::string path = platform::DebugWindowPath(className, title);
        EXPECT_EQ(fs::path(path).parent_path(), m_runtime) << path;
        paths.insert(path);
    }
    EXPECT_EQ(paths.size(), std::size(pairs));

    // A name too long for a socket address stands for no window and cannot be opened.
    const std::string longTitle(200, 't');
    EXPECT_EQ(platform::DebugWindowPath(kClass, longTitle.c_str()), "");
    EXPECT_EQ(platform::FindDebugWindow(kClass, longTitle.c_str()), -1);
    EXPECT_THROW(DebugWindowListener(kClass, longTitle.c_str()), std::runtime_error);
}

TEST_F(DebugScreenTest, FallsBackToAPrivateFolderWithoutAUsableRuntimeDir) {
    const std::string fallback = "/tmp/quarvel-" + std::to_string(geteuid());
    fs::create_directories("relative/run");
    std::ofstream("plain") << "x";
    const std::optional<std::string> runtimes[] = {std::nullopt, "", "relative/run", "/nonexistent/run",
                                                   (m_dir / "plain").string()};
    for (const auto& runtime : runtimes) {
        SCOPED_TRACE(runtime.value_or("(unset)"));
        if (runtime) {
            ASSERT_EQ(setenv("XDG_RUNTIME_DIR", runtime->c_str(), 1), 0);
        } else {
            ASSERT_EQ(unsetenv("XDG_RUNTIME_DIR"), 0);
        }
        EXPECT_EQ(fs::path(platform::DebugWindowPath(kClass, kTitle)).parent_path(), fallback);
    }
    struct stat st {};
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());

    // A fallback folder that others can reach is refused, and so no window is found there.
    ASSERT_EQ(chmod(fallback.c_str(), 0755), 0);
    EXPECT_EQ(platform::DebugWindowPath(kClass, kTitle), "");
    EXPECT_EQ(DebugScreenPrint("x"), 0);
    ASSERT_EQ(chmod(fallback.c_str(), 0700), 0);
}

TEST_F(DebugScreenTest, OnlyOneWindowOfANameAndStaleSocketsAreReplaced) {
    close(RawWindowSocket());  // left behind by a window that crashed
    DebugWindowListener first(kClass, kTitle);
    EXPECT_THROW(DebugWindowListener(kClass, kTitle), std::runtime_error);
    // The refused second window left the first one's socket in place.
    auto m = Exchange(first, [] { return DebugScreenPrint("still %s", "here"); });
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(SectionText(*m), "still here");
}

// ---- the debug-screen tool -------------------------------------------------------

using testsupport::Child;
using testsupport::Finish;
using testsupport::HasLine;
using testsupport::ReadUntil;

Child Spawn(const std::vector<std::string>& arguments) {
    return testsupport::Spawn(QUARVEL_DEBUG_SCREEN_TOOL, arguments);
}

TEST_F(DebugScreenTest, ToolPrintsEachMessageOnOneEscapedLine) {
    Child tool = Spawn({"--count", "2"});
    const std::string listening = ReadUntil(tool.err, HasLine);
    const std::string path = platform::DebugWindowPath(kClass, kTitle);
    ASSERT_EQ(listening, "listening on " + path + "\n");

    EXPECT_EQ(DebugScreenPrint("\r\n InfuxDb Size = %d", 10000), 1);
    EXPECT_EQ(DebugScreenPrint("%s", "tab\there \"q\" back\\slash \xC3\xA9 %d"), 1);
    const std::string output = ReadUntil(tool.out, [](const std::string&) { return false; });
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(output, "pid=" + pid + " message=0x0400 size=1024 text=\"\\r\\n InfuxDb Size = 10000\"\n" + "pid=" + pid +
                          " message=0x0400 size=1024 text=\"tab\\there \\\"q\\\" back\\\\slash \\xc3\\xa9 %d\"\n");
    EXPECT_EQ(Finish(tool), 0);
    EXPECT_FALSE(fs::exists(path));  // the tool cleans its socket up
}

TEST_F(DebugScreenTest, ToolListensUnderItsOwnNameAndStopsOnSigterm) {
    Child tool = Spawn({"--class", "otherWClass", "--title", "Other Screen"});
    const std::string path = platform::DebugWindowPath("otherWClass", "Other Screen");
    ASSERT_EQ(ReadUntil(tool.err, HasLine), "listening on " + path + "\n");
    EXPECT_EQ(DebugScreenPrint("not for it"), 0);
    kill(tool.pid, SIGTERM);
    EXPECT_EQ(ReadUntil(tool.out, [](const std::string&) { return false; }), "");
    EXPECT_EQ(Finish(tool), 0);
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
