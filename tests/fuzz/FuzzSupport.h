#pragma once

// What the fuzz targets share: their entry points, how a broken invariant is reported,
// and a scratch folder for the files they write. The same code runs under libFuzzer
// (FuzzMain.cpp) and in the test suite, which replays the corpus (ReplayTest.cpp).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace fuzz {

int DatName(const uint8_t* data, size_t size);
int DatReader(const uint8_t* data, size_t size);
int TableFile(const uint8_t* data, size_t size);
int Ini(const uint8_t* data, size_t size);
int LineFormat(const uint8_t* data, size_t size);

// Reports a broken invariant when `holds` is false. Under libFuzzer it aborts, so the
// input is kept as a crash; a replay collects the reports instead (SetFailureHandler).
void Check(bool holds, std::string_view what);
void SetFailureHandler(std::function<void(const std::string& what)> handler);

// A folder of this process's own for the targets' files, removed at exit. It is also
// the runtime folder, so no Debug Screen of the user hears the conversions.
const std::string& ScratchFolder();

// Writes the bytes to `path`, replacing it; aborts when it cannot (no input's fault).
void WriteScratchFile(const std::string& path, const void* data, size_t size);

// Reads the input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    // Copies up to `count` bytes into `into` (zero-filled) and returns how many were left.
    size_t Bytes(void* into, size_t count);
    std::string Take(size_t count);
    std::string_view Rest() const;
    size_t Left() const { return m_size - m_pos; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace fuzz
