#include "LineProtocol.h"

#include <charconv>

namespace fuzz {

namespace {

// Index of the first of `stops` at or after `from` that no backslash precedes, or npos.
size_t FindUnescaped(std::string_view line, size_t from, std::string_view stops) {
    for (size_t i = from; i < line.size(); ++i)
        if (stops.find(line[i]) != std::string_view::npos && (i == 0 || line[i - 1] != '\\')) return i;
    return std::string_view::npos;
}

std::string Unescape(std::string_view text, std::string_view escapable) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && escapable.find(text[i + 1]) != std::string_view::npos) ++i;
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace

bool ParseLine(std::string_view line, ParsedLine& parsed, std::string& why) {
    parsed = {};
    if (line.find('\n') != std::string_view::npos) {
        why = "line break inside the line";
        return false;
    }
    size_t at = FindUnescaped(line, 0, ", ");
    if (at == 0 || at == std::string_view::npos) {
        why = "missing measurement or fields";
        return false;
    }
    parsed.measurement = Unescape(line.substr(0, at), ", ");

    while (line[at] == ',') {
        const size_t keyStart = at + 1;
        const size_t equals = FindUnescaped(line, keyStart, "=, ");
        if (equals == std::string_view::npos || line[equals] != '=' || equals == keyStart) {
            why = "tag without key or value";
            return false;
        }
        const size_t end = FindUnescaped(line, equals + 1, "=, ");
        if (end == std::string_view::npos || line[end] == '=' || end == equals + 1) {
            why = "invalid tag value";
            return false;
        }
        parsed.tags.emplace_back(Unescape(line.substr(keyStart, equals - keyStart), ", ="),
                                 Unescape(line.substr(equals + 1, end - equals - 1), ", ="));
        at = end;
    }

    // Fields: key=value pairs up to the blank before the time stamp.
    do {
        const size_t keyStart = at + 1;
        const size_t equals = FindUnescaped(line, keyStart, "=, ");
        if (equals == std::string_view::npos || line[equals] != '=' || equals == keyStart) {
            why = "field without key";
            return false;
        }
        if (equals + 1 < line.size() && line[equals + 1] == '"') {
            why = "string field";  // the writer writes none
            return false;
        }
        size_t end = FindUnescaped(line, equals + 1, ", ");
        if (end == std::string_view::npos) end = line.size();
        if (end == equals + 1) {
            why = "field without value";
            return false;
        }
        parsed.fields.emplace_back(Unescape(line.substr(keyStart, equals - keyStart), ", ="),
                                   std::string(line.substr(equals + 1, end - equals - 1)));
        at = end;
    } while (at < line.size() && line[at] == ',');

    if (at < line.size()) {
        const std::string_view stamp = line.substr(at + 1);
        int64_t value = 0;
        const auto [end, error] = std::from_chars(stamp.data(), stamp.data() + stamp.size(), value);
        if (stamp.empty() || error != std::errc() || end != stamp.data() + stamp.size()) {
            why = "bad time stamp";
            return false;
        }
        parsed.timestamp = value;
    }
    return true;
}

bool FieldFloat(std::string_view text, float& value) {
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return false;
    if (text.front() != '-' && (text.front() < '0' || text.front() > '9')) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

const std::string* FieldOf(const ParsedLine& line, std::string_view key) {
    for (const auto& [name, value] : line.fields)
        if (name == key) return &value;
    return nullptr;
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07u;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace fuzz
