// Reading one value of a node's settings file.

#include "ScratchDir.h"
#include "platform/Ini.h"

#include <gtest/gtest.h>

using namespace quarvel;

namespace {

using platform::GetPrivateProfileString;

class IniTest : public ScratchDirTest {};

struct IniCase {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    std::string expected;
};

TEST_F(IniTest, ReadsValuesTheWayTheNodeSoftwareDoes) {
    const std::string none = "<default>";
    const IniCase cases[] = {
        {"plain", "[NODE_INFO]\nDATA_LOG_FOLDER=D:\\Node\\Log\\\n", "NODE_INFO", "DATA_LOG_FOLDER", "D:\\Node\\Log\\"},
        {"names in other case", "[node_info]\ndata_log_folder=x\n", "NODE_INFO", "DATA_LOG_FOLDER", "x"},
        {"blanks around everything", "  [ NODE_INFO ]  \n \t KEY \t=  \t D:\\a b \t \n", "NODE_INFO", "KEY", "D:\\a b"},
        {"double quotes keep blanks", "[S]\nK=  \"  a b  \"  \n", "S", "K", "  a b  "},
        {"single quotes", "[S]\nK='v'\n", "S", "K", "v"},
        {"only one pair removed", "[S]\nK=\"\"a\"\"\n", "S", "K", "\"a\""},
        {"mismatched quotes kept", "[S]\nK=\"v'\n", "S", "K", "\"v'"},
        {"lone quote kept", "[S]\nK=\"\n", "S", "K", "\""},
        {"quote at one end only", "[S]\nK=\"v\n", "S", "K", "\"v"},
        {"no inline comment after ';'", "[S]\nK=D:\\Log ; old\n", "S", "K", "D:\\Log ; old"},
        {"no inline comment after '#'", "[S]\nK=a #b\n", "S", "K", "a #b"},
        {"comment lines skipped", "[S]\n;K=old\n  \t;K=older\nK=new\n", "S", "K", "new"},
        {"'#' line is not a comment", "[S]\n#K=x\n", "S", "#K", "x"},
        {"BOM", "\xEF\xBB\xBF[S]\nK=v\n", "S", "K", "v"},
        {"CRLF", "[S]\r\nK=v\r\nL=w\r\n", "S", "K", "v"},
        {"no newline at the end", "[S]\nK=v", "S", "K", "v"},
        {"value with '='", "[S]\nK=a=b=c\n", "S", "K", "a=b=c"},
        {"empty value", "[S]\nK=\nK=later\n", "S", "K", ""},
        {"blank value", "[S]\nK= \t \n", "S", "K", ""},
        {"quoted empty value", "[S]\nK=\"\"\n", "S", "K", ""},
        {"line without '=' ignored", "[S]\nK\nK=v\n", "S", "K", "v"},
        {"first key wins", "[S]\nK=1\nK=2\n", "S", "K", "1"},
        {"longer key is another key", "[S]\nKEY2=x\nKEY=y\n", "S", "KEY", "y"},
        {"missing section", "[T]\nK=v\n", "S", "K", none},
        {"missing key", "[S]\nL=v\n", "S", "K", none},
        {"key in a later section", "[S]\nL=v\n[T]\nK=t\n", "S", "K", none},
        {"key before any section", "K=v\n[S]\nL=w\n", "S", "K", none},
        {"duplicate section: first searched", "[S]\nA=1\n[T]\nK=t\n[S]\nK=2\nA=3\n", "S", "K", none},
        {"duplicate section: first wins", "[S]\nA=1\n[T]\nK=t\n[S]\nK=2\nA=3\n", "S", "A", "1"},
        {"section name is not a prefix", "[SS]\nK=1\n[S]\nK=2\n", "S", "K", "2"},
        {"text after ']' ignored", "[S] trailing\nK=v\n", "S", "K", "v"},
        {"unclosed bracket is no header", "[S]\n[T\nK=v\n", "S", "K", "v"},
        {"empty file", "", "S", "K", none},
        {"high bytes kept", "[S]\nK=\xA5\xCE\xE1\n", "S", "K", "\xA5\xCE\xE1"},
    };
    int n = 0;
    for (const IniCase& c : cases) {
        const std::string path = WriteFile("case" + std::to_string(n++) + ".ini", c.file);
        EXPECT_EQ(GetPrivateProfileString(c.section, c.key, none, path), c.expected) << c.what;
    }
}

TEST_F(IniTest, UnreadableFileGivesTheDefault) {
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", (m_dir / "missing.ini").string()), "dflt");
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", m_dir.string()), "dflt");  // a folder
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", (m_dir / "missing.ini").string()), "");
}

TEST_F(IniTest, NoLimitOnFileOrValueSize) {
    std::string file = "[OTHER]\n";
    for (int i = 0; i < 50000; ++i) file += "KEY" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    const std::string longValue(100000, 'v');
    file += "[NODE_INFO]\nDATA_LOG_FOLDER=" + longValue + "\n";
    const std::string path = WriteFile("sysinfo.ini", file);
    EXPECT_EQ(GetPrivateProfileString("NODE_INFO", "DATA_LOG_FOLDER", "", path), longValue);
    EXPECT_EQ(GetPrivateProfileString("other", "key49999", "", path), "49999");
}

}  // namespace
