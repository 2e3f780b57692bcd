// The table libraries over real files: the order of the calls, the rows as stored, and
// files that are broken in every way the header can be.

#include "ScratchDir.h"
#include "TableRows.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <bit>
#include <climits>
#include <cstdlib>
#include <functional>

namespace {

using tablerows::Fixture;
using tablerows::Raw;
using tablerows::Summary;
using tablerows::WriteBytes;
using tablerows::WriteTable;

// Every test starts and ends with all five libraries disconnected.
class TableLibrary : public ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        minute = (m_dir / "M.rdb").string();
        WriteTable(minute, 'M', std::vector<SummaryRow>{Summary(100, 1, 1.5f), Summary(160, 2, 2.5f)});
        hour = (m_dir / "H.rdb").string();
        WriteTable(hour, 'H', std::vector<SummaryRow>{Summary(3600, 1, 3.5f)});
    }
    std::string minute;
    std::string hour;
};

TEST_F(TableLibrary, CallsOutOfOrderGiveNegativeResultsNeverRows) {
    SummaryRow row{};
    EXPECT_EQ(RyOpenMTable(minute.c_str()), kRyNotConnected);
    EXPECT_EQ(RyDisconnectMDB(), kRyNotConnected);

    ASSERT_EQ(RyConnectMDB(), 0);
    ASSERT_EQ(RyConnectHDB(), 0);
    const int m = RyOpenMTable(minute.c_str());
    ASSERT_GT(m, 0);
    EXPECT_EQ(RyOpenMTable(minute.c_str()), kRyTableBusy) << "one open table per kind";
    EXPECT_EQ(RySelectMNext(m, 0, &row), 0) << "no rows before Select-All";
    const int h = RyOpenHTable(hour.c_str());
    ASSERT_GT(h, 0) << "another kind has a table of its own";
    EXPECT_NE(h, m);

    // A handle means nothing to another kind's library, nor to the tag library.
    EXPECT_EQ(RySelectHAll(m), kRyUnknownHandle);
    EXPECT_EQ(RySelectHNext(m, 0, &row), 0);
    EXPECT_EQ(RyCloseHTable(m), kRyUnknownHandle);
    EXPECT_EQ(RyCloseTagTable(m), kRyUnknownHandle);
    EXPECT_EQ(RySelectMAll(INT_MIN), kRyUnknownHandle);
    EXPECT_EQ(RySelectMNext(m, 0, nullptr), 0);

    EXPECT_EQ(RyCloseMTable(m), 0);
    EXPECT_EQ(RyCloseMTable(m), kRyUnknownHandle) << "closed twice";
    EXPECT_EQ(RySelectMAll(m), kRyUnknownHandle);
    EXPECT_EQ(RySelectMNext(m, 0, &row), 0);

    // The last disconnect closes what was left open; a nested connect keeps it open.
    ASSERT_EQ(RyConnectHDB(), 0);
    EXPECT_EQ(RyDisconnectHDB(), 0);
    EXPECT_EQ(RySelectHAll(h), 0) << "still connected once";
    EXPECT_EQ(RyDisconnectHDB(), 0);
    EXPECT_EQ(RySelectHAll(h), kRyUnknownHandle);
    ASSERT_EQ(RyConnectHDB(), 0);
    const int again = RyOpenHTable(hour.c_str());
    EXPECT_GT(again, 0) << "nothing is left open after the last disconnect";
    EXPECT_EQ(RyCloseHTable(again), 0);
    EXPECT_EQ(RyDisconnectHDB(), 0);
    EXPECT_EQ(RyDisconnectMDB(), 0);
}

TEST_F(TableLibrary, RowsComeAsStoredAndSelectAllStartsAgain) {
    // The documented example file: its second row has no value.
    ASSERT_EQ(RyConnectMDB(), 0);
    const int handle = RyOpenMTable(Fixture("minute.rdb").c_str());
    ASSERT_GT(handle, 0);
    for (int pass = 0; pass < 2; ++pass) {
        const int selection = RySelectMAll(handle);
        SummaryRow row{};
        ASSERT_EQ(RySelectMNext(handle, selection, &row), 1);
        EXPECT_EQ(row.time, 1700000000);
        EXPECT_EQ(row.tagId, 1);
        EXPECT_EQ(row.status, 192);
        EXPECT_EQ(std::bit_cast<uint32_t>(row.last), std::bit_cast<uint32_t>(12.5f));
        EXPECT_EQ(row.max, 13.0f);
        EXPECT_EQ(row.min, 12.0f);
        EXPECT_EQ(row.mean, 12.5f);
        ASSERT_EQ(RySelectMNext(handle, selection, &row), 1);
        EXPECT_EQ(row.time, 1700000060);
        EXPECT_EQ(std::bit_cast<uint32_t>(row.last), 0xFFFFFFFFu);
        EXPECT_EQ(RySelectMNext(handle, selection, &row), 0);
        EXPECT_EQ(RySelectMNext(handle, selection, &row), 0) << "and stays at the end";
    }
    EXPECT_EQ(RyCloseMTable(handle), 0);
    EXPECT_EQ(RyDisconnectMDB(), 0);
}

TEST_F(TableLibrary, LargeTablesAreReadWholeAcrossReadBlocks) {
    std::vector<RawRow> rows;
    for (int i = 0; i < 1000; ++i) rows.push_back(Raw(i, i % 7, static_cast<float>(i), {1, 2, i % 128}));
    const fs::path path = m_dir / "BigX.rdb";
    WriteTable(path, 'X', rows);
    ASSERT_EQ(RyConnectXDB(), 0);
    const int handle = RyOpenXTable(path.c_str());
    ASSERT_GT(handle, 0);
    const int selection = RySelectXAll(handle);
    RawRow row{};
    size_t read = 0;
    while (RySelectXNext(handle, selection, &row) != 0) {
        ASSERT_LT(read, rows.size());
        ASSERT_EQ(std::memcmp(&row, &rows[read], sizeof row), 0) << "row " << read;
        ++read;
    }
    EXPECT_EQ(read, rows.size());

    // Cut under the open table: the rows that are left come, then a failed read, never the end.
    fs::resize_file(path, rtdb::kHeaderSize + 100 * sizeof(RawRow) + 50);
    RySelectXAll(handle);
    read = 0;
    int got = 0;
    while ((got = RySelectXNext(handle, selection, &row)) > 0) ++read;
    EXPECT_EQ(read, 100u);
    EXPECT_EQ(got, kRyCannotRead);
    EXPECT_EQ(RySelectXNext(handle, selection, &row), kRyCannotRead) << "and stays failed";
    RyCloseXTable(handle);
    RyDisconnectXDB();
}

struct Broken {
    const char* what;
    std::function<void(std::string& bytes)> breakIt;
    int result;
};

void PutU64(std::string& bytes, size_t at, uint64_t value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

TEST_F(TableLibrary, BrokenFilesAreRefusedBesideGoodOnes) {
    const std::string good = ReadFile(Fixture("minute.rdb"));
    ASSERT_EQ(good.size(), rtdb::kHeaderSize + 2 * sizeof(SummaryRow));
    const std::vector<Broken> cases = {
        {"good", [](std::string&) {}, 1},
        {"empty", [](std::string& b) { b.clear(); }, kRyMalformed},
        {"header cut", [](std::string& b) { b.resize(rtdb::kHeaderSize - 1); }, kRyMalformed},
        {"last row cut", [](std::string& b) { b.pop_back(); }, kRyMalformed},
        {"a byte after the rows", [](std::string& b) { b.push_back('\0'); }, kRyMalformed},
        {"wrong magic", [](std::string& b) { b[0] = 'q'; }, kRyMalformed},
        {"version 2", [](std::string& b) { b[8] = 2; }, kRyMalformed},
        {"hour table", [](std::string& b) { b[10] = 'H'; }, kRyMalformed},
        {"tag table", [](std::string& b) { b[10] = 'T'; }, kRyMalformed},
        {"kind '1'", [](std::string& b) { b[10] = '1'; }, kRyMalformed},
        {"row size 27", [](std::string& b) { b[12] = 27; }, kRyMalformed},
        {"claims 3 rows", [](std::string& b) { PutU64(b, 16, 3); }, kRyMalformed},
        {"claims 1 row", [](std::string& b) { PutU64(b, 16, 1); }, kRyMalformed},
        {"claims 2^64-1 rows", [](std::string& b) { PutU64(b, 16, UINT64_MAX); }, kRyMalformed},
        // 26 times this count wraps around to the 52 bytes the file holds.
        {"claims 2^63+2 rows", [](std::string& b) { PutU64(b, 16, (uint64_t{1} << 63) + 2); }, kRyMalformed},
    };
    ASSERT_EQ(RyConnectMDB(), 0);
    for (const Broken& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = good;
        c.breakIt(bytes);
        const fs::path path = m_dir / (std::string(c.what) + "M.rdb");
        WriteBytes(path, bytes);
        const int handle = RyOpenMTable(path.c_str());
        if (c.result > 0) {
            EXPECT_GT(handle, 0);
            EXPECT_EQ(RyCloseMTable(handle), 0);
        } else {
            EXPECT_EQ(handle, c.result);
        }
    }
    fs::create_directory(m_dir / "FolderM.rdb");
    EXPECT_EQ(RyOpenMTable((m_dir / "FolderM.rdb").c_str()), kRyCannotRead);
    ASSERT_EQ(mkfifo((m_dir / "PipeM.rdb").c_str(), 0600), 0);  // nobody writes it: no waiting for a writer
    EXPECT_EQ(RyOpenMTable((m_dir / "PipeM.rdb").c_str()), kRyCannotRead);
    EXPECT_EQ(RyOpenMTable((m_dir / "MissingM.rdb").c_str()), kRyCannotRead);
    EXPECT_EQ(RyOpenMTable(nullptr), kRyCannotRead);
    AsUnprivilegedUser([this, &good] {
        const fs::path locked = m_dir / "LockedM.rdb";
        WriteBytes(locked, good);
        fs::permissions(locked, fs::perms::none);
        EXPECT_EQ(RyOpenMTable(locked.c_str()), kRyCannotRead);
    });
    EXPECT_EQ(RyDisconnectMDB(), 0);
}

}  // namespace
