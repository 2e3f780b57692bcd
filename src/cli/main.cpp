// quarvel-cli: the headless front end. Converts a node's history into InfluxDB from a
// terminal or a script, and writes sample nodes for trials.

#include "cli/CheckCommand.h"
#include "cli/ConvertCommand.h"
#include "cli/Report.h"
#include "cli/RepostCommand.h"
#include "cli/SampleCommand.h"
#include "cli/TableCommands.h"
#include "cli/VerifyCommand.h"

#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>

using namespace quarvel;

namespace {

int Main(int argc, char** argv) {
    CLI::App app{"Moves the stored history of a SCADA node into an InfluxDB 1.x database.", "quarvel-cli"};
    app.set_version_flag("--version", QUARVEL_VERSION);
    app.require_subcommand(1);
    app.footer("Each command's --help tells its exit status.");

    const ConvertCommand convert(app);
    const SampleCommand sample(app);
    const RdbCommands rdb(app);
    const CheckCommand check(app);
    const RepostCommand repost(app);
    const VerifyCommand verify(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageError;
    }
    if (convert.Chosen()) return convert.Run();
    if (rdb.Chosen()) return rdb.Run();
    if (check.Chosen()) return check.Run();
    if (repost.Chosen()) return repost.Run();
    if (verify.Chosen()) return verify.Run();
    if (sample.Chosen()) return sample.Run();
    return kUsageError;  // parse() demands one command
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // names are in the locale's code page unless told otherwise
    try {
        return Main(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quarvel-cli: stopped by an error: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "quarvel-cli: stopped by an error\n");
    }
    return kUsageError;
}
