#pragma once

// A command of quarvel-cli: made, it adds its subcommand; once parsed, the one chosen runs.

#include <CLI/CLI.hpp>

namespace quarvel {

class Command {
public:
    virtual ~Command() = default;
    bool Chosen() const { return m_command->parsed(); }
    virtual int Run() const = 0;  // the exit status

protected:
    CLI::App* m_command = nullptr;
};

}  // namespace quarvel
