#include "cli/VerifyCommand.h"

#include "cli/Report.h"
#include "influx/Unsent.h"
#include "logging/Logging.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
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
    "  1  points are missing or, with --values, stored with other values (the summary says which tags, and why\n"
    "     where it can); with --repair, some are still\n"
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

// A field's value as the server shows it: the shortest text that reads back; "none" without one.
std::string ValueText(const std::optional<double>& value) {
    if (!value) return "none";
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, *value).ptr);
}

// "2023-11-12T14:13:30Z value 12.5 (server 99)".
std::string ExampleText(const ValueExample& example) {
    return UtcText(example.time) + " " + kFieldName[example.field] + " " + ValueText(example.node) + " (server " +
           ValueText(example.server) + ")";
}

// "FLOW_01: 2 points with other values: ..." with the first few of them.
std::string DifferingText(const std::string& name, const TagCheck& tag) {
    const uint64_t points = tag.Differing();
    std::string text =
        Shown(name) + ": " + Thousands(points) + (points == 1 ? " point" : " points") + " with other values: ";
    for (size_t i = 0; i < tag.examples.size(); ++i) text += (i == 0 ? "" : "; ") + ExampleText(tag.examples[i]);
    if (points > tag.examples.size()) text += "; ...";
    return text;
}

std::string ResultText(const Verification& result) {
    const uint64_t missing = result.Missing();
    const uint64_t differing = result.Differing();
    if (missing == 0 && differing == 0) return "complete";
    std::string text = missing > 0 ? Thousands(missing) + " points missing" : "";
    if (differing > 0)
        text += (missing > 0 ? ", " : "") + Thousands(differing) + (differing == 1 ? " point" : " points") +
                " with other values";
    return text;
}

// "repaired (N points posted again)", or what is still short and why.
std::string RepairText(const TagRepair& repair, const TagCheck& after) {
    const std::string posted = Thousands(repair.posted) + (repair.posted == 1 ? " point" : " points") + " posted again";
    if (after.Missing() == 0 && after.Differing() == 0) return "repaired (" + posted + ")";
    std::string text = "still short (" + posted + "): ";
    if (after.BeyondRetention() > 0)
        text += Thousands(after.BeyondRetention()) + " older than the retention policy keeps";
    if (!repair.refused.empty())
        text += (after.BeyondRetention() > 0 ? "; " : "") + std::string("refused by the server: ") + repair.refused;
    if (after.BeyondRetention() == 0 && repair.refused.empty())
        text += Thousands(after.Missing()) + " missing, " + Thousands(after.Differing()) + " with other values";
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
        std::printf("  points expected %s, stored %s, missing %s%s\n", Thousands(kind.expected).c_str(),
                    Thousands(kind.stored).c_str(), Thousands(kind.missing).c_str(),
                    result.values ? (", with other values " + Thousands(kind.differing)).c_str() : "");
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
        size_t shown = 0;
        for (const auto& [name, tag] : kind.tags)
            if (tag.Differing() > 0 && shown++ < kMostMissingShown)
                std::printf("    %s\n", DifferingText(name, tag).c_str());
    }
    if (result.summariesBefore1970 > 0 || result.namesNotCarried > 0)
        std::printf(
            "Never posted by a conversion: %s summaries before 1970, %s lines whose tag name line protocol "
            "cannot carry\n",
            Thousands(result.summariesBefore1970).c_str(), Thousands(result.namesNotCarried).c_str());
    std::printf("Result:   %s\n", ResultText(result).c_str());
}

void PrintRepair(const Repairing& repairing, const Verification& result) {
    if (repairing.unsent.linesDelivered > 0 || repairing.unsent.linesLeft > 0)
        std::printf("Repair: %s lines of %s posted again, %s left\n",
                    Thousands(repairing.unsent.linesDelivered).c_str(), kUnsentFolder,
                    Thousands(repairing.unsent.linesLeft).c_str());
    if (repairing.unsent.linesPastRetention > 0)
        std::printf("Repair: %s lines older than the retention policy keeps were dropped by the server\n",
                    Thousands(repairing.unsent.linesPastRetention).c_str());
    if (repairing.filesRead > 0)
        std::printf("Repair: read again %s %s, %s %s\n", Thousands(static_cast<uint64_t>(repairing.filesRead)).c_str(),
                    repairing.filesRead == 1 ? "file" : "files", Thousands(repairing.recordsRead).c_str(),
                    repairing.recordsRead == 1 ? "record" : "records");
    for (const auto& [key, repair] : repairing.tags) {
        const auto after = result.kinds[key.first].tags.find(key.second);
        if (after != result.kinds[key.first].tags.end())
            std::printf("Repair: %s %s: %s\n", kKindName[key.first], Shown(key.second).c_str(),
                        RepairText(repair, after->second).c_str());
    }
}

bool WriteVerificationReport(const Verification& result, const std::string& path, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "kind,measurement,retention_policy,tag,expected,stored,missing,beyond_retention,waiting_unsent,differing,"
           "node_first,node_last,server_first,server_last,differing_time,field,node_value,server_value,"
           "stretch_first,stretch_last,stretch_points\n";
    for (int k = 0; k < kTableKindCount; ++k) {
        for (const auto& [name, tag] : result.kinds[k].tags) {
            // One row per stretch missing or example of other values; one without either for a tag with none.
            for (size_t s = 0; s < std::max({tag.stretches.size(), tag.examples.size(), size_t{1}}); ++s) {
                out << kKindName[k] << ',' << kMeasurement[k] << ',' << kRetentionPolicy[k] << ',' << CsvField(name)
                    << ',' << tag.expected << ',' << tag.stored << ',' << tag.Missing() << ',' << tag.BeyondRetention()
                    << ',' << tag.Waiting() << ',' << tag.Differing() << ',' << (tag.inNode ? UtcText(tag.first) : "")
                    << ',' << (tag.inNode ? UtcText(tag.last) : "") << ','
                    << (tag.inServer ? UtcText(tag.storedFirst) : "") << ','
                    << (tag.inServer ? UtcText(tag.storedLast) : "") << ',';
                if (s < tag.examples.size())
                    out << UtcText(tag.examples[s].time) << ',' << kFieldName[tag.examples[s].field] << ','
                        << ValueText(tag.examples[s].node) << ',' << ValueText(tag.examples[s].server) << ',';
                else
                    out << ",,,,";
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

std::string VerificationJson(const Verification& result, const Repairing* repairing) {
    nlohmann::json summary;
    summary["database"] = result.database;
    summary["complete"] = result.Missing() == 0 && result.Differing() == 0;
    summary["points_missing"] = result.Missing();
    summary["points_differing"] = result.Differing();
    for (int k = 0; k < kTableKindCount; ++k) {
        const KindCheck& kind = result.kinds[k];
        summary["kinds"][kKindName[k]] = {
            {"measurement", kMeasurement[k]},   {"retention_policy", kRetentionPolicy[k]},
            {"tags_complete", kind.complete},   {"tags_short", kind.shortTags},
            {"tags_missing", kind.missingTags}, {"tags_only_in_server", kind.extraTags},
            {"points_expected", kind.expected}, {"points_stored", kind.stored},
            {"points_missing", kind.missing},   {"beyond_retention", kind.beyondRetention},
            {"waiting_unsent", kind.waiting},   {"points_differing", kind.differing}};
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
    nlohmann::json differing = nlohmann::json::array();
    const auto value = [](const std::optional<double>& v) { return v ? nlohmann::json(*v) : nlohmann::json(); };
    for (int k = 0; k < kTableKindCount; ++k) {
        for (const auto& [name, tag] : result.kinds[k].tags) {
            if (tag.Differing() == 0) continue;
            nlohmann::json examples = nlohmann::json::array();
            for (const ValueExample& example : tag.examples)
                examples.push_back({{"time", UtcText(example.time)},
                                    {"field", kFieldName[example.field]},
                                    {"node", value(example.node)},
                                    {"server", value(example.server)}});
            differing.push_back(
                {{"kind", kKindName[k]}, {"tag", name}, {"points", tag.Differing()}, {"examples", examples}});
        }
    }
    summary["values_differing"] = std::move(differing);
    if (repairing != nullptr) {
        nlohmann::json tags = nlohmann::json::array();
        for (const auto& [key, repair] : repairing->tags) {
            const auto after = result.kinds[key.first].tags.find(key.second);
            if (after == result.kinds[key.first].tags.end()) continue;
            tags.push_back({{"kind", kKindName[key.first]},
                            {"tag", key.second},
                            {"missing_before", repair.missing},
                            {"differing_before", repair.differing},
                            {"posted", repair.posted},
                            {"repaired", after->second.Missing() == 0 && after->second.Differing() == 0},
                            {"result", RepairText(repair, after->second)}});
        }
        summary["repair"] = {{"unsent_lines_posted", repairing->unsent.linesDelivered},
                             {"unsent_lines_left", repairing->unsent.linesLeft},
                             {"files_read_again", repairing->filesRead},
                             {"records_read_again", repairing->recordsRead},
                             {"tags", std::move(tags)}};
    }
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
    m_command->add_flag("--values", m_values,
                        "Compare the values too, every field, the status and the quality: the count, minimum, "
                        "maximum and sum of each field per tag and day first, then the points of the days whose "
                        "aggregates differ; a point stored with other values is named with up to 5 examples");
    m_command->add_flag("--repair", m_repair,
                        "Post the lines waiting in Logs/unsent, then the points missing (with --values, those "
                        "with other values too) again, reading only the files that hold them, and verify those "
                        "tags again: each is repaired or still short with the reason");
    m_command->footer(kVerifyExitCodes);
}

int VerifyCommand::Run() const {
    SessionOptions options;
    ServerSettings server;
    if (const int status = NodeSession(m_told, options, server); status != kAllWritten) return status;
    WarnIfInsecure(server);

    Verification result;
    Repairing repairing;
    std::string error;
    const int status =
        m_repair ? Repair(options, m_values, result, repairing, error) : Verify(options, result, error, m_values);
    if (status == kServerUnreachable || (status == kUsageError && !error.empty())) {
        std::fprintf(stderr, "quarvel-cli: %s\n", error.c_str());
        return status;
    }
    if (m_json) {
        std::printf("%s\n", VerificationJson(result, m_repair ? &repairing : nullptr).c_str());
    } else {
        if (m_repair) PrintRepair(repairing, result);
        PrintVerification(result);
    }
    if (!m_report.empty() && !WriteVerificationReport(result, m_report, error)) return Usage(error);
    return status;
}

}  // namespace quarvel
