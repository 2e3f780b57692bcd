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

template <size_t N>
char* PutText(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

// Eight digits, leading zeros kept, put together in a register and written in one store.
char* PutEightDigits(char* p, uint32_t value) {
    const uint32_t high = value / 10000;
    const uint32_t low = value % 10000;
    const uint64_t text =
        PairBits(high / 100) | PairBits(high % 100) << 16 | PairBits(low / 100) << 32 | PairBits(low % 100) << 48;
    std::memcpy(p, &text, 8);  // the host is little-endian (LogSample.h)
    return p + 8;
}

// "." and six decimals (below 10^6); the two digits stored past the text lie within the
// room the line buffer keeps.
char* PutPointAndDecimals(char* p, uint32_t decimals) {
    *p = '.';
    PutEightDigits(p + 1, decimals * 100);
    return p + 7;
}

constexpr uint64_t kMicro = 1000000;
// Values from 2^-13 on (above 0.0001, so the text stays fixed-point) get their further
// decimals here; this also keeps ten times the remainder below 2^40.
constexpr int kLongestShift = 36;

constexpr auto kPowersOfTen = [] {
    std::array<uint64_t, 13> powers{};
    powers[0] = 1;
    for (size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 10;
    return powers;
}();

// The text of a value whose six decimals do not read back: the decimals continue one at
// a time from the six-decimal quotient and remainder (value * 10^6 = quotient + remainder
// / 2^shift) until the nearest text of that many decimals reads back. That is the shortest
// text, whose last digit is never 0, and std::to_chars's general format writes it so.
// A float needs at most nine significant digits, so this ends by the twelfth decimal.
char* PutLongerDecimals(char* p, int shift, uint64_t quotient, uint64_t remainder) {
    const uint64_t unit = uint64_t{1} << shift;
    uint64_t halfStep = kMicro / 2;  // half a unit in the last place, in units of 2^-shift / 10^decimals
    int decimals = 6;
    bool roundedUp = false;
    uint64_t deviation = 0;
    do {
        remainder *= 10;
        quotient = quotient * 10 + (remainder >> shift);
        remainder &= unit - 1;
        halfStep *= 10;
        ++decimals;
        roundedUp = remainder + (quotient & 1) > unit / 2;
        deviation = std::min(remainder, unit - remainder);
        // No text lands on a bound of the read-back range: halfway to the next float has
        // more than twenty decimals from 2^-13 to 16.
    } while (deviation > halfStep);
    const uint64_t digits = quotient + roundedUp;

    // From 1 on, seven decimals always read back: half their step is below half a unit in
    // the last place (at least 2^-24). Sensor values land here.
    if (decimals == 7) {
        p = PutUnsigned(p, static_cast<uint32_t>(digits / 10000000));  // below 16
        *p = '.';
        PutEightDigits(p + 1, static_cast<uint32_t>(digits % 10000000 * 10));
        return p + 8;
    }
    // Longer texts are below 1: twelve digits are put, and the text ends after `decimals`.
    const uint64_t twelveDigits = digits * kPowersOfTen[size_t{12} - static_cast<size_t>(decimals)];
    p = PutText(p, "0.");
    PutFourDigits(p, static_cast<uint32_t>(twelveDigits / 100000000));
    PutEightDigits(p + 4, static_cast<uint32_t>(twelveDigits % 100000000));
    return p + decimals;
}

// Writes the shortest text that reads back as `value` in the form this writer has always
// used: the "%f" text (six decimals of the exact binary value, ties to even, as printf
// prints it) when it reads back, else what std::to_chars's general format gives. Works on
// the float's integer mantissa, so the values sensors produce need no conversion library.
char* PutFloat(char* p, float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const uint32_t exponentField = (bits >> 23) & 0xFF;
    const uint32_t fraction = bits & 0x7FFFFF;
    const uint64_t mantissa = exponentField == 0 ? fraction : (fraction | 0x800000u);
    const int exponent = exponentField == 0 ? -149 : static_cast<int>(exponentField) - 150;

    if (exponent > 8) {
        // |value| >= 2^32: an integer whose "%f" digits are exact.
        return std::to_chars(p, p + 64, static_cast<double>(value), std::chars_format::fixed, 6).ptr;
    }

    char* const start = p;
    *p = '-';  // kept only for a negative value
    p += bits >> 31;
    if (exponent >= 0) {
        p = PutUnsigned(p, static_cast<uint32_t>(mantissa << exponent));  // below 2^32
        return PutPointAndDecimals(p, 0);
    }
    const int shift = -exponent;
    if (shift >= 64) {
        // Zero, or far below 0.0000005, which prints as zero and does not read back.
        if (mantissa != 0) return std::to_chars(start, start + 64, value, std::chars_format::general).ptr;
        return PutPointAndDecimals(PutUnsigned(p, 0), 0);
    }

    // micros = round(|value| * 10^6); deviation = |micros * 2^shift - mantissa * 10^6|,
    // the distance of the printed text from the value in units of 2^-shift / 10^6.
    const uint64_t scaled = mantissa * kMicro;  // below 2^44
    const uint64_t unit = uint64_t{1} << shift;
    const uint64_t quotient = scaled >> shift;
    const uint64_t remainder = scaled & (unit - 1);
    // Up when above half a unit, or at half with an odd quotient (ties to even). Kept
    // free of branches: to a branch, the remainders of sensor readings look random.
    const bool roundedUp = remainder + (quotient & 1) > unit / 2;
    const uint64_t deviation = std::min(remainder, unit - remainder);  // the nearer multiple is the one taken

    // The text reads back as `value` when it lies within half a unit in the last place;
    // just above a power of two the gap below is half as wide. Ties go to the even mantissa.
    const bool narrowBelow = fraction == 0 && exponentField > 1 && !roundedUp;
    const uint64_t limit = narrowBelow ? kMicro / 4 : kMicro / 2;
    if (deviation + (mantissa & 1) <= limit) {
        const uint64_t micros = quotient + roundedUp;
        p = PutUnsigned(p, static_cast<uint32_t>(micros / kMicro));  // below 2^32
        return PutPointAndDecimals(p, static_cast<uint32_t>(micros % kMicro));
    }
    // At a power of two the range that reads back is narrower below, so the text that does
    // may lie beyond the nearest; below 2^-13 the shortest text may be scientific. Both are
    // left to the library.
    if (fraction == 0 || shift > kLongestShift)
        return std::to_chars(start, start + 64, value, std::chars_format::general).ptr;
    return PutLongerDecimals(p, shift, quotient, remainder);
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

void AppendLine(std::string& out, int kind, std::string_view escapedName, const LogSample& sample, int32_t timestamp) {
    char buffer[kLineBufferSize];
    char* p = PutHead(out, buffer, kind, escapedName);
    char separator = ' ';
    // A sample without value goes out with zeros, its no-value pattern as the quality.
    const bool noValue = HasNoValue(sample);
    const auto field = [&](const auto& key, float value) {
        p = PutFloatField(p, separator, key, noValue ? 0.0f : value);
    };
    if (kind == kRaw) {
        field("value=", sample.value);
    } else {
        field("last_value=", sample.value);
        field("max_value=", sample.max);
        field("min_value=", sample.min);
        field("mean_value=", sample.mean);
    }
    p = PutStatusQualityTime(p, separator, sample, noValue ? ValueBits(sample) : 0, timestamp);
    out.append(buffer, static_cast<size_t>(p - buffer));
}

void AppendStamp(std::string& out, int kind, std::string_view escapedName, int32_t timestamp) {
    char buffer[kLineBufferSize];
    char* p = PutHead(out, buffer, kind, escapedName);
    *p++ = ' ';
    p = PutText(PutInt(p, timestamp), "000000000");
    out.append(buffer, static_cast<size_t>(p - buffer));
}

}  // namespace quarvel
