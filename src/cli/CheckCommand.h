#pragma once

// The server checks: "check" runs them alone and prints what it found; convert runs them
// before it writes, creating a missing database only when told to (--create-database).

#include <string>

namespace CLI {
class App;
}

namespace quarvel {

// What the checks are about: the server, the database, and the folder whose oldest
// samples the retention policies must keep (empty: none).
struct CheckTarget {
    std::string url;
    std::string database;  // as the writer sends it, UTF-8
    std::string folder;
    bool tables = false;  // the folder's tables instead of its data-log files
};

// Runs the checks before a conversion, printing on the standard error stream and into
// the log. kAllWritten to go on; otherwise the exit status, and nothing is to be written.
int CheckBeforeConvert(const CheckTarget& target, bool createDatabase);

class CheckCommand {
public:
    explicit CheckCommand(CLI::App& app);  // adds "check"
    bool Chosen() const;
    int Run() const;

private:
    CLI::App* m_check;
    std::string m_kind = "datalog";
    std::string m_node;
    std::string m_folder;
    std::string m_database;
    std::string m_url = "http://127.0.0.1:8086";
    std::string m_codePage;
};

}  // namespace quarvel
