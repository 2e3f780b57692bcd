// quarvel-cli's table commands as an operator runs them: the real binary as a child
// process, real files, and a real InfluxDB server for convert --kind rtdb.

#include "ChildProcess.h"
#include "InfluxServer.h"
#include "SampleNodes.h"
#include "ScratchDir.h"
#include "TableRows.h"
#include "sample/SampleNode.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <limits>

using namespace quarvel;

namespace {

using testsupport::Contains;

using tablerows::Fixture;
using tablerows::Raw;
using tablerows::Tag;
using testsupport::RunCli;
using testsupport::RunResult;

class RdbCli : public ScratchDirTest {
protected:
    // dump, then create from what dump printed: the same bytes again.
    void ExpectRoundTrip(const fs::path& table) {
        SCOPED_TRACE(table.string());
        const std::string original = ReadFile(table);
        ASSERT_GT(original.size(), 10u);
        const RunResult dump = RunCli({"rdb", "dump", table.string()});
        ASSERT_EQ(dump.status, 0) << dump.err;
        const std::string csv = WriteFile("dumped.csv", dump.out);
        const std::string kind(1, original[10]);
        const RunResult create = RunCli({"rdb", "create", "--kind", kind, "--from", csv, "again.rdb"});
        ASSERT_EQ(create.status, 0) << create.err;
        EXPECT_TRUE(ReadFile(m_dir / "again.rdb") == original) << "dump printed:\n" << dump.out.substr(0, 2000);
    }
};

TEST_F(RdbCli, DumpThenCreateGivesBackTheSameFile) {
    const SampleNodeResult made = testsupport::MakeSmallSampleNode((m_dir / "Node_R").string());
    for (const char* name : {"Tags.rdb", "HistX.rdb", "HistM.rdb", "HistH.rdb", "HistD.rdb"})
        ExpectRoundTrip(m_dir / "Node_R" / "Log" / name);

    // Values and names that text easily gets wrong.
    RawRow odd = Raw(-5, INT32_MIN, -0.0f, {1, -128, 5, 0});
    odd.followOn[0].value = std::bit_cast<float>(0x7FC00001u);  // a NaN with a payload
    odd.followOn[1].value = std::numeric_limits<float>::infinity();
    odd.followOn[2].value = std::bit_cast<float>(0xFFFFFFFEu);
    odd.followOn[3].value = std::numeric_limits<float>::denorm_min();
    odd.status = 65535;
    RawRow lastEntry = Raw(INT32_MAX, 1, 0.1f);
    lastEntry.followOn[31] = FollowOn{7, 3.4028235e38f};
    tablerows::WriteTable(m_dir / "OddX.rdb", 'X', std::vector<RawRow>{odd, lastEntry});
    ExpectRoundTrip(m_dir / "OddX.rdb");
    tablerows::WriteTable(m_dir / "OddTags.rdb", 'T',
                          std::vector<TagRow>{Tag(1, "A,\"B\""), Tag(2, ""), Tag(3, "line\nbreak\r"),
                                              Tag(-4, std::string(31, 'L')), Tag(5, "\xB4\xFA \xA5\xCA")});
    ExpectRoundTrip(m_dir / "OddTags.rdb");

    // The documented example is what create makes of its CSV.
    const RunResult create =
        RunCli({"rdb", "create", "--kind", "M", "--from", Fixture("minute.csv").string(), "minute.rdb"});
    ASSERT_EQ(create.status, 0) << create.err;
    EXPECT_TRUE(ReadFile(m_dir / "minute.rdb") == ReadFile(Fixture("minute.rdb")));
}

TEST_F(RdbCli, BadCsvLinesStopCreateWithTheirLineNumber) {
    struct Case {
        const char* kind;
        std::string csv;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"M", "1,2,3\n", "rows.csv:1: 3 fields, wanted 7"},
        {"M", "time,tag_id,status,last,max,min,mean\n1700000000,1,70000,1,1,1,1\n",
         "rows.csv:2: status is not between 0 and 65535: \"70000\""},
        {"H", "2147483648,1,0,1,1,1,1\n", "rows.csv:1: time is not a 32-bit integer"},
        {"D", "\r\n\r\n1,1,1,1,1,1,x\r\n", "rows.csv:3: value is not a value: \"x\""},
        {"X", "1,1,1,1\n1,1,1,1,5\n", "rows.csv:2: 5 fields"},
        {"X", "1,1,1,1,128,0\n", "rows.csv:1: offset is not between -128 and 127"},
        {"X", "1,1,1,1,1,novalue-3\n", "rows.csv:1: follow-on value is not a value"},
        {"T", "1,A\nid,name\n", "rows.csv:2: tag id is not a 32-bit integer: \"id\""},
        {"T", "1,\"" + std::string(32, 'N') + "\"\n", "rows.csv:1: name is longer than 31 bytes"},
        {"T", "1,A\n2,\"open\n3,C\n", "rows.csv:2: a quoted field is not closed"},
        {"T", "1,\"A\"B\n", "rows.csv:1: text after a closing quote"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.csv);
        WriteFile("rows.csv", c.csv);
        const RunResult run = RunCli({"rdb", "create", "--kind", c.kind, "--from", "rows.csv", "out.rdb"});
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
        EXPECT_FALSE(fs::exists(m_dir / "out.rdb"));
    }
    const RunResult help = RunCli({"rdb", "create", "--help"});
    EXPECT_TRUE(Contains(help.out, "time,tag_id,status,last,max,min,mean")) << help.out;
    EXPECT_TRUE(Contains(help.out, "novalue-1")) << help.out;
}

TEST_F(RdbCli, DumpRefusesWhatIsNoTableFile) {
    std::string cut = ReadFile(Fixture("minute.rdb"));
    cut.pop_back();
    WriteFile("cutM.rdb", cut);
    WriteFile("rows.csv", "1,2\n");
    for (const auto& [file, message] :
         std::vector<std::pair<std::string, std::string>>{{"cutM.rdb", "length does not match its row count"},
                                                          {"rows.csv", "shorter than a table file header"},
                                                          {"missing.rdb", "cannot be opened"}}) {
        const RunResult run = RunCli({"rdb", "dump", file});
        EXPECT_EQ(run.status, 2) << file;
        EXPECT_TRUE(Contains(run.err, file + ": ") && Contains(run.err, message)) << run.err;
        EXPECT_EQ(run.out, "") << file;
    }
}

class RdbCliServer : public RdbCli {
protected:
    void SetUp() override {
        RdbCli::SetUp();
        QUARVEL_REQUIRE_SERVER();
        setenv("TZ", "UTC", 1);
        url = *testsupport::ServerUrl();
        node = testsupport::UniqueDatabaseName("Node");
        SampleNodeOptions options;
        options.tags = 2;
        options.days = 1;
        std::string error;
        ASSERT_TRUE(MakeSampleNode((m_dir / node).string(), options, made, error)) << error;
    }
    void TearDown() override {
        if (created) testsupport::DropDatabase("Ry_" + node);
        RdbCli::TearDown();
    }

    std::string url;
    std::string node;
    SampleNodeResult made;
    bool created = false;
};

TEST_F(RdbCliServer, ConvertKindRtdbExportsTheNodesTables) {
    testsupport::CreateDatabaseWithPolicies("Ry_" + node);
    created = true;
    const RunResult run = RunCli({"convert", "--kind", "rtdb", "--node", node, "--url", url});
    ASSERT_EQ(run.status, 0) << run.err;

    for (int kind = 0; kind < kTableKindCount; ++kind)
        EXPECT_EQ(testsupport::CountPoints("Ry_" + node, kRetentionPolicy[kind], kMeasurement[kind]),
                  static_cast<long>(made.tableSamples[kind]))
            << kMeasurement[kind];
    EXPECT_TRUE(Contains(run.err, "Files converted:   4\n")) << run.err;
    EXPECT_TRUE(Contains(run.err, "Lines not written: 0\n")) << run.err;
    // The list shows an exported file's path three times; the console once.
    const std::string path = made.dataLogFolder + "HistH.rdb\n";
    size_t shown = 0;
    for (size_t at = run.err.find(path); at != std::string::npos; at = run.err.find(path, at + 1)) ++shown;
    EXPECT_EQ(shown, 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, made.dataLogFolder + "Tags.rdb\n")) << run.err;
}

TEST_F(RdbCliServer, ConvertKindRtdbExitStatus) {
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {"no database: stopped before writing", {"--node", node, "--url", url}, 2},
        {"no server", {"--node", node, "--url", "http://127.0.0.1:1"}, 3},
        {"no folder", {"--folder", "nowhere", "--database", "Ry_x", "--url", url}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> arguments = {"convert", "--kind", "rtdb"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const RunResult run = RunCli(arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
    }
}

}  // namespace
