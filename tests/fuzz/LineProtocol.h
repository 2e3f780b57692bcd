#pragma once

// An independent reader of line protocol, by the rules the InfluxDB 1.x server applies
// (checked against influxd): a byte right after a backslash never ends an element, and
// only "\,", "\ " and "\=" are unescaped in names; every other backslash stays.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

struct ParsedLine {
    std::string measurement;
    std::vector<std::pair<std::string, std::string>> tags;    // unescaped
    std::vector<std::pair<std::string, std::string>> fields;  // key unescaped, value as written
    std::optional<int64_t> timestamp;                         // nanoseconds, when the line has one
};

// Reads one line (without its line break). False with `why` for a line the server refuses.
bool ParseLine(std::string_view line, ParsedLine& parsed, std::string& why);

// The float a field value stands for: plain decimal text that reads back whole. False
// for anything else (string, boolean, integer with "i", nan, inf).
bool FieldFloat(std::string_view text, float& value);

// The value of the field `key`, or null.
const std::string* FieldOf(const ParsedLine& line, std::string_view key);

bool IsValidUtf8(std::string_view text);

}  // namespace fuzz
