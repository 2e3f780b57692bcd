#include "SnprintfFormat.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {

bool SameFloat(const char* text, float value) {
    return std::bit_cast<uint32_t>(std::strtof(text, nullptr)) == std::bit_cast<uint32_t>(value);
}

bool FloatText(float value, std::string& out) {
    if (!std::isfinite(value)) return false;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
    for (int precision = 1; !SameFloat(buffer, value) && precision <= 9; ++precision)
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
    out = buffer;
    return true;
}

void Field(std::string& line, char& separator, const char* key, float value) {
    std::string text;
    if (!FloatText(value, text)) return;
    line += separator;
    line += key;
    line += text;
    separator = ',';
}

std::string Tail(char separator, const LogSample& sample, int quality, int32_t timestamp) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%cstatus=%d,quality=%d %ld000000000", separator,
                  static_cast<int>(sample.status), quality, static_cast<long>(timestamp));
    return buffer;
}

std::string Head(const char* measurement, std::string_view escapedName) {
    std::string line = measurement;
    if (!escapedName.empty()) line += ",name=" + std::string(escapedName);
    return line;
}

}  // namespace

void AppendSnprintfRawLine(std::string& out, const char* name, const LogSample& sample, int32_t timestamp) {
    char line[1024];
    const bool noValue = HasNoValue(sample);
    std::snprintf(line, sizeof line, "datalogX,name=%s value=%f,status=%d,quality=%d %ld000000000", name,
                  noValue ? 0.0 : static_cast<double>(sample.value), static_cast<int>(sample.status),
                  noValue ? ValueBits(sample) : 0, static_cast<long>(timestamp));
    out += line;
}

void AppendSnprintfSummaryLine(std::string& out, int kind, const char* name, const LogSample& sample,
                               int32_t timestamp) {
    char line[1024];
    const bool noValue = HasNoValue(sample);
    std::snprintf(line, sizeof line,
                  "%s,name=%s last_value=%f,max_value=%f,min_value=%f,mean_value=%f,status=%d,quality=%d "
                  "%ld000000000",
                  kMeasurement[kind], name, noValue ? 0.0 : static_cast<double>(sample.value),
                  noValue ? 0.0 : static_cast<double>(sample.max), noValue ? 0.0 : static_cast<double>(sample.min),
                  noValue ? 0.0 : static_cast<double>(sample.mean), static_cast<int>(sample.status),
                  noValue ? ValueBits(sample) : 0, static_cast<long>(timestamp));
    out += line;
}

std::string SnprintfRawLine(std::string_view escapedName, const LogSample& sample, int32_t timestamp) {
    std::string line = Head("datalogX", escapedName);
    char separator = ' ';
    const bool noValue = HasNoValue(sample);
    Field(line, separator, "value=", noValue ? 0.0f : sample.value);
    return line + Tail(separator, sample, noValue ? ValueBits(sample) : 0, timestamp);
}

std::string SnprintfSummaryLine(int kind, std::string_view escapedName, const LogSample& sample, int32_t timestamp) {
    std::string line = Head(kMeasurement[kind], escapedName);
    char separator = ' ';
    const bool noValue = HasNoValue(sample);
    Field(line, separator, "last_value=", noValue ? 0.0f : sample.value);
    Field(line, separator, "max_value=", noValue ? 0.0f : sample.max);
    Field(line, separator, "min_value=", noValue ? 0.0f : sample.min);
    Field(line, separator, "mean_value=", noValue ? 0.0f : sample.mean);
    return line + Tail(separator, sample, noValue ? ValueBits(sample) : 0, timestamp);
}

}  // namespace testsupport
