#pragma once

// quarvel-cli follow: the node's history into the server, then what the node writes on, as it lands.

#include "cli/Command.h"
#include "cli/Report.h"
#include "cli/ServerOptions.h"

#include <string>

namespace quarvel {

class FollowCommand : public Command {
public:
    explicit FollowCommand(CLI::App& app);  // adds "follow"
    int Run() const override;

private:
    NodeOptions m_told;
    RetryPolicy m_retry;
    bool m_createDatabase = false;
    bool m_quiet = false;
    int m_rescan = 60;
    int m_latency = 5;
    int m_progressInterval = ConsoleProgress::kPlainInterval.count();
    std::string m_metrics;
};

}  // namespace quarvel
