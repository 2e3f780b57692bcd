#pragma once

#include "influx/LogSample.h"

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

}  // namespace testsupport
