#pragma once

#include <bit>
#include <cstdint>

namespace quarvel {

static_assert(std::endian::native == std::endian::little, "samples are read in place from little-endian files");

// One sample as stored in a data-log file, byte for byte: packed, little-endian.
// A raw sample is the first 10 bytes, a summary all 22.
struct __attribute__((packed)) LogSample {
    int32_t time;     // seconds as the source stores them
    uint16_t status;  // written whole
    float value;      // or a no-value pattern (see HasNoValue)
    float max;        // summaries only
    float min;
    float mean;
};
static_assert(sizeof(LogSample) == 22);

constexpr int kRawSampleSize = 10;
constexpr int kSummarySampleSize = 22;

// The 32-bit patterns 0xFFFFFFFF and 0xFFFFFFFE mark a sample without value.
// Both are NaNs as floats, so only the bit pattern can tell them.
inline int32_t ValueBits(const LogSample& s) {
    const float value = s.value;  // a copy: bit_cast binds a reference, and the member may be misaligned
    return std::bit_cast<int32_t>(value);
}
inline bool HasNoValue(const LogSample& s) {
    return ValueBits(s) == -1 || ValueBits(s) == -2;
}

// Indexes the writer's batches and names the measurement and retention policy.
enum TableKind : int { kRaw = 0, kMinute = 1, kHour = 2, kDay = 3 };
constexpr int kTableKindCount = 4;

constexpr const char* kMeasurement[kTableKindCount] = {"datalogX", "datalogM", "datalogH", "datalogD"};
constexpr const char* kRetentionPolicy[kTableKindCount] = {"RP_Sec", "RP_Min", "RP_Hour", "RP_Day"};
constexpr char kKindLetter[kTableKindCount] = {'X', 'M', 'H', 'D'};
constexpr const char* kKindName[kTableKindCount] = {"raw", "minute", "hour", "day"};  // for messages

}  // namespace quarvel
