#pragma once

// Line-protocol text of one sample. Pure formatting, no I/O: the writer batches and
// posts what these functions append.

#include "influx/LogSample.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quarvel {

// Seconds every stored time is ahead of UTC beside the zone offset.
constexpr uint32_t kFixedOffset = 28800;

// Seconds of a line's time stamp: time - zoneOffset - kFixedOffset, taken modulo 2^32 as a
// signed 32-bit number (a difference past either end of the 32-bit range wraps around).
int32_t LineTimestamp(int32_t time, int32_t zoneOffset);

// Escapes a UTF-8 name as a line-protocol tag value (comma, equals sign and blank take a
// backslash). Returns false when the server could not read the name back exactly: a line
// break, or a backslash that it would take for an escape (at the end, or before a
// comma, quote, blank or equals sign).
bool EscapeTagValue(std::string_view name, std::string& out);

// Appends one line, without a line break. An empty escapedName leaves the name tag out.
// A float field is the "%f" text of its value where that text reads back as the same
// float, otherwise the shortest text that does; a NaN or infinite field is left out,
// since line protocol cannot carry it.
void AppendLine(std::string& out, int kind, std::string_view escapedName, const LogSample& sample, int32_t timestamp);

// Appends the measurement, name and time stamp of the line AppendLine would append, without
// its fields: no line a server takes, but all that counting a node's points needs.
void AppendStamp(std::string& out, int kind, std::string_view escapedName, int32_t timestamp);

}  // namespace quarvel
