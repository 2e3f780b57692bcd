#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace testsupport {

Child Spawn(const std::string& program, const std::vector<std::string>& arguments) {
    int out[2];
    int err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> copies = arguments;
    std::string path = program;
    std::vector<char*> argv{path.data()};
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    EXPECT_EQ(posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0) << program;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done, int timeoutMs) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(text)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

int Finish(Child& child) {
    close(child.out);
    close(child.err);
    int status = 0;
    EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult Run(const std::string& program, const std::vector<std::string>& arguments) {
    Child child = Spawn(program, arguments);
    RunResult result;
    pollfd streams[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && poll(streams, 2, 120000) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (streams[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(streams[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                streams[i].fd = -1;  // poll skips it from now on
                --open;
            }
        }
    }
    result.status = Finish(child);
    return result;
}

long long SummaryNumber(const std::string& text, const std::string& label) {
    const std::string start = "\n" + label + ":";
    size_t at = text.starts_with(start.substr(1)) ? 0 : text.find(start);
    if (at == std::string::npos) return -1;
    at = text.find(':', at) + 1;
    while (at < text.size() && text[at] == ' ') ++at;
    std::string digits;
    for (; at < text.size() && ((text[at] >= '0' && text[at] <= '9') || text[at] == ','); ++at)
        if (text[at] != ',') digits += text[at];
    return digits.empty() ? -1 : std::stoll(digits);
}

}  // namespace testsupport
