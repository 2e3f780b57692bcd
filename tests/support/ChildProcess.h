#pragma once

// Runs the project's programs as child processes, as an operator or a script would.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct Child {
    pid_t pid = -1;
    int out = -1;  // the child's standard output, to read
    int err = -1;  // its standard error
};

// Starts `program` with the arguments and this process's environment.
Child Spawn(const std::string& program, const std::vector<std::string>& arguments);

// Reads from `fd` until `done` holds for what was read, end of file, or the deadline.
std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done, int timeoutMs = 5000);
inline bool HasLine(const std::string& text) {
    return text.find('\n') != std::string::npos;
}

// Closes the pipes, waits for the child and returns its exit status (128 + signal).
int Finish(Child& child);

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` to its end, gathering both output streams.
RunResult Run(const std::string& program, const std::vector<std::string>& arguments);

#ifdef QUARVEL_CLI  // the quarvel-cli the build made, named by the tests that run it
inline RunResult RunCli(const std::vector<std::string>& arguments) {
    return Run(QUARVEL_CLI, arguments);
}
#endif

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The number that follows a summary label at the start of a line ("Lines delivered:   21,657"),
// without separators; -1 when there is none.
long long SummaryNumber(const std::string& text, const std::string& label);

}  // namespace testsupport
