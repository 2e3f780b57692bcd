// The line formatter and the name handling on any sample and any name bytes: names pass
// through the code page conversion and the escaping, and lines are read back by the
// server's rules, every field against printf's texts of its value.

#include "influx/LineFormat.h"
#include "FuzzSupport.h"
#include "LineProtocol.h"
#include "influx/RyInfluxDB.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

using namespace quarvel;

namespace fuzz {

namespace {

const char* const kCodePages[] = {"", "CP950", "CP1252", "UTF-8", "ISO-8859-1", "SHIFT_JIS", "GB18030", "NO-SUCH-SET"};

bool IsAscii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Why the escaping may refuse a name: a line break, or a backslash the server could take
// for an escape.
bool HasRefusableByte(std::string_view name) {
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\n' || name[i] == '\r') return true;
        if (name[i] == '\\' && (i + 1 == name.size() || std::strchr(",\" =", name[i + 1]) != nullptr)) return true;
    }
    return false;
}

bool ReadsBackAs(const char* text, float value) {
    return std::bit_cast<uint32_t>(std::strtof(text, nullptr)) == std::bit_cast<uint32_t>(value);
}

// A float field: absent when the value is not finite; else the "%f" text when that reads
// back as the same float (the lines databases already hold), otherwise a text that does
// and is no longer than the shortest "%.Ng" that does.
void CheckFloat(const ParsedLine& line, const char* key, float expected) {
    const std::string* text = FieldOf(line, key);
    if (!std::isfinite(expected)) {
        Check(text == nullptr, std::string("a field for a value that is not finite: ") + key);
        return;
    }
    float value = 0;
    if (text == nullptr || !FieldFloat(*text, value) ||
        std::bit_cast<uint32_t>(value) != std::bit_cast<uint32_t>(expected)) {
        Check(false, std::string("field does not read back as the float: ") + key);
        return;
    }
    char fixed[64];
    std::snprintf(fixed, sizeof fixed, "%f", static_cast<double>(expected));
    if (ReadsBackAs(fixed, expected)) {
        Check(*text == fixed, std::string("not the \"%f\" text that reads back: ") + key);
        return;
    }
    char shortest[64];
    for (int precision = 1; precision <= 9; ++precision) {
        std::snprintf(shortest, sizeof shortest, "%.*g", precision, static_cast<double>(expected));
        if (ReadsBackAs(shortest, expected)) break;
    }
    Check(text->size() <= std::strlen(shortest), std::string("a longer text than needed: ") + key);
}

// Reads the line back: measurement, the name tag, every field in order, the time stamp.
void CheckLine(const std::string& text, int kind, std::string_view name, const LogSample& sample, int32_t stamp) {
    ParsedLine line;
    std::string why;
    Check(text.find_first_of("\r\n") == std::string::npos, "a line break inside a line");
    if (!ParseLine(text, line, why)) {
        Check(false, "the server would refuse the line: " + why);
        return;
    }
    Check(line.measurement == kMeasurement[kind], "measurement");
    if (name.empty())
        Check(line.tags.empty(), "a name tag for an empty name");
    else
        Check(line.tags.size() == 1 && line.tags[0].first == "name" && line.tags[0].second == name,
              "the name does not read back as itself");

    const bool noValue = HasNoValue(sample);
    const int quality = noValue ? ValueBits(sample) : 0;
    // Copies, since the packed members may be misaligned for a reference.
    const float value = sample.value, max = sample.max, min = sample.min, mean = sample.mean;
    std::vector<std::pair<const char*, float>> floats;
    if (kind == kRaw)
        floats = {{"value", value}};
    else
        floats = {{"last_value", value}, {"max_value", max}, {"min_value", min}, {"mean_value", mean}};
    std::vector<std::string> keys;
    for (auto& [key, expected] : floats) {
        if (noValue) expected = 0.0f;
        if (std::isfinite(expected)) keys.emplace_back(key);
        CheckFloat(line, key, expected);
    }
    keys.emplace_back("status");
    keys.emplace_back("quality");
    std::vector<std::string> written;
    for (const auto& field : line.fields) written.push_back(field.first);
    Check(written == keys, "fields missing, added or out of order");
    const std::string* status = FieldOf(line, "status");
    const std::string* qualityText = FieldOf(line, "quality");
    Check(status != nullptr && *status == std::to_string(sample.status), "status");
    Check(qualityText != nullptr && *qualityText == std::to_string(quality), "quality");
    Check(line.timestamp == int64_t{stamp} * 1000000000, "time stamp");
}

void CheckName(std::string_view name, int kind, const LogSample& sample, int32_t stamp) {
    std::string escaped;
    if (!EscapeTagValue(name, escaped)) {
        Check(HasRefusableByte(name), "a name refused for no reason");
        return;
    }
    std::string line;
    AppendLine(line, kind, escaped, sample, stamp);
    CheckLine(line, kind, name, sample, stamp);
}

}  // namespace

int LineFormat(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint8_t choice = input.Byte();
    const int kind = choice & 3;
    const std::string codePage = kCodePages[(choice >> 2) & 7];
    LogSample sample{};
    input.Bytes(&sample, sizeof sample);
    int32_t zoneOffset = 0;
    input.Bytes(&zoneOffset, sizeof zoneOffset);
    const std::string_view name = input.Rest();
    const int32_t stamp = LineTimestamp(sample.time, zoneOffset);

    // Names of every byte value as they stand, and as the writer converts them.
    CheckName(name, kind, sample, stamp);
    const std::string narrow(name.substr(0, name.find('\0')));
    const std::string converted = ToUtf8(narrow.c_str(), codePage);
    Check(IsValidUtf8(converted), "code page conversion gave text that is no UTF-8");
    if (IsAscii(narrow))
        Check(converted == narrow, "ASCII changed in conversion");
    else if (codePage == "NO-SUCH-SET")
        Check(converted.empty(), "text from an unknown code page");
    else
        Check(!converted.empty(), "a known code page gave nothing");
    CheckName(converted, kind, sample, stamp);
    return 0;
}

}  // namespace fuzz
