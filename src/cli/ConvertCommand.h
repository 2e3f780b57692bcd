#pragma once

// quarvel-cli convert: the node's history into the server, or with --output into a file.

#include "cli/Command.h"
#include "cli/Report.h"
#include "cli/ServerOptions.h"

#include <string>

namespace quarvel {

class ConvertCommand : public Command {
public:
    explicit ConvertCommand(CLI::App& app);  // adds "convert"
    int Run() const override;

private:
    NodeOptions m_told;
    RetryPolicy m_retry;
    std::string m_output;
    bool m_resume = false;
    bool m_acceptDrop = false;
    bool m_quiet = false;
    bool m_createDatabase = false;
    bool m_verify = false;
    int m_progressInterval = ConsoleProgress::kPlainInterval.count();
};

}  // namespace quarvel
