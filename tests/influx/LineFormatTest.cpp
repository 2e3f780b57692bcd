#include "Samples.h"
#include "SnprintfFormat.h"
#include "influx/LineFormat.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>

using namespace quarvel;

namespace {

using testsupport::MakeSample;

LogSample WithValueBits(LogSample s, uint32_t bits) {
    s.value = std::bit_cast<float>(bits);
    return s;
}

std::string Raw(std::string_view name, const LogSample& s, int32_t ts) {
    std::string out;
    AppendLine(out, kRaw, name, s, ts);
    return out;
}

std::string Summary(int kind, std::string_view name, const LogSample& s, int32_t ts) {
    std::string out;
    AppendLine(out, kind, name, s, ts);
    return out;
}

TEST(LineFormat, RawLines) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        LogSample sample;
        int32_t timestamp;
        const char* line;
    } cases[] = {
        {"ordinary value", MakeSample(0, 192, 12.5f), 1500000000,
         "datalogX,name=T1 value=12.500000,status=192,quality=0 1500000000000000000"},
        {"no value, FF FF FF FF", WithValueBits(MakeSample(0, 192, 0), 0xFFFFFFFF), 1500000000,
         "datalogX,name=T1 value=0.000000,status=192,quality=-1 1500000000000000000"},
        {"no value, FF FF FF FE", WithValueBits(MakeSample(0, 7, 0), 0xFFFFFFFE), 5,
         "datalogX,name=T1 value=0.000000,status=7,quality=-2 5000000000"},
        {"-1.0 is a value", WithValueBits(MakeSample(0, 0, 0), 0xBF800000), 1,
         "datalogX,name=T1 value=-1.000000,status=0,quality=0 1000000000"},
        {"status is unsigned", MakeSample(0, 65535, 1.0f), 1,
         "datalogX,name=T1 value=1.000000,status=65535,quality=0 1000000000"},
        {"negative time stamp", MakeSample(0, 1, 2.0f), -1,
         "datalogX,name=T1 value=2.000000,status=1,quality=0 -1000000000"},
        {"zero time stamp", MakeSample(0, 1, 2.0f), 0, "datalogX,name=T1 value=2.000000,status=1,quality=0 0000000000"},
        {"negative zero", MakeSample(0, 1, -0.0f), 1, "datalogX,name=T1 value=-0.000000,status=1,quality=0 1000000000"},
        {"largest float", MakeSample(0, 1, FLT_MAX), 1,
         "datalogX,name=T1 value=340282346638528859811704183484516925440.000000,status=1,quality=0 1000000000"},
        {"six decimals that read back", MakeSample(0, 1, 1.2345f), 1,
         "datalogX,name=T1 value=1.234500,status=1,quality=0 1000000000"},
        // Mended: "%f" would lose digits of these values.
        {"digits below the sixth decimal", MakeSample(0, 1, 1.0f + FLT_EPSILON), 1,
         "datalogX,name=T1 value=1.0000001,status=1,quality=0 1000000000"},
        {"seven decimals", MakeSample(0, 1, 7.1172185f), 1,
         "datalogX,name=T1 value=7.1172185,status=1,quality=0 1000000000"},
        {"just above a power of two", MakeSample(0, 1, std::nextafter(2.0f, 3.0f)), 1,
         "datalogX,name=T1 value=2.0000002,status=1,quality=0 1000000000"},
        {"a power of two past six decimals", MakeSample(0, 1, 0.0078125f), 1,
         "datalogX,name=T1 value=0.0078125,status=1,quality=0 1000000000"},
        {"negative, eight decimals", MakeSample(0, 1, -0.28893968f), 1,
         "datalogX,name=T1 value=-0.28893968,status=1,quality=0 1000000000"},
        {"below 0.001", MakeSample(0, 1, 0.00012345678f), 1,
         "datalogX,name=T1 value=0.00012345678,status=1,quality=0 1000000000"},
        {"below 0.0001 the text is scientific", MakeSample(0, 1, std::nextafter(1e-4f, 0.0f)), 1,
         "datalogX,name=T1 value=9.999999e-05,status=1,quality=0 1000000000"},
        {"tiny value", MakeSample(0, 1, 1e-10f), 1, "datalogX,name=T1 value=1e-10,status=1,quality=0 1000000000"},
        {"negative tiny value", MakeSample(0, 1, -2.5e-7f), 1,
         "datalogX,name=T1 value=-2.5e-07,status=1,quality=0 1000000000"},
        {"smallest subnormal", MakeSample(0, 1, std::numeric_limits<float>::denorm_min()), 1,
         "datalogX,name=T1 value=1e-45,status=1,quality=0 1000000000"},
        // Mended: line protocol cannot carry NaN or infinity; the other fields stay.
        {"NaN value", MakeSample(0, 3, nan), 1, "datalogX,name=T1 status=3,quality=0 1000000000"},
        {"infinite value", MakeSample(0, 3, -inf), 1, "datalogX,name=T1 status=3,quality=0 1000000000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Raw("T1", c.sample, c.timestamp), c.line) << c.what;
        // Without its fields: the measurement, name and time stamp alone.
        const std::string_view line = c.line;
        std::string stamp;
        AppendStamp(stamp, kRaw, "T1", c.timestamp);
        EXPECT_EQ(stamp, std::string(line.substr(0, line.find(' '))).append(line.substr(line.rfind(' ')))) << c.what;
    }
}

TEST(LineFormat, SummaryLines) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        int kind;
        LogSample sample;
        const char* line;
    } cases[] = {
        {"minute", kMinute, MakeSample(0, 192, 12.5f, 13.0f, 12.0f, 12.25f),
         "datalogM,name=T1 last_value=12.500000,max_value=13.000000,min_value=12.000000,mean_value=12.250000,"
         "status=192,quality=0 1500000000000000000"},
        {"no-value hour ignores max, min and mean", kHour,
         WithValueBits(MakeSample(0, 192, 0, 5.0f, nan, 7.0f), 0xFFFFFFFF),
         "datalogH,name=T1 last_value=0.000000,max_value=0.000000,min_value=0.000000,mean_value=0.000000,"
         "status=192,quality=-1 1500000000000000000"},
        {"no value in max alone is an ordinary sample", kDay,
         MakeSample(0, 1, 2.0f, std::bit_cast<float>(0xFFFFFFFFu), 1.0f, 1.5f),
         "datalogD,name=T1 last_value=2.000000,min_value=1.000000,mean_value=1.500000,status=1,quality=0 "
         "1500000000000000000"},
        {"NaN last value keeps the rest", kDay, MakeSample(0, 1, nan, 3.0f, 1.0f, 2.0f),
         "datalogD,name=T1 max_value=3.000000,min_value=1.000000,mean_value=2.000000,status=1,quality=0 "
         "1500000000000000000"},
    };
    for (const auto& c : cases) EXPECT_EQ(Summary(c.kind, "T1", c.sample, 1500000000), c.line) << c.what;
}

TEST(LineFormat, EmptyNameLeavesTheTagOut) {
    EXPECT_EQ(Raw("", MakeSample(0, 1, 1.0f), 1), "datalogX value=1.000000,status=1,quality=0 1000000000");
    EXPECT_EQ(Summary(kMinute, "", MakeSample(0, 1, 1.0f, 1.0f, 1.0f, 1.0f), 1),
              "datalogM last_value=1.000000,max_value=1.000000,min_value=1.000000,mean_value=1.000000,"
              "status=1,quality=0 1000000000");
    std::string stamp;
    AppendStamp(stamp, kDay, "", -1);
    EXPECT_EQ(stamp, "datalogD -1000000000");
}

TEST(LineFormat, TagValuesAreEscaped) {
    struct Case {
        const char* name;
        bool writable;
        const char* escaped;
    } cases[] = {
        {"FLOW", true, "FLOW"},
        {"A B", true, "A\\ B"},
        {"A,B=C", true, "A\\,B\\=C"},
        {"Q\"uote", true, "Q\"uote"},
        {"back\\slash", true, "back\\slash"},
        {"\xE4\xB8\xAD\xE6\x96\x87", true, "\xE4\xB8\xAD\xE6\x96\x87"},
        {"line\nbreak", false, ""},
        {"carriage\rreturn", false, ""},
        {"ends\\", false, ""},
        {"back\\ blank", false, ""},
        {"back\\,comma", false, ""},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(EscapeTagValue(c.name, out), c.writable) << c.name;
        if (c.writable) {
            EXPECT_EQ(out, c.escaped) << c.name;
        }
    }
}

TEST(LineFormat, TimestampWrapsAsThirtyTwoBitArithmetic) {
    struct Case {
        int32_t time, zoneOffset, expected;
    } cases[] = {
        {1500057600, 28800, 1500000000},
        {1500057600, 0, 1500028800},
        {1500057600, -18000, 1500046800},
        {28800, 0, 0},
        {0, 0, -28800},
        {INT32_MIN, 0, INT32_MAX - 28799},  // wraps below the smallest value
        {INT32_MAX, -28801, INT32_MIN},     // and above the largest
    };
    for (const auto& c : cases)
        EXPECT_EQ(LineTimestamp(c.time, c.zoneOffset), c.expected) << c.time << " " << c.zoneOffset;
}

// Values from every binade, the edges of each, and plenty of ordinary readings.
std::vector<float> EdgeAndRandomFloats(size_t count) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 std::numeric_limits<float>::denorm_min(),
                                 -std::numeric_limits<float>::denorm_min(),
                                 FLT_MIN,
                                 std::nextafter(FLT_MIN, 0.0f),
                                 FLT_MAX,
                                 -FLT_MAX,
                                 1e-7f,
                                 4.9999e-7f,
                                 5e-7f,
                                 5.0001e-7f,
                                 0.0078125f,  // an exact tie at the seventh decimal
                                 0.5f,
                                 1.0f,
                                 16.0f,
                                 16.0078125f,  // ties at the seventh decimal whose text reads back:
                                 16.0234375f,  // kept even, and rounded up to even
                                 std::nextafter(16.0f, 0.0f),
                                 8388608.0f,
                                 8796093022208.0f,  // 2^43
                                 std::nextafter(8796093022208.0f, 0.0f),
                                 1e13f,
                                 std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity()};
    std::mt19937 random(12345);
    std::uniform_int_distribution<uint32_t> anyBits;
    std::uniform_real_distribution<float> reading(-1000.0f, 1000.0f);
    std::uniform_int_distribution<int> decimals(0, 4);
    while (values.size() < count) {
        values.push_back(std::bit_cast<float>(anyBits(random)));
        const float r = reading(random);
        values.push_back(r);
        const float scale = std::pow(10.0f, static_cast<float>(decimals(random)));
        values.push_back(std::round(r * scale) / scale);  // a reading kept to a few decimals
        values.push_back(std::nextafter(values.back(), 0.0f));
    }
    return values;
}

TEST(LineFormat, FastFormatterMatchesSnprintfFieldByField) {
    const auto values = EdgeAndRandomFloats(400000);
    std::mt19937 random(777);
    std::uniform_int_distribution<int32_t> anyTime(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int> anyStatus(0, 65535);
    const char* names[] = {"T1", "", "A\\ B", "\xE4\xB8\xAD"};
    size_t mismatches = 0;
    for (size_t i = 0; i + 3 < values.size(); ++i) {
        LogSample s = MakeSample(0, static_cast<uint16_t>(anyStatus(random)), values[i], values[i + 1], values[i + 2],
                                 values[i + 3]);
        if (i % 97 == 0) s = WithValueBits(s, i % 2 ? 0xFFFFFFFF : 0xFFFFFFFE);
        const int32_t ts = i % 5 == 0 ? (i % 2 ? INT32_MIN : INT32_MAX) : anyTime(random);
        const char* name = names[i % 4];
        const std::string raw = Raw(name, s, ts);
        const std::string summary = Summary(1 + static_cast<int>(i % 3), name, s, ts);
        if (raw != testsupport::SnprintfRawLine(name, s, ts) ||
            summary != testsupport::SnprintfSummaryLine(1 + static_cast<int>(i % 3), name, s, ts)) {
            if (++mismatches <= 5)
                ADD_FAILURE() << "value bits " << std::hex << std::bit_cast<uint32_t>(values[i]) << "\n"
                              << raw << "\n"
                              << testsupport::SnprintfRawLine(name, s, ts) << "\n"
                              << summary << "\n"
                              << testsupport::SnprintfSummaryLine(1 + static_cast<int>(i % 3), name, s, ts);
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(LineFormat, OrdinaryLinesAreByteIdenticalToPlainSnprintfLines) {
    // Readings kept to a few decimals, as sensors deliver them: "%f" reads back for all
    // of them, so nothing changes for the lines existing databases already hold.
    std::mt19937 random(99);
    std::uniform_int_distribution<int> tenths(-100000, 100000);
    for (int i = 0; i < 100000; ++i) {
        const int t = tenths(random);
        const float v = static_cast<float>(t) / 10.0f;
        const LogSample s = MakeSample(0, 192, v, static_cast<float>(t + 7) / 10.0f, static_cast<float>(t - 3) / 10.0f,
                                       static_cast<float>(t + 1) / 100.0f);
        std::string plain;
        testsupport::AppendSnprintfSummaryLine(plain, kHour, "TAG_1", s, 1500000000 + i);
        ASSERT_EQ(Summary(kHour, "TAG_1", s, 1500000000 + i), plain);
        plain.clear();
        testsupport::AppendSnprintfRawLine(plain, "TAG_1", s, 1500000000 + i);
        ASSERT_EQ(Raw("TAG_1", s, 1500000000 + i), plain);
    }
}

}  // namespace
