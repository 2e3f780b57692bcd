#pragma once

// Small sample nodes for tests that need a whole node on disk.

#include "InfluxServer.h"
#include "influx/LogSample.h"
#include "sample/SampleNode.h"

#include <stdexcept>
#include <string>

using namespace quarvel;

namespace testsupport {

inline SampleNodeResult MakeSmallSampleNode(const std::string& nodeFolder, int tags = 2, int days = 1,
                                            int64_t endTime = SampleNodeOptions{}.endTime) {
    SampleNodeOptions options;
    options.tags = tags;
    options.days = days;
    options.endTime = endTime;
    SampleNodeResult made;
    std::string error;
    if (!MakeSampleNode(nodeFolder, options, made, error)) throw std::runtime_error(error);
    return made;
}

// Points of all four kinds in the database, each in its own retention policy: what a
// conversion of a whole node wrote, to hold against its records.
inline long CountAllPoints(const std::string& database) {
    long total = 0;
    for (int kind = 0; kind < kTableKindCount; ++kind)
        total += CountPoints(database, kRetentionPolicy[kind], kMeasurement[kind]);
    return total;
}

// The points of each kind by name ("RP_Sec: FLOW_01=8640 ..."), for a count that falls short:
// a whole series missing shows apart from lines lost here and there.
inline std::string PointsByName(const std::string& database) {
    std::string text;
    for (int kind = 0; kind < kTableKindCount; ++kind) {
        const auto answer = Query(std::string("SELECT COUNT(status) FROM \"") + kRetentionPolicy[kind] + "\".\"" +
                                      kMeasurement[kind] + "\" GROUP BY \"name\"",
                                  database);
        text += std::string("\n") + kRetentionPolicy[kind] + ":";
        for (const auto& series : answer["results"][0].value("series", nlohmann::json::array()))
            text += " " + series["tags"]["name"].get<std::string>() + "=" +
                    std::to_string(series["values"][0][1].get<long>());
    }
    return text;
}

}  // namespace testsupport
