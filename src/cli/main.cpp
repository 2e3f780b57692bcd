// quarvel-cli: the headless front end. Converts a node's history into InfluxDB from a
// terminal or a script, and writes sample nodes for trials.

#include "cli/CheckCommand.h"
#include "cli/ConvertCommand.h"
#include "cli/FollowCommand.h"
#include "cli/Report.h"
#include "cli/RepostCommand.h"
#include "cli/SampleCommand.h"
#include "cli/TableCommands.h"
#include "cli/VerifyCommand.h"

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
    const FollowCommand follow(app);
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
    for (const Command* command :
         std::initializer_list<const Command*>{&convert, &follow, &sample, &rdb, &check, &repost, &verify})
        if (command->Chosen()) return command->Run();
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
