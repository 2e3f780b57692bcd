#include "influx/LineFormat.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace quarvel {

namespace {

// Longest field text: four floats of up to 47 characters ("%f" of the largest float)
// with their keys, status, quality and the time stamp stay far below this.
constexpr size_t kFieldTextMax = 400;
// Lines whose name fits are built on the stack and appended to the batch at once.
constexpr size_t kLineBufferSize = 1024;

constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

char* PutPair(char* p, uint32_t twoDigits) {
    std::memcpy(p, &kDigitPairs[size_t{2} * twoDigits], 2);
    return p + 2;
}

char* PutFourDigits(char* p, uint32_t value) {
    PutPair(p, value / 100);
    return PutPair(p + 2, value % 100);
}

char* PutUpToFourDigits(char* p, uint32_t value) {
    if (value < 10) {
        *p = static_cast<char>('0' + value);
        return p + 1;
    }
    if (value < 100) return PutPair(p, value);
    if (value < 1000) {
        *p = static_cast<char>('0' + value / 100);
        return PutPair(p + 1, value % 100);
    }
    return PutFourDigits(p, value);
}

// Splits into groups of four digits whose divisions do not wait on each other.
char* PutUnsigned(char* p, uint32_t value) {
    if (value < 10000) return PutUpToFourDigits(p, value);
    if (value < 100000000) return PutFourDigits(PutUpToFourDigits(p, value / 10000), value % 10000);
    const uint32_t low = value % 100000000;
    p = PutUpToFourDigits(p, value / 100000000);
    return PutFourDigits(PutFourDigits(p, low / 10000), low % 10000);
}

char* PutInt(char* p, int32_t value) {
    if (value < 0) {
        *p++ = '-';
        return PutUnsigned(p, 0 - static_cast<uint32_t>(value));
    }
    return PutUnsigned(p, static_cast<uint32_t>(value));
}

uint64_t PairBits(uint32_t twoDigits) {
    uint16_t pair = 0;
    std::memcpy(&pair, &kDigitPairs[size_t{2} * twoDigits], 2);
    return pair;
}

// "." and six decimals (below 10^6), put together in a register and written in one store
// of 8 bytes; the last byte lies past the text, within the room the line buffer keeps.
char* PutPointAndDecimals(char* p, uint32_t decimals) {
    const uint32_t low = decimals % 10000;
    const uint64_t text = '.' | PairBits(decimals / 10000) << 8 | PairBits(low / 100) << 24 | PairBits(low % 100) << 40;
    std::memcpy(p, &text, 8);  // the host is little-endian (LogSample.h)
    return p + 7;
}

template <size_t N>
char* PutText(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

// Writes the "%f" text of `value` (six decimals of the exact binary value, ties to even,
// as printf prints it) and tells whether that text reads back as the same float.
// Works on the float's integer mantissa, so no decimal conversion library is needed for
// the values sensors produce.
char* PutFixed6(char* p, float value, bool& readsBack) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const uint32_t exponentField = (bits >> 23) & 0xFF;
    const uint32_t fraction = bits & 0x7FFFFF;
    const uint64_t mantissa = exponentField == 0 ? fraction : (fraction | 0x800000u);
    const int exponent = exponentField == 0 ? -149 : static_cast<int>(exponentField) - 150;

    if (exponent > 8) {
        // |value| >= 2^32: an integer whose "%f" digits are exact.
        readsBack = true;
        return std::to_chars(p, p + 64, static_cast<double>(value), std::chars_format::fixed, 6).ptr;
    }

    // micros = round(|value| * 10^6); deviation = |micros * 2^s - mantissa * 10^6|,
    // the distance of the printed text from the value in units of 2^-s / 10^6.
    constexpr uint64_t kMicro = 1000000;
    const uint64_t scaled = mantissa * kMicro;  // below 2^44, so micros stays below 2^52
    uint64_t micros = 0;
    uint64_t deviation = 0;
    bool roundedUp = false;
    if (exponent >= 0) {
        micros = scaled << exponent;
    } else if (-exponent >= 64) {
        deviation = scaled;  // far below 0.0000005: prints as zero
    } else {
        const int shift = -exponent;
        const uint64_t unit = uint64_t{1} << shift;
        const uint64_t quotient = scaled >> shift;
        const uint64_t remainder = scaled & (unit - 1);
        // Up when above half a unit, or at half with an odd quotient (ties to even). Kept
        // free of branches: to a branch, the remainders of sensor readings look random.
        roundedUp = remainder + (quotient & 1) > unit / 2;
        micros = quotient + roundedUp;
        deviation = std::min(remainder, unit - remainder);  // the nearer multiple is the one taken
    }

    // The text reads back as `value` when it lies within half a unit in the last place;
    // just above a power of two the gap below is half as wide. Ties go to the even mantissa.
    const bool narrowBelow = !roundedUp && fraction == 0 && exponentField > 1;
    const uint64_t limit = narrowBelow ? kMicro / 4 : kMicro / 2;
    readsBack = deviation + (mantissa & 1) <= limit;

    *p = '-';  // kept only for a negative value
    p += bits >> 31;
    p = PutUnsigned(p, static_cast<uint32_t>(micros / kMicro));  // below 2^32
    return PutPointAndDecimals(p, static_cast<uint32_t>(micros % kMicro));
}

char* PutFloat(char* p, float value) {
    bool readsBack = false;
    char* end = PutFixed6(p, value, readsBack);
    if (readsBack) return end;
    return std::to_chars(p, p + 64, value, std::chars_format::general).ptr;
}

// Appends ",key=value" (or " key=value" for the first field); a value that line
// protocol cannot carry is left out with its key.
template <size_t N>
char* PutFloatField(char* p, char& separator, const char (&key)[N], float value) {
    if (!std::isfinite(value)) return p;
    *p++ = separator;
    separator = ',';
    p = PutText(p, key);
    return PutFloat(p, value);
}

char* PutStatusQualityTime(char* p, char separator, const LogSample& sample, int quality, int32_t timestamp) {
    *p++ = separator;
    p = PutText(p, "status=");
    p = PutInt(p, sample.status);
    p = quality == 0 ? PutText(p, ",quality=0") : PutInt(PutText(p, ",quality="), quality);
    *p++ = ' ';
    p = PutInt(p, timestamp);
    return PutText(p, "000000000");
}

constexpr size_t kMeasurementLength = 8;
static_assert(std::string_view(kMeasurement[kRaw]).size() == kMeasurementLength &&
              std::string_view(kMeasurement[kMinute]).size() == kMeasurementLength &&
              std::string_view(kMeasurement[kHour]).size() == kMeasurementLength &&
              std::string_view(kMeasurement[kDay]).size() == kMeasurementLength);

// Lines are built in one stack buffer and appended to the batch at once. The measurement
// and name go into the buffer when they leave room for the fields; a longer name is
// appended on its own first. Returns where the fields start.
char* PutHead(std::string& out, char* buffer, int kind, std::string_view escapedName) {
    const size_t headLength = kMeasurementLength + (escapedName.empty() ? 0 : 6 + escapedName.size());
    if (headLength + kFieldTextMax > kLineBufferSize) {
        out.append(kMeasurement[kind]);
        out.append(",name=");
        out.append(escapedName);
        return buffer;
    }
    std::memcpy(buffer, kMeasurement[kind], kMeasurementLength);
    char* p = buffer + kMeasurementLength;
    if (escapedName.empty()) return p;
    p = PutText(p, ",name=");
    return std::copy(escapedName.begin(), escapedName.end(), p);
}

}  // namespace

int32_t LineTimestamp(int32_t time, int32_t zoneOffset) {
    constexpr uint32_t kFixedOffset = 28800;
    return static_cast<int32_t>(static_cast<uint32_t>(time) - static_cast<uint32_t>(zoneOffset) - kFixedOffset);
}

bool EscapeTagValue(std::string_view name, std::string& out) {
    out.clear();
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        switch (c) {
            case '\n':
            case '\r':
                return false;
            case '\\':
                if (i + 1 == name.size() || std::strchr(",\" =", name[i + 1]) != nullptr) return false;
                break;
            case ',':
            case '=':
            case ' ':
                out.push_back('\\');
                break;
            default:
                break;
        }
        out.push_back(c);
    }
    return true;
}

void AppendRawLine(std::string& out, std::string_view escapedName, const LogSample& sample, int32_t timestamp) {
    char buffer[kLineBufferSize];
    char* p = PutHead(out, buffer, kRaw, escapedName);
    char separator = ' ';
    int quality = 0;
    if (HasNoValue(sample)) {
        quality = ValueBits(sample);
        p = PutFloatField(p, separator, "value=", 0.0f);
    } else {
        p = PutFloatField(p, separator, "value=", sample.value);
    }
    p = PutStatusQualityTime(p, separator, sample, quality, timestamp);
    out.append(buffer, static_cast<size_t>(p - buffer));
}

void AppendSummaryLine(std::string& out, int kind, std::string_view escapedName, const LogSample& sample,
                       int32_t timestamp) {
    char buffer[kLineBufferSize];
    char* p = PutHead(out, buffer, kind, escapedName);
    char separator = ' ';
    int quality = 0;
    if (HasNoValue(sample)) {
        quality = ValueBits(sample);
        p = PutFloatField(p, separator, "last_value=", 0.0f);
        p = PutFloatField(p, separator, "max_value=", 0.0f);
        p = PutFloatField(p, separator, "min_value=", 0.0f);
        p = PutFloatField(p, separator, "mean_value=", 0.0f);
    } else {
        p = PutFloatField(p, separator, "last_value=", sample.value);
        p = PutFloatField(p, separator, "max_value=", sample.max);
        p = PutFloatField(p, separator, "min_value=", sample.min);
        p = PutFloatField(p, separator, "mean_value=", sample.mean);
    }
    p = PutStatusQualityTime(p, separator, sample, quality, timestamp);
    out.append(buffer, static_cast<size_t>(p - buffer));
}

}  // namespace quarvel
