#pragma once

// quarvel-cli repost: posts the batches of unsent-line files again, with the writer's
// retries, and takes each batch the server stored whole out of its file.

#include "cli/Command.h"
#include "influx/RyInfluxDB.h"
#include "session/ServerSettings.h"

#include <optional>
#include <string>
#include <vector>

namespace quarvel {

// The hidden option --retry-delay-ms: the wait before a batch's second try, doubled for each
// try after it. Tests shorten it; operators have no need to.
void AddRetryOption(CLI::App& command, RetryPolicy& policy);

// --gzip and --no-gzip; unset when neither is given (see GzipByDefault).
void AddGzipOption(CLI::App& command, std::optional<bool>& gzip);

class RepostCommand : public Command {
public:
    explicit RepostCommand(CLI::App& app);  // adds "repost"
    int Run() const override;

private:
    std::vector<std::string> m_files;
    ServerOptions m_server;
    bool m_quiet = false;
    RetryPolicy m_retry;
};

}  // namespace quarvel
