#pragma once

// Rows and table files for the table tests, written to disk in the table file format.

#include "rtdb/TableFile.h"
#include "rtdb/TableLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

using namespace quarvel;

namespace tablerows {

inline TagRow Tag(int32_t id, const std::string& name) {
    TagRow row{};
    row.tagId = id;
    std::memcpy(row.name, name.data(), std::min(name.size(), sizeof row.name - 1));
    return row;
}

inline SummaryRow Summary(int32_t time, int32_t id, float last) {
    return SummaryRow{time, id, 192, last, last + 1, last - 1, last};
}

// A raw row whose follow-on entries have these offset bytes; each entry's value is its
// index + 1, so a sample tells which entry it came from.
inline RawRow Raw(int32_t time, int32_t id, float value, std::initializer_list<int> offsets = {}) {
    RawRow row{};
    row.time = time;
    row.tagId = id;
    row.status = 192;
    row.value = value;
    int i = 0;
    for (int offset : offsets) {
        row.followOn[i] = FollowOn{static_cast<int8_t>(offset), static_cast<float>(i + 1)};
        ++i;
    }
    return row;
}

template <typename Row>
std::string Image(char kind, const std::vector<Row>& rows) {
    return rtdb::TableImage(kind, rows.data(), rows.size());
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

template <typename Row>
void WriteTable(const std::filesystem::path& path, char kind, const std::vector<Row>& rows) {
    WriteBytes(path, Image(kind, rows));
}

// A checked-in table file of tests/fixtures/rdb.
inline std::filesystem::path Fixture(const std::string& name) {
    const char* root = std::getenv("QUARVEL_FIXTURES");
    return std::filesystem::path(root ? root : "tests/fixtures") / "rdb" / name;
}

}  // namespace tablerows
