// ParseDatFileName on any bytes as a path.

#include "FuzzSupport.h"
#include "datalog/DataLogConverter.h"

using namespace quarvel;

namespace fuzz {

int DatName(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    const DatFileName parsed = ParseDatFileName(path);
    Check(parsed.kind >= -1 && parsed.kind < kTableKindCount, "kind out of range");
    if (parsed.kind < 0) {
        Check(parsed.tagName.empty(), "a tag name for a file of no data-log kind");
        return 0;
    }
    const size_t dot = path.rfind('.');
    Check(dot != std::string::npos && dot > 0 && path[dot - 1] == kKindLetter[parsed.kind],
          "kind is not the letter before the last dot");
    if (parsed.problem != nullptr) {
        Check(parsed.tagName.empty(), "a tag name beside a problem");
        return 0;
    }
    // A usable name: at most 31 bytes, the whole file name up to its first '$'.
    const std::string& tag = parsed.tagName;
    Check(tag.size() <= 31, "tag name longer than 31 bytes");
    Check(tag.find_first_of("/$") == std::string::npos, "tag name holds '/' or '$'");
    const size_t slash = path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    Check(path.compare(start, tag.size(), tag) == 0 && path.size() > start + tag.size() &&
              path[start + tag.size()] == '$',
          "tag name is not what stands between the last '/' and the first '$' after it");
    Check(path.find('$', start) == start + tag.size(), "a '$' in the file name before the tag name's end");
    return 0;
}

}  // namespace fuzz
