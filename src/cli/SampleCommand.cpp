#include "cli/SampleCommand.h"

#include "cli/Report.h"
#include "cli/StopSignal.h"
#include "logging/Logging.h"

#include <atomic>
#include <cstdio>

namespace quarvel {

SampleCommand::SampleCommand(CLI::App& app) {
    m_command = app.add_subcommand(
        "make-sample",
        "Write a sample node folder (give it a name with an underscore): sysinfo.ini and a Log folder with "
        "raw, minute, hour and day data-log files of smooth signals with noise, and the node's table files "
        "(Tags.rdb, HistX.rdb, HistM.rdb, HistH.rdb, HistD.rdb) beside them.");
    m_command->add_option("DIR", m_folder, "Node folder to write")->required();
    m_command->add_option("--tags", m_options.tags, "Number of tags")
        ->check(CLI::Range(1, 9999))
        ->capture_default_str();
    m_command->add_option("--days", m_options.days, "Days of history")
        ->check(CLI::Range(1, 3650))
        ->capture_default_str();
    m_command->add_option("--raw-step", m_options.rawStepSeconds, "Seconds between raw samples of the data-log files")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    m_command->add_option("--table-hours", m_options.rawTableHours, "Hours of each tag's history in the raw table")
        ->check(CLI::Range(1, 240))
        ->capture_default_str();
    m_command
        ->add_option("--kinds", m_options.kinds, "Kinds of data-log files of each tag: X raw, M minute, H hour, D day")
        ->capture_default_str();
    m_command
        ->add_option("--live", m_live,
                     "Then keep the node writing for SECONDS, as a live node does (a node already in DIR is "
                     "written on): raw records every --raw-step seconds and minute, hour and day records as "
                     "their periods end, stamped by the wall clock; half-way a new tag's files in a new "
                     "sub-folder; the tables rewritten with the newer rows now and then. SIGTERM ends it early")
        ->check(CLI::Range(1, 31 * 86400));
    m_command->footer(kFileExitCodes);
}

int SampleCommand::Run() const {
    std::string error;
    if (m_live > 0) {
        std::atomic<bool> stop{false};
        const StopSignal stopSignal([&stop] { stop = true; });
        LiveSampleResult live;
        if (!RunLiveSampleNode(m_folder, m_options, m_live, stop, live, error)) return Usage(error);
        std::printf("Live node %s: %s records appended to %d files, new tag %s, tables rolled %d times\n",
                    m_folder.c_str(), Thousands(live.records).c_str(), live.files,
                    live.newTag.empty() ? "none" : live.newTag.c_str(), live.tableRolls);
        return kAllWritten;
    }
    SampleNodeResult result;
    if (!MakeSampleNode(m_folder, m_options, result, error)) return Usage(error);
    const uint64_t summaryRows = result.tableRows[kMinute] + result.tableRows[kHour] + result.tableRows[kDay];
    std::printf(
        "Sample node %s: %d files, %s raw and %s summary records (%s without value), data-log folder %s; "
        "%d table files: %s tags, %s raw rows (%s samples), %s summary rows\n",
        m_folder.c_str(), result.files, Thousands(result.rawRecords).c_str(), Thousands(result.summaryRecords).c_str(),
        Thousands(result.noValueRecords).c_str(), result.dataLogFolder.c_str(), result.tableFiles,
        Thousands(result.tagRows).c_str(), Thousands(result.tableRows[kRaw]).c_str(),
        Thousands(result.tableSamples[kRaw]).c_str(), Thousands(summaryRows).c_str());
    return kAllWritten;
}

}  // namespace quarvel
