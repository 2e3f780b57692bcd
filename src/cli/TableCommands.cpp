#include "cli/TableCommands.h"

#include "cli/Report.h"
#include "logging/Logging.h"
#include "platform/Files.h"
#include "rtdb/TableFile.h"
#include "rtdb/TableLibrary.h"

#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <vector>

namespace quarvel {

namespace {

constexpr const char* kCsvColumns =
    "CSV columns, one row a line, the first line may name the columns:\n"
    "  T (tags):                 id,name            name: up to 31 bytes, quoted when it holds , \" or a line break\n"
    "  M, H, D (summaries):      time,tag_id,status,last,max,min,mean\n"
    "  X (raw):                  time,tag_id,status,value, then up to 32 pairs offset,value\n"
    "time, tag_id: signed 32-bit; status: 0 to 65535; offset: -128 to 127 (a reader stops at the first one\n"
    "that is not positive). Values: decimal (12.5, -0, 1e-07, inf), novalue-1 and novalue-2 for the no-value\n"
    "patterns 0xFFFFFFFF and 0xFFFFFFFE, or 0x followed by the 32 bits in hex. dump writes the raw entries as\n"
    "stored up to the last that is not all zero, so dump then create gives back the same file.";

constexpr uint32_t kNoValueBits[] = {0xFFFFFFFFu, 0xFFFFFFFEu};
constexpr const char* kNoValueText[] = {"novalue-1", "novalue-2"};

// ---- values as text --------------------------------------------------------------

void PutValue(std::string& out, float value) {
    const auto bits = std::bit_cast<uint32_t>(value);
    for (int i = 0; i < 2; ++i) {
        if (bits == kNoValueBits[i]) {
            out += kNoValueText[i];
            return;
        }
    }
    char text[32];
    if (std::isnan(value)) {  // any other NaN: only its bits say which
        std::snprintf(text, sizeof text, "0x%08X", bits);
        out += text;
        return;
    }
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);  // shortest text that reads back
    out.append(text, end);
}

bool ParseValue(const std::string& text, float& value) {
    for (int i = 0; i < 2; ++i) {
        if (text == kNoValueText[i]) {
            value = std::bit_cast<float>(kNoValueBits[i]);
            return true;
        }
    }
    if (text.size() > 2 && text.size() <= 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint32_t bits = 0;
        const auto [end, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), bits, 16);
        if (ec != std::errc() || end != text.data() + text.size()) return false;
        value = std::bit_cast<float>(bits);
        return true;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

template <typename Int>
bool ParseInt(const std::string& text, Int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// ---- CSV -------------------------------------------------------------------------

struct CsvRecord {
    int line = 0;  // where the record starts
    std::vector<std::string> fields;
};

// Splits CSV text into records: fields separated by commas, records by LF or CR LF,
// quoted fields may hold commas, doubled quotes and line breaks. Blank lines are left out.
bool SplitCsv(const std::string& text, std::vector<CsvRecord>& records, int& errorLine, std::string& error) {
    int line = 1;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        CsvRecord record;
        record.line = line;
        bool endOfRecord = false;
        while (!endOfRecord) {
            std::string field;
            if (i < n && text[i] == '"') {
                const int started = line;
                for (++i;; ++i) {
                    if (i >= n) {
                        errorLine = started;
                        error = "a quoted field is not closed";
                        return false;
                    }
                    if (text[i] == '"') {
                        if (i + 1 < n && text[i + 1] == '"') {
                            field += '"';
                            ++i;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == '\n') ++line;
                    field += text[i];
                }
                if (i < n && text[i] != ',' && text[i] != '\n' &&
                    !(text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
                    errorLine = line;
                    error = "text after a closing quote";
                    return false;
                }
            } else {
                while (i < n && text[i] != ',' && text[i] != '\n' &&
                       !(text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
                    if (text[i] == '"') {
                        errorLine = line;
                        error = "a quote inside a field that does not start with one";
                        return false;
                    }
                    field += text[i++];
                }
            }
            record.fields.push_back(std::move(field));
            if (i < n && text[i] == ',') {
                ++i;
                continue;
            }
            if (i < n && text[i] == '\r') ++i;
            if (i < n) ++i;  // the LF
            ++line;
            endOfRecord = true;
        }
        if (record.fields.size() == 1 && record.fields[0].empty()) continue;
        records.push_back(std::move(record));
    }
    return true;
}

// Why a CSV field cannot be used, for the error message.
bool Bad(std::string& error, const std::string& what, const std::string& field) {
    error = what + ": \"" + field + "\"";
    return false;
}

bool FieldCount(std::string& error, size_t got, const char* wanted) {
    error = std::to_string(got) + " fields, wanted " + wanted;
    return false;
}

template <typename Row>
void AppendRow(std::string& rows, const Row& row) {
    rows.append(reinterpret_cast<const char*>(&row), sizeof row);
}

// time, tag_id and status, the first three columns of raw and summary rows.
template <typename Row>
bool ParseHead(const std::vector<std::string>& f, Row& row, std::string& error) {
    int32_t time = 0;
    int32_t tagId = 0;
    uint16_t status = 0;
    if (!ParseInt(f[0], time)) return Bad(error, "time is not a 32-bit integer", f[0]);
    if (!ParseInt(f[1], tagId)) return Bad(error, "tag id is not a 32-bit integer", f[1]);
    if (!ParseInt(f[2], status)) return Bad(error, "status is not between 0 and 65535", f[2]);
    row.time = time;
    row.tagId = tagId;
    row.status = status;
    return true;
}

bool AddTagRow(const std::vector<std::string>& f, std::string& rows, std::string& error) {
    if (f.size() != 2) return FieldCount(error, f.size(), "2 (id,name)");
    TagRow row{};
    int32_t tagId = 0;
    if (!ParseInt(f[0], tagId)) return Bad(error, "tag id is not a 32-bit integer", f[0]);
    if (f[1].size() >= sizeof row.name) return Bad(error, "name is longer than 31 bytes", f[1]);
    if (f[1].find('\0') != std::string::npos) return Bad(error, "name holds a NUL byte", f[1]);
    row.tagId = tagId;
    std::memcpy(row.name, f[1].data(), f[1].size());
    AppendRow(rows, row);
    return true;
}

bool AddRawRow(const std::vector<std::string>& f, std::string& rows, std::string& error) {
    if (f.size() < 4 || f.size() > 4 + 2 * kFollowOnEntries || f.size() % 2 != 0)
        return FieldCount(error, f.size(),
                          "4 to 68, an even number (time,tag_id,status,value, then offset,value pairs)");
    RawRow row{};
    if (!ParseHead(f, row, error)) return false;
    float value = 0;
    if (!ParseValue(f[3], value)) return Bad(error, "value is not a value", f[3]);
    row.value = value;
    for (size_t at = 4; at < f.size(); at += 2) {
        int8_t offset = 0;
        if (!ParseInt(f[at], offset)) return Bad(error, "offset is not between -128 and 127", f[at]);
        if (!ParseValue(f[at + 1], value)) return Bad(error, "follow-on value is not a value", f[at + 1]);
        row.followOn[(at - 4) / 2] = FollowOn{offset, value};
    }
    AppendRow(rows, row);
    return true;
}

bool AddSummaryRow(const std::vector<std::string>& f, std::string& rows, std::string& error) {
    if (f.size() != 7) return FieldCount(error, f.size(), "7 (time,tag_id,status,last,max,min,mean)");
    SummaryRow row{};
    if (!ParseHead(f, row, error)) return false;
    float values[4] = {};
    for (size_t i = 0; i < 4; ++i)
        if (!ParseValue(f[3 + i], values[i])) return Bad(error, "value is not a value", f[3 + i]);
    row.last = values[0];
    row.max = values[1];
    row.min = values[2];
    row.mean = values[3];
    AppendRow(rows, row);
    return true;
}

// Appends the row of one CSV record to `rows`; false with `error` naming the problem.
bool AddRow(char kind, const std::vector<std::string>& fields, std::string& rows, std::string& error) {
    if (kind == 'T') return AddTagRow(fields, rows, error);
    if (kind == 'X') return AddRawRow(fields, rows, error);
    return AddSummaryRow(fields, rows, error);
}

std::string Header(char kind) {
    if (kind == 'T') return "id,name\n";
    if (kind != 'X') return "time,tag_id,status,last,max,min,mean\n";
    std::string header = "time,tag_id,status,value";
    for (int i = 1; i <= kFollowOnEntries; ++i) header += ",offset" + std::to_string(i) + ",value" + std::to_string(i);
    return header + "\n";
}

void PutRow(std::string& out, char kind, const char* bytes) {
    if (kind == 'T') {
        TagRow row{};
        std::memcpy(&row, bytes, sizeof row);
        out += std::to_string(row.tagId) + ",";
        out += CsvField({row.name, strnlen(row.name, sizeof row.name)});
    } else if (kind == 'X') {
        RawRow row{};
        std::memcpy(&row, bytes, sizeof row);
        out += std::to_string(row.time) + "," + std::to_string(row.tagId) + "," + std::to_string(row.status) + ",";
        PutValue(out, row.value);
        // Entries as stored, the terminating one and any after it too, up to the last
        // that is not all zero bytes: create writes zeros after the pairs it is given.
        const auto allZero = [](const FollowOn& entry) {
            const float value = entry.value;  // a copy: the member of a packed row may be misaligned
            return entry.offset == 0 && std::bit_cast<uint32_t>(value) == 0;
        };
        int used = kFollowOnEntries;
        while (used > 0 && allZero(row.followOn[used - 1])) --used;
        for (int i = 0; i < used; ++i) {
            out += "," + std::to_string(row.followOn[i].offset) + ",";
            PutValue(out, row.followOn[i].value);
        }
    } else {
        SummaryRow row{};
        std::memcpy(&row, bytes, sizeof row);
        out += std::to_string(row.time) + "," + std::to_string(row.tagId) + "," + std::to_string(row.status);
        for (const float value : {row.last, row.max, row.min, row.mean}) {
            out += ',';
            PutValue(out, value);
        }
    }
    out += '\n';
}

bool ReadAll(const std::string& path, std::string& text) {
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream contents;
    contents << in.rdbuf();
    text = contents.str();
    return !in.bad();
}

}  // namespace

RdbCommands::RdbCommands(CLI::App& app) {
    m_command = app.add_subcommand("rdb",
                                   "Build and inspect table files (*.rdb): the tag table and the raw, minute, "
                                   "hour and day tables that convert --kind rtdb reads.");
    m_command->require_subcommand(1);
    m_command->footer(kFileExitCodes);
    m_create = m_command->add_subcommand("create", "Write a table file of one kind from CSV rows.");
    m_create->add_option("--kind", m_kind, "Kind of table: T tags, X raw, M minute, H hour, D day")
        ->required()
        ->check(CLI::IsMember({"T", "X", "M", "H", "D"}));
    m_create->add_option("--from", m_from, "CSV file to read ('-' for standard input)")->required();
    m_create->add_option("OUT", m_out, "Table file to write (replaced when it exists)")->required();
    const std::string footer = std::string(kCsvColumns) + "\n\n" + kFileExitCodes;
    m_create->footer(footer);
    auto* dump = m_command->add_subcommand("dump", "Print a table file's rows as CSV on standard output.");
    dump->add_option("FILE", m_file, "Table file to read")->required();
    dump->footer(footer);
}

int RdbCommands::Run() const {
    return m_create->parsed() ? Create() : Dump();
}

int RdbCommands::Create() const {
    std::string text;
    if (!ReadAll(m_from, text)) return Usage("cannot read " + m_from);
    std::vector<CsvRecord> records;
    int errorLine = 0;
    std::string error;
    if (!SplitCsv(text, records, errorLine, error))
        return Usage(m_from + ":" + std::to_string(errorLine) + ": " + error);

    const char kind = m_kind[0];
    std::string rows;
    uint64_t count = 0;
    for (size_t r = 0; r < records.size(); ++r) {
        const CsvRecord& record = records[r];
        // A first line that starts with a letter names the columns; rows start with a number.
        const std::string& first = record.fields[0];
        if (r == 0 && !first.empty() && std::isalpha(static_cast<unsigned char>(first[0]))) continue;
        if (!AddRow(kind, record.fields, rows, error))
            return Usage(m_from + ":" + std::to_string(record.line) + ": " + error);
        ++count;
    }
    if (!platform::ReplaceFile(m_out, {rtdb::TableImage(kind, rows.data(), count)}, error)) return Usage(error);
    std::fprintf(stderr, "%s: %s rows of kind %c\n", m_out.c_str(), Thousands(count).c_str(), kind);
    return kAllWritten;
}

int RdbCommands::Dump() const {
    rtdb::TableReader table;
    const rtdb::TableStatus status = table.Open(m_file);
    if (status != rtdb::TableStatus::kOk) return Usage(m_file + ": " + rtdb::Describe(status));
    std::string out = Header(table.Kind());
    std::vector<char> row(table.RowSize());
    uint64_t rows = 0;
    while (table.Next(row.data())) {
        PutRow(out, table.Kind(), row.data());
        ++rows;
        if (out.size() >= size_t{1} << 16) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0) return Usage("cannot write the standard output");
    if (rows != table.RowCount()) return Usage(m_file + ": could be read only up to row " + std::to_string(rows));
    return kAllWritten;
}

}  // namespace quarvel
