// DataLogConverter::ConvertDatFile on any file contents, with a post function that reads
// every line back and holds it against the records of the file; no server.

#include "FuzzSupport.h"
#include "LineProtocol.h"
#include "datalog/DataLogConverter.h"
#include "influx/LineFormat.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

using namespace quarvel;

namespace fuzz {

namespace {

constexpr const char* kDatabase = "Ry_Fuzz";

// Latin-1 to UTF-8 by hand, as the oracle for the writer's conversion of names.
std::string Latin1ToUtf8(std::string_view text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool SameBits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// One float field: present with exactly `expected` when it is finite, else absent.
void CheckFloatField(const ParsedLine& line, const char* key, float expected) {
    const std::string* text = FieldOf(line, key);
    if (!std::isfinite(expected)) {
        Check(text == nullptr, std::string("field for a value that is not finite: ") + key);
        return;
    }
    float value = 0;
    Check(text != nullptr && FieldFloat(*text, value) && SameBits(value, expected),
          std::string("field does not read back as the stored float: ") + key);
}

void CheckLine(const ParsedLine& line, int kind, const std::string& name, const LogSample& record) {
    Check(line.measurement == kMeasurement[kind], "measurement of another kind");
    if (name.empty()) {
        Check(line.tags.empty(), "a tag for an empty name");
    } else {
        Check(line.tags.size() == 1 && line.tags[0].first == "name" && line.tags[0].second == name,
              "the name tag does not read back as the tag name");
    }
    const bool noValue = HasNoValue(record);
    if (kind == kRaw) {
        const size_t fields = std::isfinite(record.value) || noValue ? 3 : 2;
        Check(line.fields.size() == fields, "raw field count");
        CheckFloatField(line, "value", noValue ? 0.0f : record.value);
    } else {
        CheckFloatField(line, "last_value", noValue ? 0.0f : record.value);
        CheckFloatField(line, "max_value", noValue ? 0.0f : record.max);
        CheckFloatField(line, "min_value", noValue ? 0.0f : record.min);
        CheckFloatField(line, "mean_value", noValue ? 0.0f : record.mean);
        size_t fields = 2;
        for (const float value : {record.value, record.max, record.min, record.mean})
            fields += std::isfinite(value) || noValue ? 1 : 0;
        Check(line.fields.size() == fields, "summary field count");
    }
    float status = -1;
    float quality = 1;
    const std::string* statusText = FieldOf(line, "status");
    const std::string* qualityText = FieldOf(line, "quality");
    Check(statusText != nullptr && FieldFloat(*statusText, status) && status == record.status, "status");
    Check(qualityText != nullptr && FieldFloat(*qualityText, quality) &&
              quality == static_cast<float>(noValue ? ValueBits(record) : 0),
          "quality");
    // The zone is UTC: the stamp is the stored time less eight hours, in nanoseconds.
    const int64_t expected = int64_t{LineTimestamp(record.time, 0)} * 1000000000;
    Check(line.timestamp == expected, "time stamp");
}

}  // namespace

int DatReader(const uint8_t* data, size_t size) {
    static const bool zoneSet = [] {
        setenv("TZ", "UTC", 1);
        tzset();
        return true;
    }();
    (void)zoneSet;

    Input input(data, size);
    const uint8_t choice = input.Byte();
    const int kind = choice & 3;
    const bool notADataLogFile = (choice & 0x20) != 0;  // lower-case kind letter
    const bool cp950 = (choice & 0x40) != 0;
    std::string fileTag = input.Take((choice >> 2) & 7);
    for (char& c : fileTag)
        if (c == '/' || c == '\0') c = '_';
    const std::string_view contents = input.Rest();

    const std::string folder = ScratchFolder() + "/G/";
    std::filesystem::create_directories(folder);
    char letter = kKindLetter[kind];
    if (notADataLogFile) letter = static_cast<char>(letter - 'A' + 'a');
    const std::string path = folder + fileTag + "$0001" + letter + ".DAT";
    WriteScratchFile(path, contents.data(), contents.size());

    const std::string tag = fileTag.substr(0, fileTag.find('$'));
    const std::string name = cp950 ? ToUtf8(tag.c_str(), "CP950") : Latin1ToUtf8(tag);
    Check(IsValidUtf8(name), "a tag name converted to text that is no UTF-8");
    std::string escaped;
    const bool writable = EscapeTagValue(name, escaped);

    const size_t recordSize = kind == kRaw ? kRawSampleSize : kSummarySampleSize;
    std::vector<LogSample> records(contents.size() / recordSize);
    std::vector<const LogSample*> expected;  // the records that make lines, in file order
    uint64_t before1970 = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        std::memcpy(&records[i], contents.data() + i * recordSize, recordSize);
        if (kind != kRaw && LineTimestamp(records[i].time, 0) < 0)
            ++before1970;
        else
            expected.push_back(&records[i]);
    }

    InfluxTarget target;
    target.baseUrl = "http://fuzz.invalid";
    target.codePage = cp950 ? "CP950" : "ISO-8859-1";
    size_t next = 0;  // index into `expected` of the next line
    size_t posts = 0;
    target.post = [&](const std::string& url, const std::string& body) {
        ++posts;
        Check(url == WriteUrl(target.baseUrl, kDatabase, kind), "post to the endpoint of another kind");
        size_t lines = 0;
        for (size_t start = 0; start <= body.size();) {
            size_t end = body.find('\n', start);
            if (end == std::string::npos) end = body.size();
            ParsedLine line;
            std::string why;
            Check(ParseLine(std::string_view(body).substr(start, end - start), line, why),
                  "the server would refuse a line: " + why);
            Check(next < expected.size(), "more lines than records");
            if (next < expected.size()) CheckLine(line, kind, name, *expected[next]);
            ++next;
            ++lines;
            start = end + 1;
        }
        Check(lines <= static_cast<size_t>(kBatchLines), "a post of more than a batch");
        HttpResult result;
        result.status = 204;
        return result;
    };

    struct : Progress {
        void Line(const std::string&) override {}
        void FileDone(const std::string&, const ConversionTotals&) override {}
        void Ended(const std::string&) override {}
    } progress;
    DataLogConverter converter(folder, kDatabase, progress, target);
    converter.ConvertDatFile(path);
    const ConversionTotals& totals = converter.Totals();
    std::filesystem::remove(path);

    if (notADataLogFile) {
        Check(totals.filesSkipped == 1 && totals.filesConverted == 0 && posts == 0, "a file of no kind was read");
        return 0;
    }
    Check(totals.filesConverted == 1 && totals.records == records.size(), "records counted");
    Check(totals.writes.summariesBefore1970 == before1970, "summaries before 1970 counted");
    if (writable) {
        Check(next == expected.size() && totals.writes.linesWritten == expected.size() &&
                  totals.writes.linesNotWritten == 0,
              "lines lost");
    } else {
        Check(posts == 0 && totals.writes.linesNotWritten == expected.size(), "a name that cannot be carried");
    }
    return 0;
}

}  // namespace fuzz
