#include "CodePage.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>

namespace platform {

std::string LocaleCodePage() {
    return nl_langinfo(CODESET);
}

bool ConvertToUtf8(std::string_view text, const std::string& codePage, std::string& out) {
    out.clear();
    const std::string from = codePage.empty() ? LocaleCodePage() : codePage;
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;

    char* in = const_cast<char*>(text.data());  // iconv's signature; the input is not written
    size_t inLeft = text.size();
    char buffer[256];
    while (inLeft > 0) {
        char* next = buffer;
        size_t outLeft = sizeof buffer;
        size_t done = iconv(cd, &in, &inLeft, &next, &outLeft);
        out.append(buffer, static_cast<size_t>(next - buffer));
        if (done != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ or a truncated sequence at the end: mark the byte and go on, as the
        // system conversion of the original platform substitutes undecodable bytes.
        out += "\xEF\xBF\xBD";
        ++in;
        --inLeft;
    }
    char* next = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &next, &outLeft);  // closing shift sequence of stateful code sets
    out.append(buffer, static_cast<size_t>(next - buffer));
    iconv_close(cd);
    return true;
}

}  // namespace platform
