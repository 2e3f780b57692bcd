#include "FuzzSupport.h"

#include "ScratchDir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace fuzz {

namespace {

std::function<void(const std::string&)>& Handler() {
    static std::function<void(const std::string&)> handler;
    return handler;
}

}  // namespace

void Check(bool holds, std::string_view what) {
    if (holds) return;
    if (Handler()) {
        Handler()(std::string(what));
        return;
    }
    std::fprintf(stderr, "fuzz invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

void SetFailureHandler(std::function<void(const std::string&)> handler) {
    Handler() = std::move(handler);
}

const std::string& ScratchFolder() {
    static const ScratchDir scratch("quarvel-fuzz");
    static const std::string folder = [] {
        if (!scratch.Made()) {
            std::perror("mkdtemp");
            std::abort();
        }
        setenv("XDG_RUNTIME_DIR", scratch.Path().c_str(), 1);
        return scratch.Path().string();
    }();
    return folder;
}

void WriteScratchFile(const std::string& path, const void* data, size_t size) {
    // A new file rather than a truncated one: ext4 flushes a file truncated to zero on close.
    std::remove(path.c_str());
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

size_t Input::Bytes(void* into, size_t count) {
    const size_t taken = count < Left() ? count : Left();
    if (taken > 0) std::memcpy(into, m_data + m_pos, taken);
    std::memset(static_cast<char*>(into) + taken, 0, count - taken);
    m_pos += taken;
    return taken;
}

std::string Input::Take(size_t count) {
    const size_t taken = count < Left() ? count : Left();
    std::string text(reinterpret_cast<const char*>(m_data) + m_pos, taken);
    m_pos += taken;
    return text;
}

std::string_view Input::Rest() const {
    return {reinterpret_cast<const char*>(m_data) + m_pos, Left()};
}

}  // namespace fuzz
