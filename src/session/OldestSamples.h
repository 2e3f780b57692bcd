#pragma once

// The age of what a conversion is about to write, for the retention checks: the line
// time stamp of the first sample of each data-log file or table, oldest per kind, as the
// conversion would send it. Samples are stored in time order, so one read per file finds
// its oldest sample without reading the file whole.

#include "influx/Preflight.h"

#include <string>

namespace quarvel {

// The data-log files that a walk of the folder meets (the same listing rules).
OldestLineTimes OldestDataLogSamples(const std::string& folderPath);

// The table files that a table export of the folder meets.
OldestLineTimes OldestTableSamples(const std::string& folderPath);

}  // namespace quarvel
