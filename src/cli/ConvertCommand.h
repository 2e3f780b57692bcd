#pragma once

// quarvel-cli convert: the node's history into the server, or with --output into a file.

#include "cli/Command.h"
#include "cli/Report.h"
#include "cli/ServerOptions.h"

#include <string>

namespace quarvel {

// The options convert and follow share: the node's, the server's, and how the lines are posted.
void AddConversionOptions(CLI::App& command, NodeOptions& told, bool& createDatabase);

// kAllWritten when the session's folder exists; otherwise the usage error, told.
int CheckFolder(const Session& session, const NodeOptions& told);

// Starts the log and runs the session's server checks, answering from the options, then opens
// its journal. kAllWritten to go on; otherwise the exit status, the log closed again.
int StartSession(Session& session, const ServerSettings& server, bool dryRun, bool createDatabase);

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
    bool m_repair = false;
    int m_progressInterval = ConsoleProgress::kPlainInterval.count();
};

}  // namespace quarvel
