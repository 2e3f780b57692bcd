#pragma once

// quarvel-cli's table commands: "rdb create" and "rdb dump" build and inspect table files
// through CSV.

#include "cli/Command.h"

#include <string>

namespace quarvel {

class RdbCommands : public Command {
public:
    explicit RdbCommands(CLI::App& app);  // adds "rdb" with its subcommands "create" and "dump"
    int Run() const override;

private:
    int Create() const;
    int Dump() const;

    CLI::App* m_create;
    std::string m_kind;
    std::string m_from;
    std::string m_out;
    std::string m_file;
};

}  // namespace quarvel
