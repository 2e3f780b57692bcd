#include "platform/CodePage.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <utility>

namespace quarvel {

namespace platform {

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80;  // bounds of the second byte that keep the code point minimal and in range
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// glibc passes some ill-formed input through when the source code set is UTF-8 itself
// (leads F5 to FD, code points past U+10FFFF); those bytes become U+FFFD like any other.
void ReplaceIllFormed(std::string& text) {
    size_t i = 0;
    while (i < text.size() && Utf8SequenceLength(text, i) > 0) i += Utf8SequenceLength(text, i);
    if (i == text.size()) return;
    std::string out = text.substr(0, i);
    while (i < text.size()) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    text = std::move(out);
}

}  // namespace

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
        // EILSEQ or a truncated sequence at the end: the byte becomes one U+FFFD and the
        // conversion goes on with the next byte, so that no byte of a name is lost unmarked.
        out += "\xEF\xBF\xBD";
        ++in;
        --inLeft;
    }
    char* next = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &next, &outLeft);  // closing shift sequence of stateful code sets
    out.append(buffer, static_cast<size_t>(next - buffer));
    iconv_close(cd);
    ReplaceIllFormed(out);
    return true;
}

size_t CharacterPrefix(std::string_view text, size_t limit, const std::string& codePage) {
    if (text.size() <= limit) return text.size();
    iconv_t cd = iconv_open("UTF-8", (codePage.empty() ? LocaleCodePage() : codePage).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return limit;
    char* in = const_cast<char*>(text.data());  // iconv's signature; the input is not written
    size_t inLeft = limit;
    char buffer[256];
    while (inLeft > 0) {
        char* next = buffer;
        size_t outLeft = sizeof buffer;
        if (iconv(cd, &in, &inLeft, &next, &outLeft) != static_cast<size_t>(-1) || errno == E2BIG) continue;
        if (errno == EINVAL) break;  // the limit falls inside a character
        ++in;                        // a byte that does not decode
        --inLeft;
    }
    iconv_close(cd);
    return static_cast<size_t>(in - text.data());
}

}  // namespace platform

}  // namespace quarvel
