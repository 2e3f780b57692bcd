// Names converted from a code page to UTF-8: bytes that do not decode become U+FFFD,
// also the ill-formed sequences glibc passes through when the code page is UTF-8 itself
// (found by fuzz_line_format).

#include "platform/CodePage.h"

#include <gtest/gtest.h>

using namespace quarvel;

namespace {

std::string Replacements(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += "\xEF\xBF\xBD";
    return out;
}

TEST(CodePage, EveryByteThatDoesNotDecodeBecomesAReplacementCharacter) {
    struct Case {
        const char* codePage;
        std::string text;
        std::string utf8;
    } cases[] = {
        {"UTF-8", "ok \xE4\xB8\xAD", "ok \xE4\xB8\xAD"},
        {"UTF-8",
         "\xF5\x81\x82\x83"
         "d",
         Replacements(4) + "d"},                             // lead byte past U+10FFFF
        {"UTF-8", "\xF4\x90\x80\x80", Replacements(4)},      // U+110000
        {"UTF-8", "\xF8\x88\x80\x80\x80", Replacements(5)},  // five-byte form
        {"UTF-8", "\xED\xA0\x80", Replacements(3)},          // surrogate
        {"UTF-8", "\xC0\xAF", Replacements(2)},              // overlong '/'
        {"UTF-8", "a\xE4\xB8", "a" + Replacements(2)},       // cut short
        {"CP950", "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},
        {"CP950", "\xA4", Replacements(1)},
    };
    for (const auto& c : cases) {
        std::string out;
        ASSERT_TRUE(platform::ConvertToUtf8(c.text, c.codePage, out)) << c.codePage;
        EXPECT_EQ(out, c.utf8) << c.codePage << " " << testing::PrintToString(c.text);
    }
}

TEST(CodePage, AnUnknownCodePageGivesNothing) {
    std::string out = "left over";
    EXPECT_FALSE(platform::ConvertToUtf8("abc", "NO-SUCH-CODE-PAGE", out));
    EXPECT_EQ(out, "");
}

TEST(CodePage, ACutNeverSplitsACharacter) {
    struct Case {
        const char* codePage;
        std::string text;
        size_t limit;
        size_t kept;
    } cases[] = {
        {"UTF-8", "ab\xE4\xB8\xAD", 4, 2},  // inside a three-byte character
        {"UTF-8", "ab\xE4\xB8\xAD", 5, 5},  // after it: the whole text
        {"UTF-8", "ab\xE4\xB8\xADz", 5, 5},
        {"UTF-8", "a\xFF\xFFz", 3, 3},         // bytes that do not decode stand alone
        {"CP950", "\xA4\xA4\xA4\xE5x", 3, 2},  // between a lead and its trail byte
        {"CP950", "\xA4\xA4\xA4\xE5x", 4, 4},
        {"CP950",
         "a\xA4\xA4"
         "b",
         2, 1},
        {"NO-SUCH-CODE-PAGE", "abcdef", 4, 4},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::CharacterPrefix(c.text, c.limit, c.codePage), c.kept)
            << c.codePage << " " << testing::PrintToString(c.text) << " " << c.limit;
}

}  // namespace
