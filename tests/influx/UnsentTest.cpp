// Unsent-line files on disk: batches come back exactly as saved, whatever the names; a
// crash or a torn record costs at most the record being written; several writers and a
// repost share a file without losing each other's batches.

#include "ScratchDir.h"
#include "influx/Unsent.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <numeric>
#include <set>
#include <thread>

using namespace quarvel;

namespace {

std::string Batch(int number, int lines = 3) {
    std::string body;
    for (int i = 0; i < lines; ++i) {
        if (i > 0) body += '\n';
        body += "datalogX,name=T" + std::to_string(number) + " value=" + std::to_string(i) + ",status=0,quality=0 " +
                std::to_string(1600000000 + i) + "000000000";
    }
    return body;
}

std::string Append(const std::string& body, int lines, const std::string& database = "Ry_Plant_1") {
    std::string path;
    std::string error;
    EXPECT_TRUE(AppendUnsent(kUnsentFolder, database, "RP_Sec", body, lines, path, error)) << error;
    return path;
}

std::vector<std::string> Bodies(const std::string& path, uint64_t* damaged = nullptr) {
    UnsentFile file;
    std::string error;
    EXPECT_TRUE(file.Read(path, error)) << error;
    std::vector<std::string> bodies;
    for (const auto& batch : file.Batches()) bodies.emplace_back(batch.body);
    if (damaged != nullptr) *damaged = file.DamagedBytes();
    return bodies;
}

using UnsentFiles = ScratchDirTest;

TEST_F(UnsentFiles, BatchesComeBackExactlyUnderAHeaderNamingDatabaseAndPolicy) {
    const std::string cut = "Ry_" + std::string(176, 'a');  // where a long name is cut, for the hash
    struct Case {
        std::string database;
        std::string fileName;  // empty: only checked to be one safe name
    } cases[] = {
        {"Ry_Plant_1", "Ry_Plant_1.RP_Sec.lp"},
        {"Ry_a b%c/d.e", "Ry_a%20b%25c%2Fd%2Ee.RP_Sec.lp"},
        {"Ry_\xE4\xB8\xAD\xE6\x96\x87", "Ry_\xE4\xB8\xAD\xE6\x96\x87.RP_Sec.lp"},
        {"Ry_" + std::string(300, '.'), ""},
        // Names of files on disk: cut before an escape or a character; apart by the hash when only the end differs.
        {cut + "." + std::string(30, 'b') + "1", cut + "~2536e9b9e7bfa014.RP_Sec.lp"},
        {cut + "." + std::string(30, 'b') + "2", cut + "~2536ecb9e7bfa52d.RP_Sec.lp"},
        {cut + "\xE4\xB8\xAD" + std::string(30, 'b'), cut + "~ff92398296dfb59c.RP_Sec.lp"},
        {"Ry_line\nbreak", "Ry_line%0Abreak.RP_Sec.lp"},
    };
    // Bodies with the bytes a framing could trip over; verify --repair ends each line with a break.
    const std::vector<std::string> bodies = {Batch(1), "m,name=a\\ b value=1 1", "m value=1 1\n# batch 1 2 x\nm v=2 2",
                                             std::string("m,name=\r\xff value=1 1"), "m value=1 1\nm value=2 2\n"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fileName);
        std::string path;
        for (const auto& body : bodies)
            path = Append(body, static_cast<int>(std::count(body.begin(), body.end(), '\n') + !body.ends_with('\n')),
                          c.database);
        const std::string name = fs::path(path).filename().string();
        if (!c.fileName.empty()) {
            EXPECT_EQ(name, c.fileName);
        }
        EXPECT_LE(name.size(), 255u - 20u);
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(kUnsentFolder));

        UnsentFile file;
        std::string error;
        ASSERT_TRUE(file.Read(path, error)) << error;
        EXPECT_EQ(file.Database(), c.database);
        EXPECT_EQ(file.RetentionPolicy(), "RP_Sec");
        EXPECT_EQ(Bodies(path), bodies);
        EXPECT_EQ(file.DamagedBytes(), 0u);
    }
    const std::string first = ReadFile(fs::path(kUnsentFolder) / "Ry_Plant_1.RP_Sec.lp");
    EXPECT_TRUE(first.starts_with("# quarvel unsent lines: database=Ry_Plant_1 rp=RP_Sec\n# batch 3 ")) << first;
}

// What a crash or a full disk may leave: the damaged record is skipped, the others are
// read, and appending goes on behind it.
TEST_F(UnsentFiles, ADamagedRecordCostsOnlyItself) {
    struct Case {
        const char* name;
        std::function<void(std::string& text, size_t thirdRecord)> damage;
        std::vector<int> left;  // batches read afterwards, a fourth appended after the damage
    } cases[] = {
        {"cut in the middle of the last body", [](std::string& t, size_t) { t.resize(t.size() - 40); }, {1, 2, 4}},
        {"cut in the middle of the last mark", [](std::string& t, size_t at) { t.resize(at + 12); }, {1, 2, 4}},
        {"a byte of the second body changed", [](std::string& t, size_t at) { t[at - 20] ^= 1; }, {1, 3, 4}},
        {"zeros where the last record should be",
         [](std::string& t, size_t at) { std::fill(t.begin() + static_cast<long>(at), t.end(), '\0'); },
         {1, 2, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(kUnsentFolder);
        std::string path;
        size_t third = 0;
        for (int n = 1; n <= 3; ++n) {
            if (n == 3)
                third = fs::exists(kUnsentFolder) ? fs::file_size(fs::path(kUnsentFolder) / "Ry_Plant_1.RP_Sec.lp") : 0;
            path = Append(Batch(n), 3);
        }
        std::string text = ReadFile(path);
        c.damage(text, third);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        Append(Batch(4), 3);

        uint64_t damaged = 0;
        std::vector<std::string> expected;
        for (int n : c.left) expected.push_back(Batch(n));
        EXPECT_EQ(Bodies(path, &damaged), expected);
        EXPECT_GT(damaged, 0u);
    }
}

TEST_F(UnsentFiles, AKilledWriterLeavesEveryFinishedBatchReadable) {
    const std::string big = Batch(7, 20000);  // about 1.4 MB: a write the kill can cut
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(done[0]);
        for (;;) {
            std::string path;
            std::string error;
            if (!AppendUnsent(kUnsentFolder, "Ry_Crash", "RP_Sec", big, 20000, path, error)) _exit(1);
            if (write(done[1], "x", 1) != 1) _exit(1);
        }
    }
    close(done[1]);
    char mark;
    int finished = 0;
    while (finished < 3 && read(done[0], &mark, 1) == 1) ++finished;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    while (read(done[0], &mark, 1) == 1) ++finished;
    close(done[0]);

    const std::string path = (fs::path(kUnsentFolder) / "Ry_Crash.RP_Sec.lp").string();
    std::string after;
    std::string error;
    ASSERT_TRUE(AppendUnsent(kUnsentFolder, "Ry_Crash", "RP_Sec", Batch(8), 3, after, error)) << error;
    uint64_t damaged = 0;
    const std::vector<std::string> bodies = Bodies(path, &damaged);
    ASSERT_GE(bodies.size(), static_cast<size_t>(finished) + 1);
    EXPECT_LE(bodies.size(), static_cast<size_t>(finished) + 2) << "at most the batch under way besides";
    for (size_t i = 0; i + 1 < bodies.size(); ++i) EXPECT_EQ(bodies[i], big) << i;
    EXPECT_EQ(bodies.back(), Batch(8));
    std::cout << "[ counts   ] killed writer: " << finished << " batches finished, " << bodies.size() - 1
              << " read back, " << damaged << " bytes of a torn record skipped" << std::endl;
}

TEST_F(UnsentFiles, WritersAtOnceAndARepostInBetweenLoseNoBatch) {
    constexpr int kThreads = 8;
    constexpr int kEach = 25;
    const std::string path = Append(Batch(0), 3);
    UnsentFile before;
    std::string error;
    ASSERT_TRUE(before.Read(path, error)) << error;
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < kEach; ++i) Append(Batch(1 + t * kEach + i, 1 + i % 5), 1 + i % 5);
            });
        // A repost takes out the batch it read while the writers append.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(RemoveDelivered(before, {0}, error)) << error;
    }
    std::set<std::string> expected;
    for (int n = 1; n <= kThreads * kEach; ++n) expected.insert(Batch(n, 1 + (n - 1) % kEach % 5));
    const std::vector<std::string> bodies = Bodies(path);
    EXPECT_EQ(std::set<std::string>(bodies.begin(), bodies.end()), expected);
    EXPECT_EQ(bodies.size(), expected.size());

    // Taking out every batch removes the file, and only then.
    UnsentFile all;
    ASSERT_TRUE(all.Read(path, error)) << error;
    std::vector<size_t> every(all.Batches().size() - 1);
    std::iota(every.begin(), every.end(), 0);
    ASSERT_TRUE(RemoveDelivered(all, every, error)) << error;
    EXPECT_EQ(Bodies(path), std::vector<std::string>{std::string(all.Batches().back().body)});
    UnsentFile last;
    ASSERT_TRUE(last.Read(path, error)) << error;
    ASSERT_TRUE(RemoveDelivered(last, {0}, error)) << error;
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(ListUnsentFiles(kUnsentFolder).empty());
}

TEST_F(UnsentFiles, OnlyUnsentLineFilesAreTakenForOne) {
    WriteFile("Logs/unsent/notes.lp", "some notes\n");
    WriteFile("Logs/unsent/Ry_A.RP_Sec.lp.tmp.12.0", "# quarvel unsent lines: database=Ry_A rp=RP_Sec\n");
    WriteFile("Logs/unsent/readme.txt", "x");
    const std::string good = Append(Batch(1), 3, "Ry_A");
    EXPECT_EQ(ListUnsentFiles(kUnsentFolder),
              (std::vector<std::string>{good, (fs::path(kUnsentFolder) / "notes.lp").string()}));
    UnsentFile file;
    std::string error;
    EXPECT_FALSE(file.Read((fs::path(kUnsentFolder) / "notes.lp").string(), error));
    EXPECT_NE(error.find("is no unsent-line file"), std::string::npos) << error;
    EXPECT_TRUE(ListUnsentFiles("no/such/folder").empty());
}

}  // namespace
