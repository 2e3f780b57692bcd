// Lines of line protocol read back as verify reads them: the kind, the name as the server
// knows it, and the time in seconds.

#include "session/Verify.h"

#include <gtest/gtest.h>

using namespace quarvel;

namespace {

TEST(PostedLine, KindNameAndTimeAreReadBack) {
    struct Case {
        const char* line;
        bool read;
        int kind;
        const char* name;
        int64_t seconds;
    } cases[] = {
        {"datalogX,name=PUMP_1 value=1.5,status=192i,quality=0i 1500000000000000000", true, kRaw, "PUMP_1", 1500000000},
        {"datalogM,name=A\\ B\\,C\\=D last_value=1,status=0i 60000000000", true, kMinute, "A B,C=D", 60},
        {"datalogD status=0i 86400000000000", true, kDay, "", 86400},  // no name tag
        {"datalogX,name=T value=1 -28800000000000", true, kRaw, "T", -28800},
        {"datalogH,name=T\\  status=0i 3600000000000", true, kHour, "T ", 3600},
        {"datalogX,name=T\\ 1 60000000000", true, kRaw, "T 1", 60},  // the time stamp alone, as verify counts
        {"datalogXY,name=T value=1 1000000000", false, -1, "", 0},
        {"other,name=T value=1 1000000000", false, -1, "", 0},
        {"datalogX,name=T value=1 12", false, kRaw, "T", 0},  // not whole seconds
    };
    for (const Case& c : cases) {
        PostedLine line;
        EXPECT_EQ(ReadPostedLine(c.line, line), c.read) << c.line;
        if (!c.read) continue;
        EXPECT_EQ(line.kind, c.kind) << c.line;
        EXPECT_EQ(line.name, c.name) << c.line;
        EXPECT_EQ(line.seconds, c.seconds) << c.line;
    }
}

// Each field as the server reads its text: the float nearest to the decimal, whatever the locale.
TEST(PostedLine, FieldsAreReadAsTheServerReadsThem) {
    FieldValues fields;
    ASSERT_TRUE(ReadPostedFields("datalogX,name=A\\ B value=0.1,status=192,quality=-2 60000000000", fields));
    EXPECT_EQ(fields.Get(FieldIndex("value")), 0.1);
    EXPECT_EQ(fields.Get(FieldIndex("status")), 192.0);
    EXPECT_EQ(fields.Get(FieldIndex("quality")), -2.0);
    EXPECT_EQ(fields.Get(FieldIndex("last_value")), std::nullopt);
    EXPECT_FALSE(ReadPostedFields("datalogX,name=A other=1 60000000000", fields));
    EXPECT_FALSE(ReadPostedFields("datalogX,name=A value=1x 60000000000", fields));
}

}  // namespace
