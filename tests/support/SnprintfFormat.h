#pragma once

// Line formatters built on snprintf, to hold the writer's fast formatter against.

#include "influx/LogSample.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace quarvel;

namespace testsupport {

// One snprintf per line into a 1024-byte buffer: every float as "%f", the name as given,
// nothing mended. Lines of names, values and times that need no mending are identical
// to the writer's.
void AppendSnprintfRawLine(std::string& out, const char* name, const LogSample& sample, int32_t timestamp);
void AppendSnprintfSummaryLine(std::string& out, int kind, const char* name, const LogSample& sample,
                               int32_t timestamp);

// The same formats field by field, with the writer's rules for names and values:
// no name tag for an empty name, no field for NaN or infinity, and the shortest
// round-trip text ("%.Ng") where "%f" does not read back as the same float.
std::string SnprintfRawLine(std::string_view escapedName, const LogSample& sample, int32_t timestamp);
std::string SnprintfSummaryLine(int kind, std::string_view escapedName, const LogSample& sample, int32_t timestamp);

}  // namespace testsupport
