// The data-log conversion against a real InfluxDB server and real files.

#include "ChildProcess.h"
#include "InfluxServer.h"
#include "RecordedProgress.h"
#include "SampleNodes.h"
#include "Samples.h"
#include "ScratchDir.h"
#include "datalog/DataLogConverter.h"
#include "logging/Logging.h"
#include "platform/FindFile.h"
#include "sample/SampleNode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <bit>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace quarvel;

namespace {

using testsupport::Contains;
using testsupport::CountPoints;
using testsupport::SampleAround;
using testsupport::SelectAll;
using testsupport::WriteDat;

std::vector<LogSample> Records(int count, int32_t firstTime = 1600000000) {
    std::vector<LogSample> records;
    for (int i = 0; i < count; ++i) records.push_back(SampleAround(firstTime + i, static_cast<float>(i) / 4));
    return records;
}

class DataLogConversion : public ServerTest {
protected:
    void ServerSetUp() override {
        database = NewDatabase("Ry_datalog");
        target.baseUrl = url;
        // Posts go to the real server; their order and first tag are kept for the checks.
        // Several jobs post at once.
        target.post = [this](const std::string& address, const std::string& body) {
            const size_t name = body.find(",name=");
            {
                std::lock_guard lock(postsMutex);
                posts.push_back({address, body.substr(name + 6, body.find(' ') - name - 6)});
            }
            return HttpPost(address, body);
        };
        data = m_dir / "Log";
        fs::create_directories(data);
    }
    ConversionTotals Convert(testsupport::RecordedProgress& list) {
        DataLogConverter converter(data.string(), database, list, target);
        converter.ConvertAll();
        return converter.Totals();
    }

    struct Post {
        std::string url;
        std::string firstTag;
    };
    std::string database;
    InfluxTarget target;
    std::mutex postsMutex;
    std::vector<Post> posts;
    fs::path data;
};

TEST_F(DataLogConversion, SubFoldersAreConvertedOneAfterTheOther) {
    WriteDat(data / "A" / "TA1$0001X.DAT", Records(3), kRawSampleSize);
    WriteDat(data / "A" / "TA2$0002M.DAT", Records(2), kSummarySampleSize);
    WriteDat(data / "B" / "TB1$0003H.DAT", Records(4), kSummarySampleSize);
    WriteDat(data / "B" / "TB2$0004D.DAT", Records(5), kSummarySampleSize);
    testsupport::RecordedProgress list;
    int boxes = 0;
    list.onEnded = [&boxes](const std::string& text) {
        EXPECT_EQ(text, "Conversion completed");
        ++boxes;
    };
    const ConversionTotals totals = Convert(list);

    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(totals.filesConverted, 4);
    EXPECT_EQ(totals.writes.linesWritten, 14u);
    ASSERT_EQ(posts.size(), 4u);
    // Whichever sub-folder the listing gives first is converted whole before the other.
    const char first = posts[0].firstTag[1];
    EXPECT_EQ(posts[1].firstTag[1], first);
    EXPECT_NE(posts[2].firstTag[1], first);
    EXPECT_EQ(posts[3].firstTag[1], posts[2].firstTag[1]);

    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 3);
    EXPECT_EQ(CountPoints(database, "RP_Min", "datalogM"), 2);
    EXPECT_EQ(CountPoints(database, "RP_Hour", "datalogH"), 4);
    EXPECT_EQ(CountPoints(database, "RP_Day", "datalogD"), 5);
    auto rows = SelectAll(database, "RP_Sec", "datalogX");
    EXPECT_EQ(rows[0]["name"], "TA1");
    EXPECT_EQ(rows[0]["time"], 1600000000 - 28800);
}

TEST_F(DataLogConversion, FilesThatAreNoDataLogFilesAreSkipped) {
    const std::string longName(32, 'L');
    struct Case {
        fs::path file;
        const char* tag;
        const char* progressLine;  // the line saying why, if any
    } cases[] = {
        {data / "G" / "LOWER$0001m.DAT", "LOWER", nullptr},
        {data / "G" / "OTHER$0001Q.DAT", "OTHER", nullptr},
        {data / "ROOT$0001X.DAT", "ROOT", nullptr},
        {data / "G" / "DEEPER" / "DEEP$0001X.DAT", "DEEP", nullptr},
        {data / "G" / "NODOLLARX.DAT", "NODOLLARX", "Skipped NODOLLARX.DAT: no \"$\" in the file name"},
        {data / "G" / (longName + "$1X.DAT"), longName.c_str(), "tag name longer than 31 characters"},
    };
    for (const auto& c : cases) WriteDat(c.file, Records(3), kRawSampleSize);
    // Nobody writes to it: the walk must not wait for a writer.
    ASSERT_EQ(mkfifo((data / "G" / "PIPE$0001X.DAT").c_str(), 0600), 0);
    fs::create_directory(data / "G" / "DIR$0001X.DAT");

    testsupport::RecordedProgress list;
    const ConversionTotals totals = Convert(list);
    const std::vector<std::string> lines = list.Told();

    EXPECT_EQ(totals.filesConverted, 0);
    EXPECT_EQ(totals.filesSkipped, 6) << "the two files outside the sub-folders are never met";
    EXPECT_TRUE(totals.unreadable.empty());
    for (const char* irregular :
         {"Skipped PIPE$0001X.DAT: not a regular file", "Skipped DIR$0001X.DAT: not a regular file"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), irregular), lines.end()) << irregular;
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 0);
    for (const auto& c : cases) {
        if (c.progressLine == nullptr) continue;
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(c.progressLine) != std::string::npos;
        })) << c.progressLine;
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DEEPER"), 0) << "only the first level is walked";
}

TEST_F(DataLogConversion, FileNamesMatchWithoutRegardToCaseButKindLettersExactly) {
    WriteDat(data / "G" / (std::string(31, 'K') + "$1X.dat"), Records(2), kRawSampleSize);
    WriteDat(data / "G" / "EMPTYNAME.dat", Records(1), kRawSampleSize);   // no "$": skipped
    WriteDat(data / "G" / "$0001M.Dat", Records(2), kSummarySampleSize);  // empty tag name
    // Dots and dollars of the folders above play no part in the name.
    data = m_dir / "D$.1X" / "Log";
    WriteDat(data / "s$x" / "PUMP$0001H.DAT", Records(3), kSummarySampleSize);
    fs::create_directories(data / "G");
    for (const auto& entry : fs::directory_iterator(m_dir / "Log" / "G"))
        fs::copy(entry.path(), data / "G" / entry.path().filename(), fs::copy_options::recursive);
    testsupport::RecordedProgress list;
    const ConversionTotals totals = Convert(list);
    EXPECT_EQ(totals.filesConverted, 3);
    EXPECT_EQ(SelectAll(database, "RP_Hour", "datalogH").at(0)["name"], "PUMP");
    auto raw = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[0]["name"], std::string(31, 'K'));
    auto minute = SelectAll(database, "RP_Min", "datalogM");
    ASSERT_EQ(minute.size(), 2u);
    EXPECT_TRUE(minute[0]["name"].is_null()) << "an empty name leaves the tag out";
}

TEST_F(DataLogConversion, PartialTrailingRecordIsIgnored) {
    WriteDat(data / "G" / "HALF$0001H.DAT", Records(2), kSummarySampleSize, 1);  // 45 bytes
    WriteDat(data / "G" / "TINY$0001X.DAT", {}, kRawSampleSize, 9);              // shorter than a record
    WriteDat(data / "G" / "ZERO$0001D.DAT", {}, kSummarySampleSize);             // empty
    testsupport::RecordedProgress list;
    const ConversionTotals totals = Convert(list);
    EXPECT_EQ(CountPoints(database, "RP_Hour", "datalogH"), 2);
    EXPECT_EQ(totals.records, 2u);
    EXPECT_EQ(posts.size(), 1u) << "files without a whole record post nothing";
}

TEST_F(DataLogConversion, TwoAndAHalfBatchesMakeThreePostsAndTheNextFileJoinsTheLast) {
    WriteDat(data / "G" / "BIG$0001X.DAT", Records(25000), kRawSampleSize);
    WriteDat(data / "G" / "NEXT$0001X.DAT", Records(10), kRawSampleSize);
    testsupport::RecordedProgress list;
    Convert(list);
    size_t bigPosts = 0;
    for (const auto& p : posts) bigPosts += p.firstTag == "BIG";
    EXPECT_EQ(bigPosts, 3u);
    EXPECT_EQ(posts.size(), 3u) << "the next file's lines go with the last half batch";
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 25010);
}

TEST_F(DataLogConversion, ProgressLinesAndLog) {
    WriteDat(data / "G" / "T1$0001X.DAT", Records(1), kRawSampleSize);
    WriteDat(data / "G" / "T2$0001X.DAT", Records(1), kRawSampleSize);
    InitLogging();
    testsupport::RecordedProgress list;
    Convert(list);
    ShutdownLogging();

    // Newest line at the top; each file's full path was appended at the bottom.
    const std::vector<std::string> lines = list.Lines();
    const std::string root = data.string() + "/";
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "Conversion completed");
    EXPECT_EQ(lines[3], root + "G/*.DAT");
    EXPECT_EQ(lines[4], "G");
    EXPECT_EQ(lines[5], root + "*.*");
    EXPECT_EQ(lines[6], "Start conversion");
    const std::string first = lines[2];  // file names in listing order
    const std::string second = lines[1];
    EXPECT_EQ(lines[7], root + "G/" + first);
    EXPECT_EQ(lines[8], root + "G/" + second);

    // The log has the progress lines in order, not the appended paths.
    std::vector<std::string> logged;
    std::ifstream log(m_dir / "Logs" / "Quarvel.log");
    for (std::string line; std::getline(log, line);) logged.push_back(line.substr(line.find("INFO  : ") + 8));
    const std::vector<std::string> expected = {
        "Start conversion", root + "*.*", "G", root + "G/*.DAT", first, second, "Conversion completed"};
    EXPECT_EQ(logged, expected);
}

// A file is done once its lines are posted, which may be after later files' name lines.
TEST_F(DataLogConversion, EveryFileIsToldDoneAfterItsNameLine) {
    for (int i = 0; i < 26; ++i)
        WriteDat(data / "G" / ("T" + std::to_string(i) + "$0001X.DAT"), Records(1), kRawSampleSize);
    testsupport::RecordedProgress list;
    std::vector<std::string> namesBeforeDone;
    list.onFileDone = [&](const std::string& path, const ConversionTotals& totals) {
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_NE(std::find(list.Told().begin(), list.Told().end(), name), list.Told().end()) << name;
        namesBeforeDone.push_back(name);
        EXPECT_EQ(totals.filesConverted, static_cast<int>(namesBeforeDone.size()));
    };
    Convert(list);

    EXPECT_EQ(namesBeforeDone.size(), 26u);
    EXPECT_EQ(list.Told().size(), 31u);
    EXPECT_EQ(list.Told().back(), "Conversion completed");
}

TEST_F(DataLogConversion, LostLinesAreReportedAtTheEnd) {
    WriteDat(data / "G" / "T1$0001X.DAT", Records(3), kRawSampleSize);
    WriteDat(data / "G" / "T2$0001M.DAT", Records(2), kSummarySampleSize);
    WriteDat(data / "G" / "T3\\$0001X.DAT", Records(2), kRawSampleSize);  // a name line protocol cannot carry
    testsupport::DropDatabase(database);                                  // every post now fails with 404
    InitLogging();
    testsupport::RecordedProgress list;
    const ConversionTotals totals = Convert(list);
    ShutdownLogging();
    ASSERT_EQ(list.Ended().size(), 1u);
    const std::string box = list.Ended()[0];

    EXPECT_EQ(totals.writes.linesNotWritten, 7u);
    EXPECT_EQ(totals.filesWithLoss, 3);
    EXPECT_EQ(box, "Conversion completed, but 7 lines were not written (see Logs/Quarvel.log)");
    EXPECT_EQ(list.Lines()[0], box);
    const std::string log = ReadFile(m_dir / "Logs" / "Quarvel.log");
    EXPECT_NE(log.find("T1$0001X.DAT: 3 lines not written"), std::string::npos) << log;
    EXPECT_NE(log.find("T2$0001M.DAT: 2 lines not written"), std::string::npos) << log;
    EXPECT_NE(log.find("Tag \"T3\\\" cannot be carried"), std::string::npos) << log;
    EXPECT_EQ(log.find("cannot be carried", log.find("cannot be carried") + 1), std::string::npos)
        << "said once, not per sample";
    EXPECT_NE(log.find("HTTP 404"), std::string::npos) << log;
    database.clear();
}

TEST_F(DataLogConversion, MissingFolderStillEndsWithTheMessageBox) {
    data = m_dir / "nowhere";
    testsupport::RecordedProgress list;
    Convert(list);
    EXPECT_EQ(list.Ended().size(), 1u);
    const std::vector<std::string> expected = {"Conversion completed", (data / "*.*").string(), "Start conversion"};
    EXPECT_EQ(list.Lines(), expected);
}

TEST_F(DataLogConversion, RecordsWithoutValueAreShownOnTheDebugScreen) {
    LogSample noValue = SampleAround(28800, 0);
    noValue.value = std::bit_cast<float>(0xFFFFFFFFu);
    LogSample wrapped = SampleAround(0, 0);
    wrapped.value = std::bit_cast<float>(0xFFFFFFFEu);
    WriteDat(data / "G" / "NV$0001X.DAT", {noValue, SampleAround(1600000000, 1.0f), wrapped}, kRawSampleSize);
    LogSample maxOnly = SampleAround(1600000000, 2.0f);
    maxOnly.max = std::bit_cast<float>(0xFFFFFFFFu);
    WriteDat(data / "G" / "MX$0001M.DAT", {maxOnly}, kSummarySampleSize);

    testsupport::Child screen = testsupport::Spawn(QUARVEL_DEBUG_SCREEN_TOOL, {"--count", "2"});
    ASSERT_NE(testsupport::ReadUntil(screen.err, testsupport::HasLine).find("listening on"), std::string::npos);
    testsupport::RecordedProgress list;
    Convert(list);
    const std::string shown = testsupport::ReadUntil(screen.out, [](const std::string&) { return false; });
    EXPECT_EQ(testsupport::Finish(screen), 0);

    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(shown, "pid=" + pid + " message=0x0400 size=1024 text=\"\\r\\n 28800 : 1970/01/01 00:00:00 = -1\"\n" +
                         "pid=" + pid + " message=0x0400 size=1024 text=\"\\r\\n 0 : 2106/02/06 22:28:16 = -2\"\n");
    // They are converted like any other record.
    auto rows = SelectAll(database, "RP_Sec", "datalogX");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0]["quality"], -2);
    EXPECT_EQ(rows[1]["quality"], -1);
    EXPECT_EQ(CountPoints(database, "RP_Min", "datalogM"), 1);
}

TEST_F(DataLogConversion, AStopRequestEndsTheWalkAfterTheCurrentFile) {
    for (int i = 0; i < 4; ++i)
        WriteDat(data / "G" / ("T" + std::to_string(i) + "$0001X.DAT"), Records(15000), kRawSampleSize);
    testsupport::RecordedProgress list;
    // The request arrives with the first post, in the middle of the first file.
    DataLogConverter* running = nullptr;
    InfluxTarget stopping = target;
    stopping.post = [&running, post = target.post](const std::string& address, const std::string& body) {
        running->RequestStop();
        return post(address, body);
    };
    DataLogConverter converter(data.string(), database, list, stopping);
    running = &converter;
    converter.ConvertAll();

    EXPECT_TRUE(converter.Stopped());
    EXPECT_EQ(list.Ended().size(), 0u);
    EXPECT_EQ(converter.Totals().filesConverted, 1);
    EXPECT_EQ(CountPoints(database, "RP_Sec", "datalogX"), 15000) << "the file under way is posted whole";
    EXPECT_EQ(list.Lines()[0], "Conversion stopped after 1 files");
}

// Files one by one, each with a writer of its own, store what one job or several store
// when the lines of many small files share posts.
TEST_F(DataLogConversion, SeveralJobsWriteExactlyWhatOneJobWrites) {
    SampleNodeOptions options;
    options.tags = 40;
    options.rawStepSeconds = 600;  // 144 raw records a file
    SampleNodeResult made;
    std::string error;
    ASSERT_TRUE(MakeSampleNode((m_dir / "Node_J").string(), options, made, error)) << error;
    const std::string fileByFile = database;
    {
        testsupport::RecordedProgress list;
        DataLogConverter converter(made.dataLogFolder, fileByFile, list, target);
        WalkDataLogFolder(made.dataLogFolder,
                          [&converter](const std::string& folder, const std::vector<std::string>& names) {
                              for (const std::string& name : names) converter.ConvertDatFile(folder + name);
                          });
        ASSERT_EQ(converter.Totals().filesConverted, made.files);
        ASSERT_GE(posts.size(), static_cast<size_t>(made.files));
        posts.clear();
    }
    for (const int jobs : {1, 3}) {
        const std::string shared = testsupport::UniqueDatabaseName("Ry_jobs");
        testsupport::CreateDatabaseWithPolicies(shared);
        testsupport::RecordedProgress list;
        DataLogConverter converter(made.dataLogFolder, shared, list, target);
        converter.SetJobs(jobs);
        converter.ConvertAll();
        EXPECT_EQ(converter.Totals().writes.linesWritten, made.rawRecords + made.summaryRecords) << jobs;
        EXPECT_EQ(converter.Totals().filesConverted, made.files) << jobs;
        EXPECT_LT(posts.size(), static_cast<size_t>(made.files / 4)) << "small files share posts";
        for (int kind = 0; kind < kTableKindCount; ++kind)
            EXPECT_EQ(SelectAll(shared, kRetentionPolicy[kind], kMeasurement[kind]),
                      SelectAll(fileByFile, kRetentionPolicy[kind], kMeasurement[kind]))
                << kMeasurement[kind] << ", " << jobs << " jobs";
        testsupport::DropDatabase(shared);
        posts.clear();
    }
}

// The job writers go on from sub-folder to sub-folder; a tag and kind met again, in a later
// sub-folder or in the same one under another number, keeps the order of reading, even when
// the earlier file's post is slow and another job's writer could carry the later one's lines.
TEST_F(DataLogConversion, ATagReadAgainOverwritesTheEarlierTimes) {
    for (const auto& files : {std::vector<std::string>{"A/T$0001X.DAT", "B/T$0001X.DAT"},
                              std::vector<std::string>{"C/T$0001X.DAT", "C/T$0002X.DAT"}}) {
        fs::remove_all(data);
        std::map<std::string, float> values;  // by sub-folder and name
        for (const std::string& file : files) {
            values[file] = 100.5f + static_cast<float>(values.size());
            WriteDat(data / file, {SampleAround(1600000000, values[file])}, kRawSampleSize);
        }
        std::vector<float> read;  // in the order of the walk
        WalkDataLogFolder(data.string(), [&](const std::string& folder, const std::vector<std::string>& names) {
            for (const std::string& name : names)
                read.push_back(values.at(fs::path(folder).parent_path().filename().string() + "/" + name));
        });
        ASSERT_EQ(read.size(), 2u);
        InfluxTarget slowFirst = target;
        slowFirst.post = [first = "value=" + std::to_string(read[0]).substr(0, 5), post = target.post](
                             const std::string& address, const std::string& body) {
            if (Contains(body, first)) std::this_thread::sleep_for(std::chrono::milliseconds(150));
            return post(address, body);
        };
        for (int run = 0; run < 4; ++run) {  // which job takes which file varies
            testsupport::RecordedProgress list;
            DataLogConverter converter(data.string(), database, list, slowFirst);
            converter.SetJobs(2);
            converter.ConvertAll();
            EXPECT_EQ(SelectAll(database, "RP_Sec", "datalogX").at(0)["value"], read[1]) << files[0];
        }
    }
}

// Records [from, to) come in order, in pieces of whole records however the pieces fall.
TEST(DataLogFileReader, ReadsFromAnyRecordOnInPiecesOfWholeRecords) {
    ScratchDir scratch("quarvel-test");
    const uint64_t perPiece = DataLogFile::kPieceBytes / kRawSampleSize, all = perPiece + 5;
    const fs::path path = scratch.Path() / "BIG$0001X.DAT";
    WriteDat(path, Records(static_cast<int>(all)), kRawSampleSize, 3);  // and a cut record
    // From, to, records, pieces.
    const uint64_t cases[][4] = {
        {0, UINT64_MAX, all, 2}, {7, all, all - 7, 1}, {perPiece - 1, perPiece + 2, 3, 1}, {0, 1, 1, 1},
        {all, all, 0, 0},
    };
    for (const auto& [from, to, records, pieces] : cases) {
        DataLogFile file;
        ASSERT_TRUE(file.Open(path.string(), kRaw));
        EXPECT_EQ(file.Records(), all);
        uint64_t next = from, told = 0, wrong = 0;
        EXPECT_TRUE(file.Read(from, to, [&](const char* piece, size_t count) {
            ++told;
            for (size_t i = 0; i < count; ++i, ++next)
                wrong += static_cast<uint64_t>(reinterpret_cast<const LogSample*>(piece + i * kRawSampleSize)->time) !=
                         1600000000 + next;
        }));
        EXPECT_EQ(std::vector<uint64_t>({next - from, told, wrong}), std::vector<uint64_t>({records, pieces, 0}))
            << from;
    }
}

TEST(DatFileName, TagAndKindComeFromTheFileName) {
    struct Case {
        const char* path;
        int kind;
        const char* tag;
        bool usable;
    } cases[] = {
        {"/d/G/FLOW$0001M.DAT", kMinute, "FLOW", true},
        {"/d/G/FLOW$0001m.DAT", -1, "", false},
        {"/d/G/FLOW$0001Q.DAT", -1, "", false},
        {"/d/G/$0001X.DAT", kRaw, "", true},
        {"/d/G/A$B$0001H.DAT", kHour, "A", true},
        {"/d$x/G/FLOW0001D.DAT", kDay, "", false},  // a "$" in a folder name is none of the file's
        {"/d$x/G/FLOW$0001D.DAT", kDay, "FLOW", true},
        {"/d/G.X.D/FLOW$0001", -1, "", false},  // nor is a "." of a folder
        {"/d/G/NAME.X.DAT", kRaw, "", false},   // the letter before the last "."
    };
    for (const auto& c : cases) {
        const DatFileName parsed = ParseDatFileName(c.path);
        EXPECT_EQ(parsed.kind, c.kind) << c.path;
        if (c.kind < 0) continue;
        EXPECT_EQ(parsed.problem == nullptr, c.usable) << c.path;
        EXPECT_EQ(parsed.tagName, c.tag) << c.path;
    }
}

}  // namespace
