#pragma once

// The server checks: "check" runs them alone and prints what it found; convert runs them
// before it writes, creating a missing database only when told to (--create-database).

#include "cli/Command.h"
#include "cli/ServerOptions.h"
#include "session/Session.h"

#include <string>
#include <vector>

namespace quarvel {

// Convert's answers to the checks' questions: from its --create-database flag, printed on
// the standard error stream and into the log.
class ConsoleQuestions : public CheckQuestions {
public:
    ConsoleQuestions(const Session& session, bool createDatabase)
        : m_session(session), m_createDatabase(createDatabase) {}

    void ServerUnusable(const ServerCheck& found) override;
    bool CreateMissing(const ServerCheck& found) override;
    void CreationFailed(const std::vector<std::string>& missing, const std::string& error) override;
    void Created(const std::string& text) override;
    bool ConvertDespite(const std::vector<std::string>& warnings) override;
    bool DropAnyway(const std::string& text) override;

private:
    const Session& m_session;
    const bool m_createDatabase;
};

class CheckCommand : public Command {
public:
    explicit CheckCommand(CLI::App& app);  // adds "check"
    int Run() const override;

private:
    NodeOptions m_told;
};

}  // namespace quarvel
