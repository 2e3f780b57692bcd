// The resume journal on real files, and both converters resuming against the real
// InfluxDB server: what was stored is skipped, what grew posts its new part, what changed
// or failed goes whole.

#include "InfluxServer.h"
#include "RecordedProgress.h"
#include "SampleNodes.h"
#include "ScratchDir.h"
#include "conversion/Journal.h"
#include "datalog/DataLogConverter.h"
#include "rtdb/RtdbConverter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <mutex>
#include <numeric>
#include <regex>
#include <thread>

using namespace quarvel;

namespace {

using testsupport::CountPoints;

std::set<std::string> JournalPaths(const std::string& database) {
    std::set<std::string> paths;
    std::ifstream in(Journal::PathFor(database));
    const std::regex fields("^(R \\S+ \\S+ \\S+|T \\S+ \\S+|\\S+) \\S+ ");
    for (std::string line; std::getline(in, line);) paths.insert(std::regex_replace(line, fields, ""));
    return paths;
}

bool Holds(const Journal& journal, const FileStamp& stamp) {
    const auto entry = journal.Find(stamp.path);
    return entry && entry->Stamped(stamp);
}

void Touch(const fs::path& path) {
    const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class JournalFile : public ScratchDirTest {};

TEST_F(JournalFile, SizeAndModificationTimeTellAChangedFile) {
    const fs::path file = WriteFile("d/a.DAT", "0123456789");
    Journal journal;
    std::string error;
    ASSERT_TRUE(journal.Open("Ry_stamps", false, error)) << error;
    const auto stamp = FileStamp::Of(file.string());
    ASSERT_TRUE(stamp);
    ASSERT_TRUE(journal.Record(*stamp));
    // The same file by another name of its path is the same entry, also when its folder
    // was resolved beforehand; a link in that folder is the file it points to.
    EXPECT_TRUE(Holds(journal, *FileStamp::Of((m_dir / "d" / ".." / "d" / "a.DAT").string())));
    const std::string folder = FileStamp::ResolvedFolder((m_dir / "d" / "..").string());
    EXPECT_EQ(FileStamp::Of((m_dir / "a.DAT").string(), folder), std::nullopt);
    EXPECT_EQ(*FileStamp::Of((m_dir / "d" / "a.DAT").string(), folder + "d/"), *stamp);
    fs::create_symlink(file, m_dir / "link.DAT");
    EXPECT_EQ(*FileStamp::Of((m_dir / "link.DAT").string(), folder), *stamp);
    Touch(file);
    EXPECT_FALSE(Holds(journal, *FileStamp::Of(file.string()))) << "a new modification time";
    WriteFile("d/b.DAT", "0123456789");
    const auto other = FileStamp::Of((m_dir / "d" / "b.DAT").string());
    EXPECT_FALSE(Holds(journal, *other)) << "another path";
    EXPECT_FALSE(FileStamp::Of((m_dir / "d").string())) << "a folder is no file";
    EXPECT_FALSE(FileStamp::Of((m_dir / "gone").string()));
}

TEST_F(JournalFile, EntriesSurviveAReopenOnlyWhenResuming) {
    FileStamp odd{"/data/line\nbreak and \\ back slash$0001X.DAT", 10, -5};
    FileStamp plain{"/data/T$0002M.DAT", 44, 1700000000123456789};
    {
        Journal journal;
        std::string error;
        ASSERT_TRUE(journal.Open("Ry_J", false, error)) << error;
        ASSERT_TRUE(journal.Record(odd));
        ASSERT_TRUE(journal.Record(plain));
    }
    Journal resumed;
    std::string error;
    ASSERT_TRUE(resumed.Open("Ry_J", true, error)) << error;
    EXPECT_EQ(resumed.Entries(), 2u);
    EXPECT_TRUE(Holds(resumed, odd));
    EXPECT_TRUE(Holds(resumed, plain));
    EXPECT_FALSE(Holds(resumed, FileStamp{plain.path, plain.size + 1, plain.mtimeNs}));

    Journal fresh;
    ASSERT_TRUE(fresh.Open("Ry_J", false, error)) << error;
    EXPECT_EQ(fresh.Entries(), 0u);
    EXPECT_EQ(ReadFile(Journal::PathFor("Ry_J")), "") << "a run without resume starts a fresh journal";
}

TEST_F(JournalFile, ALineCutShortByACrashIsDroppedAndTheNextStandsAlone) {
    const std::string path = Journal::PathFor("Ry_cut");
    fs::create_directories(fs::path(path).parent_path());
    const std::string lines =
        "10 5 /a$1X.DAT\nnot an entry\n-3 5 /neg$1X.DAT\nR 1 2 x 00 /r$1X.DAT\nT 1 2 3:x /t.rdb\n";
    std::ofstream(path, std::ios::binary) << lines << "22 7 /b$1M.D";
    Journal journal;
    std::string error;
    ASSERT_TRUE(journal.Open("Ry_cut", true, error)) << error;
    EXPECT_EQ(journal.Entries(), 1u);
    EXPECT_TRUE(Holds(journal, FileStamp{"/a$1X.DAT", 10, 5}));
    EXPECT_EQ(journal.Find("/a$1X.DAT")->form, JournalEntry::Form::kWhole) << "an older line: stored whole";
    ASSERT_TRUE(journal.Record(FileStamp{"/c$1H.DAT", 3, 4}));
    // A write cut short (here by a limit on the file's size) leaves no part of its line.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit cut{fs::file_size(path) + 3, limit.rlim_max};
    const auto handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &cut), 0);
    const bool recorded = journal.Record(FileStamp{"/cut$1H.DAT", 1, 2});
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, handler);
    EXPECT_FALSE(recorded);
    ASSERT_TRUE(journal.Record(FileStamp{"/d$1H.DAT", 5, 6}));
    EXPECT_EQ(ReadFile(path), lines + "3 4 /c$1H.DAT\n5 6 /d$1H.DAT\n");
}

// Files recorded again and again, the two together as files one post finished: the
// journal is rewritten with the newest entry of each, again and again, also when it began
// with a line longer than the one its entry is rewritten as.
TEST_F(JournalFile, CompactionKeepsTheNewestEntryOfEachPath) {
    fs::create_directories(fs::path(Journal::PathFor("Ry_compact")).parent_path());
    std::ofstream(Journal::PathFor("Ry_compact")) << std::string(200, '0') << "9 1 /n/c$1X.DAT\n";
    Journal journal;
    std::string error;
    ASSERT_TRUE(journal.Open("Ry_compact", true, error)) << error;
    JournalEntry entry;
    entry.form = JournalEntry::Form::kRecords;
    for (entry.records = 1; entry.records <= 12000; ++entry.records) {
        std::vector<Journal::Recorded> together{{FileStamp{"/n/a$1X.DAT", 9, 1}, entry},
                                                {FileStamp{"/n/b$1X.DAT", 9, 1}, {}}};
        if (entry.records == 6000) together.push_back({FileStamp{"/n/c$1X.DAT", 9, 1}, {}});  // once compacted
        ASSERT_TRUE(journal.Record(std::move(together)));
    }
    EXPECT_LT(fs::file_size(Journal::PathFor("Ry_compact")), 256u << 10) << "about 680 KiB were appended";
    Journal again;
    ASSERT_TRUE(again.Open("Ry_compact", true, error)) << error;
    EXPECT_EQ(again.Entries(), 3u);
    EXPECT_EQ(again.Find("/n/a$1X.DAT").value_or(JournalEntry{}).records, 12000u);
}

TEST_F(JournalFile, EachDatabaseHasASafeFileOfItsOwn) {
    const std::string longA = "Ry_" + std::string(300, 'a');
    const std::string longB = "Ry_" + std::string(299, 'a') + "b";
    const std::vector<std::string> names = {"Ry_Plant_1",      "Ry_../../etc", "Ry_a/b", "Ry_a%2Fb", ".",
                                            "Ry_\xE4\xB8\xAD", longA,          longB,    ""};
    std::set<std::string> files;
    for (const std::string& name : names) {
        const fs::path file = Journal::PathFor(name);
        SCOPED_TRACE(file.string());
        EXPECT_EQ(file.parent_path(), fs::path("Logs/journal"));
        EXPECT_LE(file.filename().string().size(), 255u);
        Journal journal;
        std::string error;
        ASSERT_TRUE(journal.Open(name, false, error)) << error;
        EXPECT_TRUE(fs::is_regular_file(file));
        files.insert(file.string());
    }
    EXPECT_EQ(files.size(), names.size());
    // A journal on disk bears this name: cut before an escape, with the hash of the whole.
    EXPECT_EQ(Journal::PathFor("Ry_" + std::string(158, 'a') + std::string(40, '/')),
              "Logs/journal/Ry_" + std::string(158, 'a') + "~55aadda936b18f57.journal");
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "Logs" / "journal"), fs::directory_iterator{}),
              static_cast<long>(names.size()));
}

TEST_F(JournalFile, ThreadsRecordingAtOnceLoseNoEntry) {
    Journal journal;
    std::string error;
    ASSERT_TRUE(journal.Open("Ry_threads", false, error)) << error;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&journal, t] {
            for (int i = 0; i < 25; ++i) journal.Record(FileStamp{"/f" + std::to_string(t * 100 + i), 1, 2});
        });
    for (auto& thread : threads) thread.join();
    Journal again;
    ASSERT_TRUE(again.Open("Ry_threads", true, error)) << error;
    EXPECT_EQ(again.Entries(), 100u);
}

// Conversions into the real server; posts are counted per file tag.
class Resume : public ServerTest {
protected:
    void ServerSetUp() override {
        database = NewDatabase("Ry_resume");
        made = testsupport::MakeSmallSampleNode((m_dir / "Node_R").string(), 3, 2);
        target.baseUrl = url;
        target.post = [this](const std::string& address, const std::string& body) {
            ++posts;
            std::this_thread::sleep_for(delay);  // a slow server: the posts of a writer overlap
            if (!refuse.empty() && body.find("name=" + refuse + " ") != std::string::npos) {
                HttpResult refused;
                refused.status = 400;
                refused.error = "refused by the test";
                return refused;
            }
            return HttpPost(address, body);
        };
    }

    // Either converter with the journal of its database, resuming or not; stopped after `stopAfter` files.
    ConversionTotals Convert(Converter& converter, const std::string& into, bool resume, int stopAfter = 0) {
        Journal journal;
        std::string error;
        EXPECT_TRUE(journal.Open(into, resume, error)) << error;
        converter.SetJournal(&journal);
        list.onFileDone = [&converter, stopAfter](const std::string&, const ConversionTotals& totals) {
            if (stopAfter > 0 && totals.filesConverted >= stopAfter) converter.RequestStop();
        };
        converter.ConvertAll();
        list.onFileDone = nullptr;
        return converter.Totals();
    }
    ConversionTotals ConvertDataLog(bool resume, int jobs = 4, int stopAfter = 0) {
        DataLogConverter converter(made.dataLogFolder, database, list, target);
        converter.SetJobs(jobs);
        return Convert(converter, database, resume, stopAfter);
    }
    ConversionTotals ConvertTables(bool resume, const std::string& into, int jobs = 1) {
        RtdbConverter converter(made.dataLogFolder, into, list, target);
        converter.SetJobs(jobs);
        return Convert(converter, into, resume);
    }
    // A fresh database with the node converted whole into it.
    std::string WholeCopy(bool tables) {
        const std::string copy = NewDatabase("Ry_whole");
        if (tables) return ConvertTables(false, copy), copy;
        DataLogConverter converter(made.dataLogFolder, copy, list, target);
        Convert(converter, copy, false);
        return copy;
    }
    // Each kind's points of both databases alike, in any order; `keys`: their times and names alone.
    static void ExpectSamePoints(const std::string& one, const std::string& other, bool keys = false) {
        const auto points = [keys](const std::string& database, int kind) {
            std::multiset<std::string> all;
            for (const auto& row : testsupport::SelectAll(database, kRetentionPolicy[kind], kMeasurement[kind]))
                all.insert(keys ? row["time"].dump() + row["name"].dump() : row.dump());
            return all;
        };
        for (int kind = 0; kind < kTableKindCount; ++kind)
            EXPECT_TRUE(points(one, kind) == points(other, kind)) << kMeasurement[kind];
    }

    long Points() const { return testsupport::CountAllPoints(database); }
    long Records() const { return static_cast<long>(made.rawRecords + made.summaryRecords); }
    // Each progress line as it was shown.
    size_t Shown(const std::string& line) const {
        const std::vector<std::string> lines = list.Told();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    std::string database;
    SampleNodeResult made;
    InfluxTarget target;
    std::atomic<int> posts{0};
    std::string refuse;  // the tag whose posts the server refuses
    std::chrono::milliseconds delay{0};
    testsupport::RecordedProgress list;
};

TEST_F(Resume, AResumedRunPostsWhatIsNewAndConvertsWhatChangedWhole) {
    // A file linked from elsewhere is journaled under the path it links to, and resumed too.
    const fs::path linked = fs::path(made.dataLogFolder) / "Group2" / "LEVEL_04$0004M.DAT";
    const fs::path elsewhere = fs::canonical(made.dataLogFolder).parent_path() / linked.filename();
    fs::rename(linked, elsewhere);
    fs::create_symlink(elsewhere, linked);
    const ConversionTotals first = ConvertDataLog(false);
    ASSERT_EQ(first.filesConverted, made.files);
    EXPECT_EQ(JournalPaths(database).size(), static_cast<size_t>(made.files));
    EXPECT_EQ(JournalPaths(database).count(fs::canonical(elsewhere).string()), 1u);

    posts = 0;
    const ConversionTotals again = ConvertDataLog(true);
    EXPECT_EQ(posts, 0);
    EXPECT_EQ(again.filesConverted, 0);
    EXPECT_EQ(again.filesResumed, made.files);
    EXPECT_EQ(again.filesSkipped, 0) << "resumed files are not counted as skipped";
    EXPECT_EQ(Shown("Already converted: LEVEL_04$0004M.DAT"), 1u);

    // Every file grows, behind a journal of the older form (files stored whole as large as they
    // were): the resumed run posts the new records alone, and ends as a whole conversion would.
    const std::string older =
        std::regex_replace(ReadFile(Journal::PathFor(database)), std::regex("R (\\S+ \\S+) \\S+ \\S+ "), "$1 ");
    std::ofstream(Journal::PathFor(database), std::ios::binary) << older;
    for (const auto& entry : fs::recursive_directory_iterator(made.dataLogFolder)) {
        const fs::path& file = entry.path();
        if (file.extension() != ".DAT") continue;
        const size_t size = ParseDatFileName(file.string()).kind == kRaw ? kRawSampleSize : kSummarySampleSize;
        std::string record = ReadFile(file).substr(fs::file_size(file) - size);
        for (int i = 0; i < 5; ++i) {
            *reinterpret_cast<int32_t*>(record.data()) += 86400;  // a day on: later than every kind's last
            std::ofstream(file, std::ios::binary | std::ios::app) << record;
        }
    }
    const ConversionTotals grown = ConvertDataLog(true);
    EXPECT_EQ(grown.filesConverted, made.files);
    EXPECT_EQ(grown.writes.linesWritten, 5u * static_cast<uint64_t>(made.files));
    ExpectSamePoints(database, WholeCopy(false));

    // A file rewritten with other records and one cut shorter go whole again; one only
    // touched is skipped.
    const fs::path rewritten = fs::path(made.dataLogFolder) / "Group1" / "FLOW_01$0001D.DAT";
    std::string bytes = ReadFile(rewritten);
    bytes[6] ^= 1;  // the first record's value
    std::ofstream(rewritten, std::ios::binary) << bytes;
    const fs::path cut = fs::path(made.dataLogFolder) / "Group1" / "FLOW_01$0001H.DAT";
    fs::resize_file(cut, fs::file_size(cut) - 3 * kSummarySampleSize);
    Touch(fs::path(made.dataLogFolder) / "Group2" / "LEVEL_04$0004M.DAT");
    const ConversionTotals changed = ConvertDataLog(true);
    EXPECT_EQ(changed.filesConverted, 2);
    EXPECT_EQ(changed.filesResumed, made.files - 2);
    EXPECT_EQ(changed.writes.linesWritten, (bytes.size() + fs::file_size(cut)) / kSummarySampleSize);

    // A run without resume converts everything again, and journals it afresh.
    posts = 0;
    EXPECT_EQ(ConvertDataLog(false).filesConverted, made.files);
    EXPECT_GT(posts, 0);
    EXPECT_EQ(JournalPaths(database).size(), static_cast<size_t>(made.files));
}

TEST_F(Resume, AStoppedRunResumedEndsWithEveryPoint) {
    // Asked to stop once three files are done: the files whose lines wait in the job's
    // batches end too.
    const ConversionTotals stopped = ConvertDataLog(false, 1, 3);
    ASSERT_GE(stopped.filesConverted, 3);
    ASSERT_LT(Points(), Records());
    const ConversionTotals rest = ConvertDataLog(true, 4);
    EXPECT_EQ(rest.filesResumed, stopped.filesConverted);
    EXPECT_EQ(rest.filesConverted, made.files - stopped.filesConverted);
    EXPECT_EQ(Points(), Records());
}

// One post after the other with several jobs, and one job with its posts in flight at once
// where the refused ones end before the slower posts ahead of them. A journaled file whose
// lines a refused post carried would be skipped by the resumed run, and points would lack.
TEST_F(Resume, AFileWithLinesNotWrittenIsConvertedAgain) {
    for (const auto& [maxInFlight, jobs] : {std::pair{1, 4}, std::pair{8, 1}}) {
        SCOPED_TRACE("max in flight " + std::to_string(maxInFlight));
        database = NewDatabase("Ry_resume");
        target.maxInFlight = maxInFlight;
        target.watch->posts.window = maxInFlight;  // as a long link has it: all of them under way
        delay = std::chrono::milliseconds(maxInFlight > 1 ? 20 : 0);
        refuse = "PRESS_02";
        const ConversionTotals first = ConvertDataLog(false, jobs);
        // The tag's X, M, H and D files, and the files whose lines shared a refused post.
        ASSERT_GE(first.filesWithLoss, 4);
        const std::set<std::string> journaled = JournalPaths(database);
        EXPECT_EQ(journaled.size(), static_cast<size_t>(made.files - first.filesWithLoss));
        for (const std::string& path : journaled) EXPECT_EQ(path.find("PRESS_02"), std::string::npos) << path;

        refuse.clear();
        const ConversionTotals second = ConvertDataLog(true, jobs);
        EXPECT_EQ(second.filesConverted, first.filesWithLoss);
        EXPECT_EQ(second.writes.linesNotWritten, 0u);
        EXPECT_EQ(Points(), Records());
    }
}

// With posts in flight the tables share their lanes; a table is journaled only once every
// lane stored all of its lines, and a refused post in one lane keeps it out.
TEST_F(Resume, ATableWithLinesNotWrittenIsExportedAgain) {
    target.maxInFlight = 8;
    target.watch->posts.window = 8;
    delay = std::chrono::milliseconds(20);
    refuse = "PRESS_02";
    const ConversionTotals first = ConvertTables(false, database, 2);
    EXPECT_EQ(first.filesWithLoss, 4);
    EXPECT_TRUE(JournalPaths(database).empty());
    refuse.clear();
    const ConversionTotals second = ConvertTables(true, database, 2);
    EXPECT_EQ(second.filesConverted, 4);
    EXPECT_EQ(second.writes.linesNotWritten, 0u);
    EXPECT_EQ(JournalPaths(database).size(), 4u);
    EXPECT_EQ(Points(),
              static_cast<long>(std::accumulate(made.tableSamples.begin(), made.tableSamples.end(), uint64_t{0})));
}

TEST_F(Resume, TablesResumeWithTheirNewerSamplesAlone) {
    const ConversionTotals first = ConvertTables(false, database);
    ASSERT_EQ(first.filesConverted, 4);
    posts = 0;
    const ConversionTotals again = ConvertTables(true, database);
    EXPECT_EQ(posts, 0);
    EXPECT_EQ(again.filesConverted, 0);
    EXPECT_EQ(again.filesResumed, 4);
    EXPECT_EQ(Shown("Already converted: HistH.rdb"), 1u);

    Touch(fs::path(made.dataLogFolder) / "HistH.rdb");
    const ConversionTotals changed = ConvertTables(true, database);
    EXPECT_EQ(changed.filesConverted, 1);
    EXPECT_EQ(changed.filesResumed, 3);
    const long expected =
        static_cast<long>(std::accumulate(made.tableSamples.begin(), made.tableSamples.end(), uint64_t{0}));
    EXPECT_EQ(Points(), expected);

    // The tables roll, written again to end 1600 s later (whole periods of the raw table's short
    // rows): a resumed export stores the times and names that exporting the old and then the
    // new tables whole stores, posting the later samples alone.
    const std::string copy = WholeCopy(true);
    testsupport::MakeSmallSampleNode((m_dir / "Node_R").string(), 3, 2, SampleNodeOptions{}.endTime + 1600);
    const long before = Points();
    const ConversionTotals rolled = ConvertTables(true, database);
    EXPECT_EQ(rolled.filesConverted, 4);
    ConvertTables(false, copy);
    ExpectSamePoints(database, copy, true);
    EXPECT_EQ(static_cast<long>(rolled.writes.linesWritten), Points() - before);
    EXPECT_EQ(ConvertTables(true, database).filesResumed, 4);
}

}  // namespace
