#pragma once

// quarvel-cli's table commands: "rdb create" and "rdb dump" build and inspect table files
// through CSV, and ConvertTables is the table side of "convert --kind rtdb".

#include "datalog/DataLogConverter.h"
#include "cli/Report.h"
#include "influx/RyInfluxDB.h"

#include <string>

namespace CLI {
class App;
}

namespace quarvel {

class RdbCommands {
public:
    explicit RdbCommands(CLI::App& app);  // adds "rdb" with its subcommands "create" and "dump"
    bool Chosen() const;
    int Run() const;

private:
    int Create() const;
    int Dump() const;

    CLI::App* m_rdb;
    CLI::App* m_create;
    std::string m_kind;
    std::string m_from;
    std::string m_out;
    std::string m_file;
};

class Journal;

// Exports the tables of `folder` into `database`, the progress lines on the console.
ConversionTotals ConvertTables(const std::string& folder, const std::string& database, const InfluxTarget& target,
                               ConsoleProgress& console, Journal* journal = nullptr);

}  // namespace quarvel
