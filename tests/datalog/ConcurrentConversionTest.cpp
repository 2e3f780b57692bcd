// Two data-log conversions and a table export at once, each on a thread of its own and
// sharing one progress list and the log, as the window can run them. Also the test the
// ThreadSanitizer run leans on.

#include "InfluxServer.h"
#include "RecordedProgress.h"
#include "SampleNodes.h"
#include "ScratchDir.h"
#include "datalog/DataLogConverter.h"
#include "logging/Logging.h"
#include "rtdb/RtdbConverter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>
#include <tuple>
#include <vector>

using namespace quarvel;

namespace {

using testsupport::CountPoints;

class ConcurrentConversion : public ServerTest {
protected:
    void ServerSetUp() override {
        target.baseUrl = url;
        for (auto* database : {&first, &second, &tables}) *database = NewDatabase("Ry_concurrent");
    }

    long TotalPoints(const std::string& database) {
        long total = 0;
        for (int kind = 0; kind < kTableKindCount; ++kind)
            total += CountPoints(database, kRetentionPolicy[kind], kMeasurement[kind]);
        return total;
    }

    InfluxTarget target;
    std::string first, second, tables;
};

TEST_F(ConcurrentConversion, TwoDataLogWorkersAndATableExportLoseNothing) {
    const SampleNodeResult nodeA = testsupport::MakeSmallSampleNode((m_dir / "Node_A").string(), 3, 1);
    const SampleNodeResult nodeB = testsupport::MakeSmallSampleNode((m_dir / "Node_B").string(), 2, 1);
    InitLogging();
    testsupport::RecordedProgress list;

    ConversionTotals totalsA, totalsB, totalsT;
    auto dataLog = [&](const SampleNodeResult& node, const std::string& database, ConversionTotals& totals) {
        DataLogConverter converter(node.dataLogFolder, database, list, target);
        converter.SetJobs(2);
        converter.ConvertAll();
        totals = converter.Totals();
    };
    std::thread workerA(dataLog, std::cref(nodeA), std::cref(first), std::ref(totalsA));
    std::thread workerB(dataLog, std::cref(nodeB), std::cref(second), std::ref(totalsB));
    std::thread exporter([&] {
        RtdbConverter converter(nodeA.dataLogFolder, tables, list, target);
        converter.ConvertAll();
        totalsT = converter.Totals();
    });
    workerA.join();
    workerB.join();
    exporter.join();
    ShutdownLogging();

    EXPECT_EQ(list.Ended(), (std::vector<std::string>{"Conversion completed", "Conversion completed"}));
    for (const auto& [node, totals, database] :
         {std::tuple{&nodeA, &totalsA, &first}, std::tuple{&nodeB, &totalsB, &second}}) {
        EXPECT_EQ(totals->filesConverted, node->files) << *database;
        EXPECT_EQ(totals->writes.linesNotWritten, 0u) << *database;
        EXPECT_EQ(TotalPoints(*database), static_cast<long>(node->rawRecords + node->summaryRecords))
            << *database << testsupport::PointsByName(*database);
    }
    EXPECT_EQ(totalsT.writes.linesNotWritten, 0u);
    for (int kind = 0; kind < kTableKindCount; ++kind)
        EXPECT_EQ(CountPoints(tables, kRetentionPolicy[kind], kMeasurement[kind]),
                  static_cast<long>(nodeA.tableSamples[kind]))
            << kMeasurement[kind];

    // Every log line whole: no line was cut into by another thread's.
    const std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}: INFO  : .*)");
    std::ifstream log(m_dir / "Logs" / "Quarvel.log");
    int lines = 0;
    int completed = 0;
    for (std::string line; std::getline(log, line); ++lines) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
        completed += line.ends_with(": Conversion completed");
    }
    EXPECT_GT(lines, nodeA.files + nodeB.files);
    EXPECT_EQ(completed, 2) << "each data-log conversion logs its end once";
}

}  // namespace
