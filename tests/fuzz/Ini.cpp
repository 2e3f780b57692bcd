// GetPrivateProfileString on any file contents, for sections and keys taken from the file
// itself and from the input. Each answer is held against answers for the same file
// written in ways the rules say make no difference.

#include "platform/Ini.h"
#include "FuzzSupport.h"

#include <string>
#include <utility>
#include <vector>

using namespace quarvel;

namespace fuzz {

namespace {

const std::string kDefault = "\x01no value";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

std::string Cased(std::string text, bool upper) {
    for (char& c : text) {
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string Lookup(const std::string& contents, const std::string& section, const std::string& key) {
    const std::string path = ScratchFolder() + "/fuzz.ini";
    WriteScratchFile(path, contents.data(), contents.size());
    return platform::GetPrivateProfileString(section, key, kDefault, path);
}

// The first section header of the file and the first key after it, when there are.
std::pair<std::string, std::string> NamesInFile(const std::string& contents) {
    const size_t open = contents.find('[');
    const size_t close = contents.find(']', open);
    if (open == std::string::npos || close == std::string::npos) return {};
    const size_t lineStart = contents.find('\n', close);
    const size_t equals = lineStart == std::string::npos ? std::string::npos : contents.find('=', lineStart);
    std::string key;
    if (equals != std::string::npos) {
        const size_t keyStart = contents.rfind('\n', equals) + 1;
        key = Trimmed(std::string_view(contents).substr(keyStart, equals - keyStart));
    }
    return {Trimmed(std::string_view(contents).substr(open + 1, close - open - 1)), key};
}

void CheckQuery(const std::string& contents, const std::string& section, const std::string& key) {
    const std::string value = Lookup(contents, section, key);
    if (value != kDefault) {
        Check(contents.find(value) != std::string::npos, "a value that is not in the file");
        Check(value.find('\n') == std::string::npos, "a value across lines");
    }
    Check(Lookup(contents, Cased(section, true), Cased(key, false)) == value, "names compared with regard to case");
    const bool startsWithBom = contents.compare(0, kBom.size(), kBom) == 0;
    if (!startsWithBom) {
        Check(Lookup(std::string(kBom) + contents, section, key) == value, "a byte order mark changed the value");
        Check(Lookup("; comment\n" + contents, section, key) == value, "a comment line changed the value");
    }
    if (contents.find('\r') == std::string::npos) {
        std::string crlf;
        for (const char c : contents) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        Check(Lookup(crlf, section, key) == value, "CR LF line ends changed the value");
    }
    if (value != kDefault)
        Check(Lookup(contents + "\n[" + section + "]\n" + key + "=later\n", section, key) == value,
              "a later section of the same name changed the value");
}

}  // namespace

int Ini(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint8_t lengths = input.Byte();
    const std::string section = input.Take(lengths & 7);
    const std::string key = input.Take(lengths >> 5);
    const std::string contents(input.Rest());

    CheckQuery(contents, "NODE_INFO", "DATA_LOG_FOLDER");
    const auto [fileSection, fileKey] = NamesInFile(contents);
    if (!fileSection.empty() || !fileKey.empty()) CheckQuery(contents, fileSection, fileKey);
    CheckQuery(contents, section, key);
    Check(platform::GetPrivateProfileString(section, key, kDefault, ScratchFolder() + "/missing.ini") == kDefault,
          "a value from a missing file");
    return 0;
}

}  // namespace fuzz
