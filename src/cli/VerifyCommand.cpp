#include "cli/VerifyCommand.h"

#include "cli/Report.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace quarvel {

namespace {

constexpr size_t kMostMissingShown = 20;
constexpr size_t kStretchesShown = 5;  // per tag; --report and --json have them all

constexpr const char* kVerifyExitCodes =
    "Exit status:\n"
    "  0  every point the node holds is in the server\n"
    "  1  points are missing (the summary says which tags, and why where it can)\n"
    "  2  usage error, a missing database, or a login the server refuses\n"
    "  3  the server could not be reached";

std::string Shown(const std::string& name) {
    return name.empty() ? std::string("(no name)") : name;
}

std::string StretchText(const Stretch& stretch) {
    return UtcText(stretch.first) + " \u2013 " + UtcText(stretch.last);
}

// "FLOW_01: 3,519 missing in 1 stretch, 2023-11-12T14:13:30Z – 2023-11-12T23:59:59Z"; of
// several, the first few with their points.
std::string StretchesText(const std::string& name, const TagCheck& tag) {
    uint64_t points = 0;
    for (const Stretch& stretch : tag.stretches) points += stretch.points;
    std::string text = Shown(name) + ": " + Thousands(points) + " missing in " + Thousands(tag.stretches.size()) +
                       (tag.stretches.size() == 1 ? " stretch, " + StretchText(tag.stretches[0]) : " stretches");
    for (size_t i = 0; tag.stretches.size() > 1 && i < std::min(tag.stretches.size(), kStretchesShown); ++i)
        text +=
            (i == 0 ? ": " : "; ") + StretchText(tag.stretches[i]) + " (" + Thousands(tag.stretches[i].points) + ")";
    if (tag.stretches.size() > kStretchesShown) text += "; ...";
    return text;
}

}  // namespace

void PrintVerification(const Verification& result) {
    std::printf("Database: %s\n", result.database.c_str());
    for (int k = 0; k < kTableKindCount; ++k) {
        const KindCheck& kind = result.kinds[k];
        std::printf("%s (%s, %s): %d tags complete, %d short, %d missing, %d only in the server\n", kKindName[k],
                    kMeasurement[k], kRetentionPolicy[k], kind.complete, kind.shortTags, kind.missingTags,
                    kind.extraTags);
        std::printf("  points expected %s, stored %s, missing %s\n", Thousands(kind.expected).c_str(),
                    Thousands(kind.stored).c_str(), Thousands(kind.missing).c_str());
        if (kind.beyondRetention > 0)
            std::printf("    of them beyond the retention policy: %s\n", Thousands(kind.beyondRetention).c_str());
        if (kind.waiting > 0)
            std::printf("    of them waiting in %s (quarvel-cli repost): %s\n", kUnsentFolder,
                        Thousands(kind.waiting).c_str());
        std::vector<std::pair<std::string, const TagCheck*>> missing;
        for (const auto& [name, tag] : kind.tags)
            if (tag.inNode && tag.Missing() > 0) missing.emplace_back(name, &tag);
        std::sort(missing.begin(), missing.end(), [](const auto& a, const auto& b) {
            return a.second->Missing() != b.second->Missing() ? a.second->Missing() > b.second->Missing()
                                                              : a.first < b.first;
        });
        if (missing.size() > kMostMissingShown) missing.resize(kMostMissingShown);
        for (const auto& [name, tag] : missing) {
            std::string stored = "none in the server";
            if (tag->inServer) stored = "server " + UtcText(tag->storedFirst) + " to " + UtcText(tag->storedLast);
            std::printf("    %s: %s of %s missing; node %s to %s, %s\n", Shown(name).c_str(),
                        Thousands(tag->Missing()).c_str(), Thousands(tag->expected).c_str(),
                        UtcText(tag->first).c_str(), UtcText(tag->last).c_str(), stored.c_str());
            if (!tag->stretches.empty()) std::printf("      %s\n", StretchesText(name, *tag).c_str());
        }
    }
    if (result.summariesBefore1970 > 0 || result.namesNotCarried > 0)
        std::printf(
            "Never posted by a conversion: %s summaries before 1970, %s lines whose tag name line protocol "
            "cannot carry\n",
            Thousands(result.summariesBefore1970).c_str(), Thousands(result.namesNotCarried).c_str());
    const uint64_t missing = result.Missing();
    if (missing == 0)
        std::printf("Result:   complete\n");
    else
        std::printf("Result:   %s points missing\n", Thousands(missing).c_str());
}

bool WriteVerificationReport(const Verification& result, const std::string& path, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "kind,measurement,retention_policy,tag,expected,stored,missing,beyond_retention,waiting_unsent,"
           "node_first,node_last,server_first,server_last,stretch_first,stretch_last,stretch_points\n";
    for (int k = 0; k < kTableKindCount; ++k) {
        for (const auto& [name, tag] : result.kinds[k].tags) {
            // One row per stretch missing; one without a stretch for a tag with none.
            for (size_t s = 0; s < std::max<size_t>(tag.stretches.size(), 1); ++s) {
                out << kKindName[k] << ',' << kMeasurement[k] << ',' << kRetentionPolicy[k] << ',' << CsvField(name)
                    << ',' << tag.expected << ',' << tag.stored << ',' << tag.Missing() << ',' << tag.BeyondRetention()
                    << ',' << tag.Waiting() << ',' << (tag.inNode ? UtcText(tag.first) : "") << ','
                    << (tag.inNode ? UtcText(tag.last) : "") << ',' << (tag.inServer ? UtcText(tag.storedFirst) : "")
                    << ',' << (tag.inServer ? UtcText(tag.storedLast) : "") << ',';
                if (s < tag.stretches.size())
                    out << UtcText(tag.stretches[s].first) << ',' << UtcText(tag.stretches[s].last) << ','
                        << tag.stretches[s].points;
                else
                    out << ",,";
                out << '\n';
            }
        }
    }
    out.flush();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string VerificationJson(const Verification& result) {
    nlohmann::json summary;
    summary["database"] = result.database;
    summary["complete"] = result.Missing() == 0;
    summary["points_missing"] = result.Missing();
    for (int k = 0; k < kTableKindCount; ++k) {
        const KindCheck& kind = result.kinds[k];
        summary["kinds"][kKindName[k]] = {
            {"measurement", kMeasurement[k]},   {"retention_policy", kRetentionPolicy[k]},
            {"tags_complete", kind.complete},   {"tags_short", kind.shortTags},
            {"tags_missing", kind.missingTags}, {"tags_only_in_server", kind.extraTags},
            {"points_expected", kind.expected}, {"points_stored", kind.stored},
            {"points_missing", kind.missing},   {"beyond_retention", kind.beyondRetention},
            {"waiting_unsent", kind.waiting}};
    }
    nlohmann::json stretches = nlohmann::json::array();
    for (int k = 0; k < kTableKindCount; ++k)
        for (const auto& [name, tag] : result.kinds[k].tags)
            for (const Stretch& stretch : tag.stretches)
                stretches.push_back({{"kind", kKindName[k]},
                                     {"tag", name},
                                     {"first", UtcText(stretch.first)},
                                     {"last", UtcText(stretch.last)},
                                     {"points", stretch.points}});
    summary["stretches_missing"] = std::move(stretches);
    summary["never_posted"] = {{"summaries_before_1970", result.summariesBefore1970},
                               {"names_not_carried", result.namesNotCarried}};
    return summary.dump(2);
}

VerifyCommand::VerifyCommand(CLI::App& app) {
    m_command = app.add_subcommand(
        "verify",
        "Compare the node with what the server holds: the node is read as a conversion reads it, without posting, "
        "and per kind and tag the points expected (distinct time stamps) and their first and last time are held "
        "against the server's counts. Prints the tags complete, short, missing and only in the server, and the "
        "tags with the most missing points with the stretches of time they lack; missing points older than the "
        "retention policy keeps, or waiting in "
        "Logs/unsent, are named as such.");
    AddNodeOptions(*m_command, m_told,
                   {.kind = "datalog (the *.DAT files) or rtdb (the *.rdb tables)",
                    .node = "Node folder: the database Ry_<name>, the data-log folder of its sysinfo.ini",
                    .folder = "Data-log folder (with --kind rtdb: the folder of the tables)",
                    .database = "Database name; overrides Ry_<node>, required with --folder alone",
                    .codePage = "Code page of the tag names (e.g. CP950); default: the locale's"});
    m_command->add_option("--report", m_report,
                          "Write one CSV row per kind and tag (per stretch missing) with every figure to FILE");
    m_command->add_flag("--json", m_json, "Print the summary as JSON instead of text");
    m_command->footer(kVerifyExitCodes);
}

int VerifyCommand::Run() const {
    SessionOptions options;
    ServerSettings server;
    if (const int status = NodeSession(m_told, options, server); status != kAllWritten) return status;
    WarnIfInsecure(server);

    Verification result;
    std::string error;
    const int status = Verify(options, result, error);
    if (status == kServerUnreachable || (status == kUsageError && !error.empty())) {
        std::fprintf(stderr, "quarvel-cli: %s\n", error.c_str());
        return status;
    }
    if (m_json)
        std::printf("%s\n", VerificationJson(result).c_str());
    else
        PrintVerification(result);
    if (!m_report.empty() && !WriteVerificationReport(result, m_report, error)) return Usage(error);
    return status;
}

}  // namespace quarvel
