#pragma once

#include "influx/LogSample.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace quarvel;

namespace testsupport {

inline LogSample MakeSample(int32_t time, uint16_t status, float value, float max = 0, float min = 0, float mean = 0) {
    LogSample s{};
    s.time = time;
    s.status = status;
    s.value = value;
    s.max = max;
    s.min = min;
    s.mean = mean;
    return s;
}

// A good sample around `value`: the maximum one above it, the minimum one below.
inline LogSample SampleAround(int32_t time, float value) {
    return MakeSample(time, 192, value, value + 1, value - 1, value);
}

// A data-log file of the records, each cut to `recordSize` bytes (10 for raw files, 22 for
// summaries), with `extraBytes` of a record cut short after them.
inline void WriteDat(const std::filesystem::path& path, const std::vector<LogSample>& records, int recordSize,
                     size_t extraBytes = 0) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    for (const auto& r : records) out.write(reinterpret_cast<const char*>(&r), recordSize);
    out << std::string(extraBytes, '\x7f');
}

}  // namespace testsupport
