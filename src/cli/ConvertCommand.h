#pragma once

// quarvel-cli convert: the node's history into the server, or with --output into a file.

#include "cli/Report.h"
#include "cli/ServerOptions.h"

#include <string>

namespace CLI {
class App;
}

namespace quarvel {

class ConvertCommand {
public:
    explicit ConvertCommand(CLI::App& app);  // adds "convert"
    bool Chosen() const;
    int Run() const;

private:
    CLI::App* m_command;
    NodeOptions m_told;
    RunChoices m_chosen;
    RetryPolicy m_retry;
    std::string m_output;
    bool m_quiet = false;
    bool m_createDatabase = false;
    bool m_verify = false;
    int m_progressInterval = ConsoleProgress::kPlainInterval.count();
};

}  // namespace quarvel
